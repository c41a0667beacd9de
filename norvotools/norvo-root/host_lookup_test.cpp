#include "norvotools/norvo-root/host_lookup.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <list>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using test_support::HostEntry;

TEST(SplitHostPortTest, OnlyANumericSuffixIsAPort) {
  std::string name, port;
  splitHostPort("a.test:8080", &name, &port);
  EXPECT_EQ(name, "a.test");
  EXPECT_EQ(port, ":8080");
  splitHostPort("a.test", &name, &port);
  EXPECT_EQ(name, "a.test");
  EXPECT_EQ(port, "");
  splitHostPort("a.test:", &name, &port);
  EXPECT_EQ(name, "a.test:");
  splitHostPort("a.test:80x", &name, &port);
  EXPECT_EQ(port, "");
}

struct EntryCase {
  const char* host;
  std::vector<const char*> addresses;
  int family;
  int length;
  std::list<std::string> expected;
};

class ResolvedHostTest : public testing::TestWithParam<EntryCase> {};

TEST_P(ResolvedHostTest, KeepsTheNameAndTakesOnlyIpv4Addresses) {
  const EntryCase& c = GetParam();
  HostEntry entry(c.addresses);
  entry.get()->h_addrtype = c.family;
  entry.get()->h_length = c.length;
  ResolvedHost resolved = resolvedHost(c.host, *entry.get());
  EXPECT_EQ(c.expected, resolved.addresses);
  // The line names the host as the URL does, port included, whatever the answer.
  EXPECT_EQ(std::string("Host: ") + c.host, resolved.host_line);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ResolvedHostTest,
    testing::Values(
        EntryCase{"a.test", {"10.0.0.1", "10.0.0.2"}, AF_INET, 4, {"10.0.0.1", "10.0.0.2"}},
        EntryCase{"a.test:8080", {"127.0.0.1"}, AF_INET, 4, {"127.0.0.1"}},
        EntryCase{"a.test", {}, AF_INET, 4, {}},
        // Not four-byte IPv4 addresses: nothing is read from them.
        EntryCase{"a.test", {"10.0.0.1"}, AF_INET6, 16, {}},
        EntryCase{"a.test", {"10.0.0.1"}, AF_INET, 16, {}}));

}  // namespace
