#include "request/package_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int64_t kMiB = 1 << 20;

struct Case {
  const char* name;
  AnswerFacts answer;
  int64_t on_disk;
  PackageIdentity stored;
  AnswerAction action;
  int64_t total;
  int code;
  bool permanent;
};

PackageIdentity Stored(const char* validator, int64_t total) {
  PackageIdentity id;
  id.path = "/p.zip";
  id.size = 4 * kMiB;
  id.validator = validator;
  id.total = total;
  return id;
}

AnswerFacts Answer(long status, int64_t start, int64_t total, int64_t length,
                   const char* validator = "") {
  AnswerFacts a;
  a.status = status;
  a.range_start = start;
  a.range_total = total;
  a.content_length = length;
  a.validator = validator;
  return a;
}

TEST(DecideAnswer, Table) {
  const int64_t size = 4 * kMiB;
  const SizeBounds bounds = record_size_bounds(size);
  const Case cases[] = {
      {"fresh 200", Answer(200, -1, -1, size), 0, Stored("", -1), AnswerAction::kAppend, size, 0,
       false},
      {"200 on resume replaces", Answer(200, -1, -1, size), 1000, Stored("\"a\"", size),
       AnswerAction::kReplace, size, 0, false},
      {"206 continues", Answer(206, 1000, size, size - 1000, "\"a\""), 1000, Stored("\"a\"", size),
       AnswerAction::kAppend, size, 0, false},
      {"206 from 0 replaces", Answer(206, 0, size, size), 1000, Stored("", -1),
       AnswerAction::kReplace, size, 0, false},
      {"206 elsewhere", Answer(206, 500, size, size - 500), 1000, Stored("", -1),
       AnswerAction::kRestartFromZero, -1, 33, false},
      {"206 of a changed package", Answer(206, 1000, size, size - 1000, "\"b\""), 1000,
       Stored("\"a\"", size), AnswerAction::kRestartFromZero, -1, 33, false},
      {"206 with another total", Answer(206, 1000, size + 5, size - 995), 1000, Stored("", size),
       AnswerAction::kRestartFromZero, -1, 33, false},
      {"416 whole", Answer(416, -1, size, 0), size, Stored("\"a\"", size),
       AnswerAction::kAlreadyComplete, size, 0, false},
      {"416 lie about a half", Answer(416, -1, size / 2, 0), size / 2, Stored("\"a\"", size),
       AnswerAction::kRestartFromZero, -1, 22, false},
      {"416 half without a side total", Answer(416, -1, size / 2, 0), size / 2, Stored("", -1),
       AnswerAction::kRestartFromZero, -1, 22, false},
      {"404", Answer(404, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"410", Answer(410, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"503", Answer(503, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, false},
      {"429", Answer(429, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, false},
      {"505", Answer(505, -1, -1, 10), 0, Stored("", -1), AnswerAction::kFail, -1, 22, true},
      {"302 without target", Answer(302, -1, -1, 0), 0, Stored("", -1), AnswerAction::kFail, -1, 22,
       true},
      {"twice the record", Answer(200, -1, -1, 2 * size), 0, Stored("", -1), AnswerAction::kFail,
       -1, 63, true},
      {"half the record", Answer(200, -1, -1, size / 2), 0, Stored("", -1), AnswerAction::kFail, -1,
       18, true},
      {"within the rounding", Answer(200, -1, -1, size + kMiB / 20), 0, Stored("", -1),
       AnswerAction::kAppend, size + kMiB / 20, 0, false},
      {"no length", Answer(200, -1, -1, -1), 0, Stored("", -1), AnswerAction::kAppend, -1, 0,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerDecision d = decide_answer(c.answer, c.on_disk, c.stored, bounds);
    EXPECT_EQ(c.action, d.action);
    EXPECT_EQ(c.total, d.total);
    if (c.action == AnswerAction::kFail || c.action == AnswerAction::kRestartFromZero) {
      EXPECT_EQ(c.code, d.code);
      EXPECT_EQ(c.permanent, d.permanent);
    }
  }
  // Without a record size only the hard cap bounds the answer.
  EXPECT_EQ(AnswerAction::kFail,
            decide_answer(Answer(200, -1, -1, kMaxPackageBytes + 1), 0, Stored("", -1), {}).action);
}

struct ValidatorCase {
  const char* etag;
  const char* last_modified;
  const char* chosen;
};

class ValidatorChoice : public testing::TestWithParam<ValidatorCase> {};

TEST_P(ValidatorChoice, OnlyAStrongTagOrElseLastModified) {
  const ValidatorCase& c = GetParam();
  EXPECT_EQ(c.chosen, choose_validator(c.etag, c.last_modified));
  // The same through the head of an answer.
  AnswerHead head;
  head.add("HTTP/1.1 200 OK\r\n");
  if (*c.etag) head.add(std::string("ETag: ") + c.etag + "\r\n");
  if (*c.last_modified) head.add(std::string("Last-Modified: ") + c.last_modified + "\r\n");
  head.add("\r\n");
  EXPECT_EQ(c.chosen, head.facts().validator);
}

constexpr char kDate[] = "Tue, 08 Dec 2026 10:00:00 GMT";
INSTANTIATE_TEST_SUITE_P(
    Tags, ValidatorChoice,
    testing::Values(ValidatorCase{"\"s1\"", kDate, "\"s1\""}, ValidatorCase{"\"s1\"", "", "\"s1\""},
                    ValidatorCase{"W/\"w1\"", kDate, kDate}, ValidatorCase{"W/\"w1\"", "", ""},
                    ValidatorCase{"w/\"w1\"", "", ""}, ValidatorCase{"unquoted", kDate, kDate},
                    ValidatorCase{"\"a\"b\"", "", ""}, ValidatorCase{"\"", "", ""},
                    ValidatorCase{"", kDate, kDate}, ValidatorCase{"", "", ""}));

TEST(ContentEncodingTest, OnlyIdentityBodiesAreThePackage) {
  for (const char* ok : {"", "identity", "Identity", " identity , identity"}) {
    EXPECT_TRUE(is_identity_encoding(ok)) << ok;
  }
  for (const char* coded : {"gzip", "br", "identity, gzip", "x-gzip", "deflate"}) {
    EXPECT_FALSE(is_identity_encoding(coded)) << coded;
    for (long status : {200L, 206L}) {
      AnswerFacts answer;
      answer.status = status;
      answer.range_start = status == 206 ? 100 : -1;
      answer.content_length = 100;
      answer.content_encoding = coded;
      PackageIdentity stored;
      AnswerDecision d = decide_answer(answer, status == 206 ? 100 : 0, stored, {});
      EXPECT_EQ(AnswerAction::kFail, d.action) << coded;
      EXPECT_EQ(kForeignEncoding, d.code);
      EXPECT_TRUE(d.permanent);
    }
  }
}

TEST(AnswerHeadTest, EachStatusLineStartsAfreshAndEtagWinsOverLastModified) {
  AnswerHead head;
  EXPECT_EQ(AnswerHead::Line::kStatus, head.add("HTTP/1.1 302 Found\r\n"));
  EXPECT_EQ(AnswerHead::Line::kField, head.add("ETag: \"old\"\r\n"));
  EXPECT_EQ(AnswerHead::Line::kField, head.add("Retry-After: 9\r\n"));
  EXPECT_EQ(AnswerHead::Line::kEnd, head.add("\r\n"));
  EXPECT_EQ(302, head.facts().status);
  // The redirect target's answer owes nothing to the redirect's head.
  EXPECT_EQ(AnswerHead::Line::kStatus, head.add("HTTP/1.1 206 Partial Content\r\n"));
  head.add("last-modified: Wed, 21 Oct 2015 07:28:00 GMT\r\n");
  head.add("content-range: bytes 100-199/200\r\n");
  head.add("Content-Length: 100\r\n");
  EXPECT_EQ(AnswerHead::Line::kEnd, head.add("\r\n"));
  EXPECT_EQ(206, head.facts().status);
  EXPECT_EQ(100, head.facts().range_start);
  EXPECT_EQ(200, head.facts().range_total);
  EXPECT_EQ(100, head.facts().content_length);
  EXPECT_EQ("Wed, 21 Oct 2015 07:28:00 GMT", head.facts().validator);
  EXPECT_EQ("", head.retryAfter());
  head.add("HTTP/1.1 200 OK\r\n");
  head.add("Last-Modified: x\r\n");
  head.add("ETag: W/\"e\"\r\n");
  head.add("Content-Length: 99999999999999999999999\r\n");  // too large to hold
  head.add("\r\n");
  // A weak tag never vouches for bytes: Last-Modified is the validator.
  EXPECT_EQ("x", head.facts().validator);
  EXPECT_EQ(INT64_MAX, head.facts().content_length);
}

TEST(ContentRange, StartAndTotal) {
  EXPECT_EQ(100, content_range_start(" bytes 100-199/200"));
  EXPECT_EQ(0, content_range_start("bytes 0-9/10"));
  EXPECT_EQ(-1, content_range_start("bytes */200"));
  EXPECT_EQ(-1, content_range_start("items 1-2/3"));
  EXPECT_EQ(200, content_range_total("bytes */200"));
  EXPECT_EQ(10, content_range_total("bytes 0-9/10"));
  EXPECT_EQ(-1, content_range_total("bytes 0-9/*"));
}

// Content-Range holds decimal digits only; a leading zero or a 0x prefix must
// not switch the reading to hexadecimal.
TEST(ContentRange, DecimalDigitsOnly) {
  EXPECT_EQ(100, content_range_start("bytes 0100-199/200"));
  EXPECT_EQ(-1, content_range_start("bytes 0x10-199/200"));
  EXPECT_EQ(200, content_range_total("bytes 0-9/0200"));
  EXPECT_EQ(-1, content_range_total("bytes 0-9/0x20"));
}

TEST(SizeBounds, ATenthOfTheUnitEitherWay) {
  SizeBounds mib = record_size_bounds(2621440);  // "2.5M"
  EXPECT_TRUE(mib.contains(2621440 + kMiB / 10));
  EXPECT_FALSE(mib.contains(2621440 + kMiB / 10 + 2));
  EXPECT_FALSE(mib.contains(2621440 / 2));
  SizeBounds gib = record_size_bounds(1610612736);  // "1.5G"
  EXPECT_TRUE(gib.contains(1610612736 + 100 * kMiB));
  EXPECT_FALSE(gib.contains(1610612736 + 110 * kMiB));
  EXPECT_FALSE(record_size_bounds(0).known());
  EXPECT_TRUE(record_size_bounds(0).contains(12345));
}

TEST(RetryAfter, SecondsOrDate) {
  EXPECT_EQ(2, parse_retry_after(" 2 ", 0));
  EXPECT_EQ(-1, parse_retry_after("soon", 0));
  EXPECT_EQ(-1, parse_retry_after("", 0));
  // Wed, 21 Oct 2015 07:28:00 GMT is 1445412480.
  EXPECT_EQ(30, parse_retry_after("Wed, 21 Oct 2015 07:28:00 GMT", 1445412450));
  EXPECT_EQ(0, parse_retry_after("Wed, 21 Oct 2015 07:28:00 GMT", 1445412999));
}

}  // namespace
