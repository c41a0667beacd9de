#include "norvotools/norvo-root/ui_logger.h"

#include <gtest/gtest.h>

namespace {

TEST(UiLogger, ConsoleLineLetters) {
  using namespace android::base;
  EXPECT_EQ("V:v\n", ui_log_line(VERBOSE, "v"));
  EXPECT_EQ("I:>> Bye bye, Quillon\n", ui_log_line(INFO, ">> Bye bye, Quillon"));
  EXPECT_EQ("E:e\n", ui_log_line(ERROR, "e"));
  EXPECT_EQ("F:f\n", ui_log_line(FATAL_WITHOUT_ABORT, "f"));
  EXPECT_EQ("F:fatal\n", ui_log_line(FATAL, "fatal"));
  EXPECT_EQ("I:\n", ui_log_line(INFO, ""));
}

}  // namespace
