#include "norvotools/norvo-root/curl_handles.h"

#include <gtest/gtest.h>

namespace {

TEST(CurlOptions, KeepsTheFirstFailureAndSetsNothingAfterIt) {
  CurlEasy handle = NewTransfer();
  ASSERT_NE(nullptr, handle);
  int marker = 0;
  CurlOptions options(handle.get());
  options.set(CURLOPT_TIMEOUT, 5L).set(CURLOPT_PRIVATE, static_cast<void*>(&marker));
  EXPECT_TRUE(options.ok());
  void* seen = nullptr;
  ASSERT_EQ(CURLE_OK, curl_easy_getinfo(handle.get(), CURLINFO_PRIVATE, &seen));
  EXPECT_EQ(&marker, seen);

  // A protocol list naming nothing libcurl knows is refused; the options after
  // it are skipped and a later failure does not replace the first one.
  options.set(CURLOPT_PROTOCOLS_STR, "no-such-protocol")
      .set(CURLOPT_PRIVATE, static_cast<void*>(nullptr))
      .set(CURLOPT_SSLVERSION, 12345L);
  EXPECT_FALSE(options.ok());
  CURLcode first = options.result();
  EXPECT_NE(CURLE_OK, first);
  ASSERT_EQ(CURLE_OK, curl_easy_getinfo(handle.get(), CURLINFO_PRIVATE, &seen));
  EXPECT_EQ(&marker, seen);
  EXPECT_EQ(first,
            CurlOptions(handle.get()).set(CURLOPT_PROTOCOLS_STR, "no-such-protocol").result());
  EXPECT_NE(first, CurlOptions(handle.get()).set(CURLOPT_SSLVERSION, 12345L).result());

  // No handle: nothing is set and the code says so.
  EXPECT_EQ(CURLE_FAILED_INIT, CurlOptions(nullptr).set(CURLOPT_TIMEOUT, 5L).result());
}

}  // namespace
