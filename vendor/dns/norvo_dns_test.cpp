#include "request/vendor/norvo_dns.h"

#include <android-base/file.h>
#include <android-base/unique_fd.h>
#include <ares.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vendor/dns/resolver_config.h"

namespace {

// What the completion saw, copied while the entry is valid.
struct Answer {
  int calls = 0;
  int status = -1;
  bool has_host = false;
  std::string name;
  int addrtype = 0;
  std::vector<std::string> aliases;
  std::vector<std::string> addresses;
};
Answer g_answer;

void Record(void*, int status, int, hostent* host) {
  ++g_answer.calls;
  g_answer.status = status;
  g_answer.has_host = host != nullptr;
  if (host == nullptr) return;
  g_answer.name = host->h_name;
  g_answer.addrtype = host->h_addrtype;
  for (char** a = host->h_aliases; *a != nullptr; ++a) g_answer.aliases.emplace_back(*a);
  for (char** a = host->h_addr_list; *a != nullptr; ++a) {
    char text[16];
    inet_ntop(AF_INET, *a, text, sizeof(text));
    g_answer.addresses.emplace_back(text);
  }
}

Answer Resolve(const std::string& host, const norvo_dns::ResolverConfig& config) {
  g_answer = Answer();
  URLWrapper url{"http://", host, "", "/"};
  norvo_dns::resolveNameWith(url, Record, config);
  return g_answer;
}

// A UDP name server on loopback: answers every query with one A record, or stays silent.
class FakeNameServer {
 public:
  explicit FakeNameServer(bool answer) : answer_(answer) {
    fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ADD_FAILURE() << "cannot bind the fake name server";
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeNameServer() {
    stop_ = true;
    thread_.join();
  }
  std::string servers() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      unsigned char q[512];
      sockaddr_in from{};
      socklen_t from_len = sizeof(from);
      ssize_t n = recvfrom(fd_, q, sizeof(q), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n < 12) continue;
      ++queries_;
      if (!answer_) continue;
      size_t end = 12;  // the question: labels, then type and class
      while (end < static_cast<size_t>(n) && q[end] != 0) end += q[end] + 1;
      end += 5;
      if (end > static_cast<size_t>(n)) continue;
      std::vector<unsigned char> r(q, q + end);
      r[2] = 0x81;
      r[3] = 0x80;
      r[4] = 0, r[5] = 1, r[6] = 0, r[7] = 1;
      for (int i = 8; i < 12; ++i) r[i] = 0;
      const unsigned char record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, 9};
      r.insert(r.end(), record, record + sizeof(record));
      sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }

  bool answer_;
  android::base::unique_fd fd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

TEST(NorvoDnsTest, NumericAddressResolvesToItself) {
  Answer a = Resolve("10.1.2.3", {});
  EXPECT_EQ(1, a.calls);
  EXPECT_EQ(ARES_SUCCESS, a.status);
  ASSERT_TRUE(a.has_host);
  EXPECT_EQ(AF_INET, a.addrtype);
  EXPECT_EQ(std::vector<std::string>{"10.1.2.3"}, a.addresses);
}

// c-ares reads the system's hosts file (the device's own /etc/hosts in the emulated
// device); "localhost" is in every host's file and the name server would answer otherwise.
TEST(NorvoDnsTest, HostsFileComesBeforeDns) {
  std::string hosts;
  android::base::ReadFileToString("/etc/hosts", &hosts);
  if (hosts.find("127.0.0.1") == std::string::npos ||
      hosts.find("localhost") == std::string::npos) {
    GTEST_SKIP() << "/etc/hosts maps no IPv4 localhost";
  }
  FakeNameServer dns(/*answer=*/true);
  norvo_dns::ResolverConfig config;
  config.servers = dns.servers();
  Answer a = Resolve("localhost", config);
  EXPECT_EQ(1, a.calls);
  EXPECT_EQ(ARES_SUCCESS, a.status);
  ASSERT_TRUE(a.has_host);
  EXPECT_EQ("localhost", a.name);
  EXPECT_EQ(AF_INET, a.addrtype);
  ASSERT_FALSE(a.addresses.empty());
  EXPECT_EQ("127.0.0.1", a.addresses[0]);
  EXPECT_EQ(0, dns.queries());
}

TEST(NorvoDnsTest, NameServerAnswersWhatTheHostsFileLacks) {
  FakeNameServer dns(/*answer=*/true);
  norvo_dns::ResolverConfig config;
  config.servers = dns.servers();
  Answer a = Resolve("dns.only.invalid", config);
  EXPECT_EQ(1, a.calls);
  EXPECT_EQ(ARES_SUCCESS, a.status);
  ASSERT_TRUE(a.has_host);
  EXPECT_EQ(AF_INET, a.addrtype);
  EXPECT_EQ(std::vector<std::string>{"198.51.100.9"}, a.addresses);
  EXPECT_GE(dns.queries(), 1);
}

TEST(NorvoDnsTest, SilentServerEndsAtTheDeadline) {
  FakeNameServer dns(/*answer=*/false);
  norvo_dns::ResolverConfig config;
  config.servers = dns.servers();
  config.attempt_timeout_ms = 5000;  // c-ares alone would wait far longer
  config.deadline_ms = 300;
  const auto start = std::chrono::steady_clock::now();
  Answer a = Resolve("silent.invalid", config);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(1, a.calls);
  EXPECT_EQ(ARES_ETIMEOUT, a.status);
  EXPECT_FALSE(a.has_host);
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(NorvoDnsTest, UnreachableServerFailsWithoutEntry) {
  norvo_dns::ResolverConfig config;
  {
    FakeNameServer closed(false);
    config.servers = closed.servers();
  }  // the port is closed now: queries are refused or time out
  config.attempt_timeout_ms = 100;
  config.tries = 1;
  Answer a = Resolve("nowhere.invalid", config);
  EXPECT_EQ(1, a.calls);
  EXPECT_NE(ARES_SUCCESS, a.status);
  EXPECT_FALSE(a.has_host);
}

// The request chain resolves its next host from inside a completion.
int g_nested_calls = 0;
void Nested(void*, int status, int, hostent* host) {
  ++g_nested_calls;
  EXPECT_EQ(ARES_SUCCESS, status);
  EXPECT_NE(nullptr, host);
  if (g_nested_calls == 1) {
    URLWrapper next{"http://", "127.0.0.2", "", ""};
    resolveName(next, Nested);
    EXPECT_EQ(2, g_nested_calls);  // the inner completion ran before resolveName returned
  }
}

TEST(NorvoDnsTest, CompletionMayResolveAgain) {
  g_nested_calls = 0;
  URLWrapper url{"http://", "127.0.0.1", "", ""};
  resolveName(url, Nested);
  EXPECT_EQ(2, g_nested_calls);
}

}  // namespace
