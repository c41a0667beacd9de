#include "request/entry.h"

#include <gtest/gtest.h>

namespace {

TEST(EntryTest, CommandDigitAndDescriptors) {
  EXPECT_EQ(ParseCommandDigit("0"), 0);
  EXPECT_EQ(ParseCommandDigit("6"), 6);
  EXPECT_EQ(ParseCommandDigit("x"), -1);
  EXPECT_EQ(ParseCommandDigit(""), -1);
  EXPECT_EQ(ParseDescriptor("7"), 7);
  EXPECT_EQ(ParseDescriptor("7x"), -1);
  EXPECT_EQ(ParseDescriptor("-1"), -1);
  EXPECT_EQ(ParseDescriptor(""), -1);
  EXPECT_EQ(ParseDescriptor("99999999999"), -1);
}

}  // namespace
