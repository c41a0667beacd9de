#include "request/secure_event.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "request/download_task.h"
#include "tests/support/test_support.h"

namespace {

using test_support::HostEntry;

// An event whose transfer result is chosen by the test; it records the URL it
// would have used and the telemetry codes instead of touching the device.
class FakeEvent : public SecureEvent {
 public:
  void run() override { ++runs; }
  std::string getDescriptor() override { return "FakeEvent"; }
  int PreExecuted() override { return pre_result; }
  int OnExecuted() override {
    used_hosts.push_back(url_.host);
    return on_result;
  }
  int PostExecuted() override { return 0; }
  void zelstub(CURLcode code) override { telemetry.push_back(code); }
  void setUrl(const URLWrapper& url) { url_ = url; }
  const curl_slist* resolveList() const { return resolve_.get(); }
  ~FakeEvent() = default;

  int pre_result = 0;
  int on_result = 0;
  int runs = 0;
  std::vector<std::string> used_hosts;
  std::vector<int> telemetry;
};

// Events of these tests write their lines to `out` through `driver`.
class SecureEventTest : public ::testing::Test {
 protected:
  SecureEventTest() { driver.status_stream = out.stream(); }
  test_support::StatusStream out;
  DownloadTask driver;
};

TEST_F(SecureEventTest, SuccessWritesLineAndRunsNextEvent) {
  FakeEvent first, second;
  first.setDriver(&driver);
  first.setNext(&second);
  first.setStatus(STATUS_ADDRESS_INFO);
  first.handleCurlCode(CURLE_OK)(first.status());
  EXPECT_EQ(out.text(), "1:s\n");
  EXPECT_EQ(second.runs, 1);
  EXPECT_EQ(first.telemetry, std::vector<int>{0});
}

TEST_F(SecureEventTest, FailuresWriteTheirLinesAndStopTheChain) {
  FakeEvent event, next;
  event.setDriver(&driver);
  event.setNext(&next);
  event.setStatus(STATUS_ROM_INFO);
  EXPECT_FALSE(event.handleCurlCode(CURLE_OPERATION_TIMEDOUT)(event.status()));
  EXPECT_FALSE(event.handleCurlCode(CURLE_COULDNT_CONNECT)(event.status()));
  EXPECT_FALSE(event.handleCurlCode(CURLE_COULDNT_RESOLVE_HOST)(event.status()));
  // A name that cannot be resolved says so on the pipe too (2:f:6).
  EXPECT_EQ(out.text(), "2:f:CURLE_OPERATION_TIMEDOUT\n2:f:7\n2:f:6\n");
  EXPECT_EQ(next.runs, 0);
  EXPECT_EQ(event.telemetry, (std::vector<int>{28, 7, 6}));
}

TEST_F(SecureEventTest, PreExecutedFailureIsDispatchedLikeAnyCode) {
  FakeEvent event, next;
  event.setDriver(&driver);
  event.setNext(&next);
  event.setStatus(STATUS_ADDRESS_INFO);
  event.pre_result = 3;
  event.setUrl({"http://", "update.norvo.test", "", "/"});
  HostEntry entry({"10.1.1.1"});
  event.DnsResolveCallback(nullptr, 0, 0, entry.get());
  EXPECT_EQ(out.text(), "1:f:3\n");
  EXPECT_TRUE(event.used_hosts.empty());
  EXPECT_EQ(next.runs, 0);
}

TEST_F(SecureEventTest, ResolutionUsesAddressesInTurnAndAddsHostLine) {
  FakeEvent event;
  event.setDriver(&driver);
  HostEntry entry({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  for (int attempt = 0; attempt < 3; ++attempt) {
    event.setUrl({"http://", "update.norvo.test", "", "/"});
    event.DnsResolveCallback(nullptr, 0, 0, entry.get());
    if (attempt == 0) {
      EXPECT_EQ(event.addressList(), (std::list<std::string>{"10.0.0.2", "10.0.0.3"}));
      ASSERT_NE(event.headerList(), nullptr);
      EXPECT_STREQ(event.headerList()->data, "Host: update.norvo.test");
    }
  }
  // Addresses left from earlier resolutions are used first, oldest first.
  EXPECT_EQ(event.used_hosts, (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

TEST_F(SecureEventTest, AnotherHostNeverGetsAnEarlierHostsAddresses) {
  // After a redirect or a change of mirror the next attempt resolves another
  // host; its Host: line must go to one of its own addresses, never to one left
  // over from the host before. Back on the first host, its list starts afresh.
  FakeEvent event;
  event.setDriver(&driver);
  HostEntry first({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  HostEntry second({"10.9.9.9"});
  struct Step {
    const char* host;
    HostEntry* entry;
    const char* used;
    std::list<std::string> left;
  };
  const std::vector<Step> steps = {
      {"update.norvo.test", &first, "10.0.0.1", {"10.0.0.2", "10.0.0.3"}},
      {"mirror.norvo.test:8081", &second, "10.9.9.9:8081", {}},
      {"mirror.norvo.test:8081", &second, "10.9.9.9:8081", {}},
      {"update.norvo.test", &first, "10.0.0.1", {"10.0.0.2", "10.0.0.3"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.host);
    event.used_hosts.clear();
    event.setUrl({"http://", step.host, "", "/p"});
    event.DnsResolveCallback(nullptr, 0, 0, step.entry->get());
    EXPECT_EQ(event.used_hosts, std::vector<std::string>{step.used});
    EXPECT_EQ(event.hostLine(), std::string("Host: ") + step.host);
    EXPECT_EQ(event.addressList(), step.left);
  }
}

TEST_F(SecureEventTest, ResolvedAddressKeepsThePort) {
  FakeEvent event;
  event.setDriver(&driver);
  event.setUrl({"http://", "mirror.norvo.test:8080", "", "/a"});
  HostEntry entry({"127.0.0.1"});
  event.DnsResolveCallback(nullptr, 0, 0, entry.get());
  EXPECT_EQ(event.used_hosts, std::vector<std::string>{"127.0.0.1:8080"});
  EXPECT_EQ(event.hostLine(), "Host: mirror.norvo.test:8080");
}

TEST_F(SecureEventTest, HttpsKeepsTheNameAndPinsTheAddress) {
  struct Case {
    const char* scheme;
    const char* host;
    const char* used;    // the URL's host at the transfer
    const char* pinned;  // the resolve entry, or null
  };
  const Case cases[] = {
      {"http://", "update.norvo.test", "10.0.0.9", nullptr},
      {"http://", "update.norvo.test:8080", "10.0.0.9:8080", nullptr},
      // TLS sends the URL's host as the server name and checks the certificate against it.
      {"https://", "update.norvo.test", "update.norvo.test", "update.norvo.test:443:10.0.0.9"},
      {"https://", "m.norvo.test:8443", "m.norvo.test:8443", "m.norvo.test:8443:10.0.0.9"},
  };
  for (const Case& c : cases) {
    FakeEvent event;
    event.setDriver(&driver);
    event.setUrl({c.scheme, c.host, "", "/p"});
    HostEntry entry({"10.0.0.9"});
    event.DnsResolveCallback(nullptr, 0, 0, entry.get());
    EXPECT_EQ(event.used_hosts, std::vector<std::string>{c.used}) << c.scheme << c.host;
    EXPECT_EQ(event.hostLine(), std::string("Host: ") + c.host);
    if (c.pinned == nullptr) {
      EXPECT_EQ(nullptr, event.resolveList()) << c.host;
    } else {
      ASSERT_NE(nullptr, event.resolveList()) << c.host;
      EXPECT_STREQ(c.pinned, event.resolveList()->data);
      EXPECT_EQ(nullptr, event.resolveList()->next);
    }
  }
}

// A failed lookup ends the chain without a transfer, as libcurl's own result 6
// does: with the line N:f:6, so that the front end learns why the stage ended.
TEST_F(SecureEventTest, ResolverErrorEndsWithoutTransferWithTheLookupLine) {
  FakeEvent event, next;
  event.setDriver(&driver);
  event.setNext(&next);
  HostEntry entry({"10.0.0.1"});
  event.DnsResolveCallback(nullptr, 4, 0, entry.get());
  HostEntry no_ipv4({});
  event.setStatus(STATUS_ADDRESS_INFO);
  event.DnsResolveCallback(nullptr, 0, 0, no_ipv4.get());
  EXPECT_TRUE(event.used_hosts.empty());
  EXPECT_EQ(event.telemetry, (std::vector<int>{6, 6}));
  EXPECT_EQ(out.text(), "0:f:6\n1:f:6\n");
  EXPECT_EQ(next.runs, 0);
}

TEST_F(SecureEventTest, MissingEntryFallsBackToFixedResolveAndStillTransfers) {
  FakeEvent event;
  event.setDriver(&driver);
  event.setUrl({"http://", "update.norvo.test", "", ""});
  event.DnsResolveCallback(nullptr, 1, 0, nullptr);
  // The transfer still names the host; no Host line is added.
  EXPECT_EQ(event.used_hosts, std::vector<std::string>{"update.norvo.test"});
  EXPECT_EQ(event.headerList(), nullptr);
  EXPECT_EQ(out.text(), "0:s\n");
}

}  // namespace
