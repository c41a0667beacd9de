#include "quillon/quillon.h"

#include <android-base/file.h>
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "norvotools/norvo-root/tls_trust.h"
#include "tests/support/test_support.h"

namespace quillon {
namespace {

using android::base::ReadFileToString;
using android::base::WriteStringToFile;

using test_support::PropertyScope;
using test_support::ScopedEnv;

TEST(QuillonTest, HelpOnlyOutsideTheUpdaterAndRecovery) {
  for (const char* environment : {"norvo", "recovery"}) {
    EXPECT_FALSE(help_wanted(environment)) << environment;
  }
  for (const char* environment : {"android", "", "Recovery", "norvo "}) {
    EXPECT_TRUE(help_wanted(environment)) << environment;
  }
}

TEST(QuillonTest, CommandTextReadsLikeTheShellCommand) {
  EXPECT_EQ(
      " curl -v http://10.0.0.1/zelas/fileUploadWithUrlId -H \"Host: z.test\" -F "
      "\"bizName=norvo\" -F \"file=@/cache/zelas/RescuePartyLog\"",
      upload_command_text("http://10.0.0.1/zelas/fileUploadWithUrlId", "z.test",
                          "/cache/zelas/RescuePartyLog"));
  // No length limit: a long path is kept whole.
  std::string long_path = "/cache/zelas/" + std::string(600, 'a') + "RescuePartyLog";
  std::string text = upload_command_text("http://1.2.3.4/p", "h", long_path);
  EXPECT_NE(std::string::npos, text.find("file=@" + long_path + "\""));
}

TEST(QuillonTest, CurlArgvQuotesTheFileName) {
  std::vector<std::string> expected = {"curl",
                                       "-q",
                                       "-v",
                                       "http://1.2.3.4/zelas/fileUploadWithUrlId",
                                       "-H",
                                       "Host: z.test",
                                       "-F",
                                       "bizName=norvo",
                                       "-F",
                                       "file=@\"/cache/zelas/x_RescuePartyLog_1\"",
                                       "--connect-timeout",
                                       "30",
                                       "--max-time",
                                       "120",
                                       "--proto",
                                       "=http,https",
                                       "--proto-redir",
                                       "=http,https",
                                       "--noproxy",
                                       "*",
                                       "--tlsv1.2",
                                       "--ciphers",
                                       "DEFAULT@SECLEVEL=2"};
  EXPECT_EQ(expected, upload_curl_argv("http://1.2.3.4/zelas/fileUploadWithUrlId", "z.test",
                                       "/cache/zelas/x_RescuePartyLog_1"));

  EXPECT_EQ("@\"/a;type=text/x,b\"", curl_form_file_value("/a;type=text/x,b"));
  EXPECT_EQ("@\"/a\\\"b\\\\c\"", curl_form_file_value("/a\"b\\c"));
  EXPECT_EQ("@\"/a$(id)`id`'\"", curl_form_file_value("/a$(id)`id`'"));
}

TEST(QuillonTest, CurlArgvOverHttpsPinsTheAddressAndTrustsOnlyTheBundle) {
  std::vector<std::string> plain = upload_curl_argv("https://z.test/p", "z.test", "/cache/zelas/L");
  CurlToolTls secure;
  secure.resolve = "z.test:443:10.0.0.1";
  secure.ca_file = "/proc/self/fd/3";
  std::vector<std::string> argv =
      upload_curl_argv("https://z.test/p", "z.test", "/cache/zelas/L", secure);
  ASSERT_EQ(plain.size() + 6, argv.size());
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), argv.begin()));
  EXPECT_EQ((std::vector<std::string>{"--resolve", "z.test:443:10.0.0.1", "--cacert",
                                      "/proc/self/fd/3", "--capath", "/proc/self/fd/3"}),
            std::vector<std::string>(argv.begin() + plain.size(), argv.end()));
  EXPECT_EQ("-q", argv[1]);  // curl reads no .curlrc only when -q comes first
  EXPECT_EQ(argv.end(), std::find(argv.begin(), argv.end(), "--insecure"));

  secure.insecure = true;
  argv = upload_curl_argv("https://z.test/p", "z.test", "/cache/zelas/L", secure);
  EXPECT_EQ("--insecure", argv.back());
  EXPECT_EQ(argv.end(), std::find(argv.begin(), argv.end(), "--cacert"));
}

TEST(QuillonTest, CurlToolExitNamesTlsFailures) {
  auto exited = [](int code) { return code << 8; };  // a wait status of a normal exit
  EXPECT_NE(nullptr, curl_tool_tls_failure(exited(60)));
  EXPECT_NE(nullptr, curl_tool_tls_failure(exited(77)));
  EXPECT_NE(nullptr, curl_tool_tls_failure(exited(35)));
  for (int code : {0, 7, 22, 28}) EXPECT_EQ(nullptr, curl_tool_tls_failure(exited(code))) << code;
  EXPECT_EQ(nullptr, curl_tool_tls_failure(SIGKILL));  // killed: no exit status
  EXPECT_EQ(nullptr, curl_tool_tls_failure(-1));
}

TEST(QuillonTest, RunProgramHandsTheBundleDescriptorToTheChild) {
  test_support::ScratchDir dir;
  android::base::unique_fd fd(tls::sealed_memfd("bundle text"));
  ASSERT_GE(fd.get(), 0);
  // Whatever number the bundle has here, the child's own included (when this
  // process leaves that number free).
  std::vector<int> passes = {fd.get()};
  android::base::unique_fd at_child_number;
  if (fcntl(kChildCaFd, F_GETFD) == -1) {
    at_child_number.reset(dup3(fd.get(), kChildCaFd, O_CLOEXEC));
    ASSERT_EQ(kChildCaFd, at_child_number.get());
    passes.push_back(kChildCaFd);
  }
  for (int pass : passes) {
    std::string out = dir / ("out" + std::to_string(pass));
    int status = run_program({"sh", "-c", "cat /proc/self/fd/3 > " + out}, pass);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text;
    ASSERT_TRUE(android::base::ReadFileToString(out, &text));
    EXPECT_EQ("bundle text", text) << pass;
  }
}

TEST(QuillonTest, TimeLimitsShortenOnlyWithinTheDefaults) {
  TransferLimits saved = g_limits;
  for (const char* text : {static_cast<const char*>(nullptr), "", "0", "121", "-5", "2x", "soon"}) {
    TransferLimits limits = transfer_limits_from(text);
    EXPECT_EQ(30, limits.connect_seconds) << (text ? text : "unset");
    EXPECT_EQ(120, limits.total_seconds) << (text ? text : "unset");
  }
  EXPECT_EQ(2, transfer_limits_from("2").connect_seconds);
  EXPECT_EQ(2, transfer_limits_from("2").total_seconds);
  EXPECT_EQ(30, transfer_limits_from("90").connect_seconds);
  EXPECT_EQ(90, transfer_limits_from("90").total_seconds);

  g_limits = transfer_limits_from("7");
  std::vector<std::string> argv = upload_curl_argv("http://1.2.3.4/p", "h", "/f");
  g_limits = saved;
  auto after = [&](const std::string& option) {
    auto it = std::find(argv.begin(), argv.end(), option);
    return it == argv.end() || it + 1 == argv.end() ? std::string("missing") : *(it + 1);
  };
  EXPECT_EQ("7", after("--connect-timeout"));
  EXPECT_EQ("7", after("--max-time"));
}

TEST(QuillonTest, PatternIsASubstring) {
  EXPECT_TRUE(is_upload_candidate("RescuePartyLog"));
  EXPECT_TRUE(is_upload_candidate("x_RescuePartyLog_1"));
  EXPECT_FALSE(is_upload_candidate("other"));
  EXPECT_FALSE(is_upload_candidate("rescuepartylog"));
  EXPECT_FALSE(is_upload_candidate("RescueParty"));
}

TEST(QuillonTest, CollectsOnlyMatchingRegularFiles) {
  TemporaryDir dir;
  std::string d = dir.path;
  ASSERT_TRUE(WriteStringToFile("a", d + "/RescuePartyLog"));
  ASSERT_TRUE(WriteStringToFile("b", d + "/x_RescuePartyLog_1"));
  ASSERT_TRUE(WriteStringToFile("c", d + "/other"));
  ASSERT_EQ(0, mkdir((d + "/dir_RescuePartyLog").c_str(), 0755));
  ASSERT_EQ(0, symlink((d + "/other").c_str(), (d + "/link_RescuePartyLog").c_str()));

  std::vector<std::string> files = collect_upload_files(d);
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected = {d + "/RescuePartyLog", d + "/x_RescuePartyLog_1"};
  EXPECT_EQ(expected, files);

  EXPECT_TRUE(collect_upload_files(d + "/missing").empty());
}

TEST(QuillonTest, RunProgramPassesArgumentsLiterally) {
  TemporaryDir dir;
  std::string d = dir.path;
  EXPECT_EQ(0, run_program({"true"}));
  int status = run_program({"false"});
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_EQ(-1, run_program({}));

  // No shell sees the argument: the file gets exactly this name and nothing
  // runs (an injected command would create "pwned" in the working directory).
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(d.c_str()));
  std::string odd = "a'b\";touch pwned;$(touch pwned2)`touch pwned3`";
  EXPECT_EQ(0, run_program({"touch", odd}));
  EXPECT_EQ(0, access(odd.c_str(), F_OK));
  EXPECT_NE(0, access("pwned", F_OK));
  EXPECT_NE(0, access("pwned2", F_OK));
  EXPECT_NE(0, access("pwned3", F_OK));
  ASSERT_EQ(0, chdir(cwd));
}

TEST(QuillonTest, ProgramsStartWithoutTheProxyVariables) {
  const char* env[] = {"PATH=/usr/bin",
                       "http_proxy=http://trap:3128",
                       "HTTPS_PROXY=http://trap",
                       "ALL_PROXY=socks5://trap",
                       "no_proxy=",
                       "Ftp_Proxy=x",
                       "MY_PROXY_HOST=kept",
                       "proxy=kept",
                       "HOME=/tmp",
                       nullptr};
  EXPECT_EQ(
      (std::vector<std::string>{"PATH=/usr/bin", "MY_PROXY_HOST=kept", "proxy=kept", "HOME=/tmp"}),
      child_environment(const_cast<char**>(env)));
  // What the child really sees.
  ScopedEnv proxy("https_proxy", "http://127.0.0.1:3128");
  test_support::ScratchDir dir;
  std::string out = dir / "env";
  ASSERT_EQ(0, run_program({"sh", "-c", "env > " + out}));
  std::string text;
  ASSERT_TRUE(android::base::ReadFileToString(out, &text));
  EXPECT_EQ(std::string::npos, text.find("https_proxy")) << text;
  EXPECT_NE(std::string::npos, text.find("PATH=")) << text;
}

// A program that cannot start is a failure of the start, not an exit status of 127.
TEST(QuillonTest, RunProgramReportsAProgramThatCannotStart) {
  EXPECT_EQ(-1, run_program({"/nonexistent/program"}));
}

TEST(QuillonTest, UploadLogsRunsCurlPerFileAndMarksTheProperty) {
  PropertyScope props;
  TemporaryDir bin;
  TemporaryDir zelas;
  ScopedEnv path_env("PATH", std::string(bin.path) + ":/usr/bin:/bin");
  std::string record = std::string(bin.path) + "/calls";
  // A stand-in curl that records its arguments, one per line, and fails for
  // the second file so that the loop is seen to go on.
  std::string fake = std::string(bin.path) + "/curl";
  ASSERT_TRUE(WriteStringToFile("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record +
                                    "'\necho --- >> '" + record +
                                    "'\ncase \"$9\" in *_2*) exit 7;; esac\nexit 0\n",
                                fake));
  ASSERT_EQ(0, chmod(fake.c_str(), 0755));

  std::string z = zelas.path;
  ASSERT_TRUE(WriteStringToFile("1", z + "/a_RescuePartyLog_1"));
  ASSERT_TRUE(WriteStringToFile("2", z + "/b_RescuePartyLog_2;$(x)"));
  ASSERT_TRUE(WriteStringToFile("3", z + "/other"));

  upload_logs(z, "http://127.0.0.1/zelas/fileUploadWithUrlId", "z.test");

  EXPECT_EQ("1", android::base::GetProperty("rescueparty.logged", ""));
  std::string calls;
  ASSERT_TRUE(ReadFileToString(record, &calls));
  EXPECT_NE(std::string::npos, calls.find("file=@\"" + z + "/a_RescuePartyLog_1\"\n"));
  EXPECT_NE(std::string::npos, calls.find("file=@\"" + z + "/b_RescuePartyLog_2;$(x)\"\n"));
  EXPECT_EQ(std::string::npos, calls.find("other"));
  // Two runs, each with the full argument list.
  size_t runs = 0;
  for (size_t pos = 0; (pos = calls.find("---\n", pos)) != std::string::npos; pos += 4) ++runs;
  EXPECT_EQ(2u, runs);
  EXPECT_NE(std::string::npos,
            calls.find("-v\nhttp://127.0.0.1/zelas/fileUploadWithUrlId\n-H\nHost: "
                       "z.test\n-F\nbizName=norvo\n-F\n"));
}

TEST(QuillonTest, RecordPid) {
  TemporaryDir dir;
  std::string path = std::string(dir.path) + "/diagpid";
  ASSERT_TRUE(WriteStringToFile("999999999999", path));
  mode_t old_mask = umask(022);
  ASSERT_EQ(0, unlink(path.c_str()));
  ASSERT_TRUE(WriteStringToFile("999999999999", path));
  EXPECT_EQ(0, record_pid(path, 4321));
  std::string content;
  ASSERT_TRUE(ReadFileToString(path, &content));
  EXPECT_EQ("4321", content);

  std::string fresh = std::string(dir.path) + "/fresh";
  EXPECT_EQ(0, record_pid(fresh, 7));
  struct stat st;
  ASSERT_EQ(0, stat(fresh.c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 0777);
  umask(old_mask);

  EXPECT_EQ(-ENOENT, record_pid(std::string(dir.path) + "/missing/diagpid", 7));
}

// A host entry built in the test, for the completion's edge cases.
struct FakeHost {
  hostent entry = {};
  char name[32] = "z.test";
  char* aliases[1] = {nullptr};
  unsigned char raw[16] = {};
  char* addrs[2] = {nullptr, nullptr};

  FakeHost(int family, int length, bool with_address) {
    entry.h_name = name;
    entry.h_aliases = aliases;
    entry.h_addrtype = family;
    entry.h_length = length;
    if (with_address) addrs[0] = reinterpret_cast<char*>(raw);
    entry.h_addr_list = addrs;
  }
};

class ResolveCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_target;
    g_target = URLWrapper{"http://", "z.test", "untouched", "/nowhere"};
  }
  void TearDown() override { g_target = saved_; }
  URLWrapper saved_;
};

TEST_F(ResolveCallbackTest, UnusableResultsSkipThePass) {
  DnsResolveCallback(nullptr, 1, 0, nullptr);
  EXPECT_EQ("untouched", g_target.address);
  DnsResolveCallback(nullptr, 0, 0, nullptr);
  EXPECT_EQ("untouched", g_target.address);

  FakeHost empty(AF_INET, 4, false);
  DnsResolveCallback(nullptr, 0, 0, &empty.entry);
  EXPECT_EQ("untouched", g_target.address);

  FakeHost v6(AF_INET6, 16, true);
  ASSERT_EQ(1, inet_pton(AF_INET6, "2001:db8::1", v6.raw));
  DnsResolveCallback(nullptr, 0, 0, &v6.entry);
  EXPECT_EQ("untouched", g_target.address);
}

TEST_F(ResolveCallbackTest, FirstIpv4AddressBecomesTheTarget) {
  PropertyScope props;
  FakeHost v4(AF_INET, 4, true);
  ASSERT_EQ(1, inet_pton(AF_INET, "192.0.2.7", v4.raw));
  // Not the JSON path: the log branch runs, finds no rescue logs on this host.
  DnsResolveCallback(nullptr, 0, 0, &v4.entry);
  EXPECT_EQ("192.0.2.7", g_target.address);
  EXPECT_EQ("z.test", g_target.host);
}

bool usr1_pending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGUSR1) == 1;
}

TEST(TriggerSignalTest, BurstCollapsesAndStateIsRestored) {
  sigset_t before;
  sigprocmask(SIG_SETMASK, nullptr, &before);
  ASSERT_FALSE(sigismember(&before, SIGUSR1));
  {
    TriggerSignal requests;
    ASSERT_TRUE(requests.armed());
    // While armed the signal is blocked: a burst stays pending as one.
    for (int i = 0; i < 5; ++i) raise(SIGUSR1);
    EXPECT_TRUE(usr1_pending());
    requests.wait();
    EXPECT_FALSE(usr1_pending());
    // A request left pending when disarmed is dropped, not delivered to the
    // default action (which would end this process).
    raise(SIGUSR1);
  }
  EXPECT_FALSE(usr1_pending());
  sigset_t after;
  sigprocmask(SIG_SETMASK, nullptr, &after);
  EXPECT_FALSE(sigismember(&after, SIGUSR1));
  struct sigaction action;
  sigaction(SIGUSR1, nullptr, &action);
  EXPECT_EQ(SIG_DFL, action.sa_handler);
}

}  // namespace
}  // namespace quillon
