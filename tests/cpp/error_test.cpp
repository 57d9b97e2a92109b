#include <gtest/gtest.h>

#include "kestrin_lib/error.hpp"

namespace kestrin {
namespace {

TEST(ReportText, ShapesByNumberOfCauses) {
  EXPECT_EQ(report_text(Error::ordinary("A")), "A");
  EXPECT_EQ(report_text(Error::ordinary("A", {"B"})), "A\n\nCaused by:\n    B");
  EXPECT_EQ(report_text(Error::ordinary("A", {"B", "C"})), "A\n\nCaused by:\n    0: B\n    1: C");
}

TEST(ReportText, IndentsContinuationLines) {
  EXPECT_EQ(report_text(Error::ordinary("A", {"B1\nB2"})), "A\n\nCaused by:\n    B1\n    B2");
  EXPECT_EQ(report_text(Error::ordinary("A", {"B1\nB2", "C"})), "A\n\nCaused by:\n    0: B1\n       B2\n    1: C");
  // The message itself is not indented.
  EXPECT_EQ(report_text(Error::ordinary("A1\nA2", {"B"})), "A1\nA2\n\nCaused by:\n    B");
}

TEST(ReportText, NumbersStayRightAlignedInFiveColumns) {
  std::vector<std::string> causes(11, "x");
  std::string text = report_text(Error::ordinary("A", causes));
  EXPECT_NE(text.find("\n    9: x\n   10: x"), std::string::npos) << text;
}

TEST(OsErrorText, NamesTheNumber) { EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)"); }

TEST(FatalErrors, CarryTheirTextAndWhereTheyAreDetected) {
  Error absent = value_absent("no seat");
  EXPECT_TRUE(absent.is_fatal());
  EXPECT_EQ(absent.message, "an expected value was absent: no seat");
  EXPECT_STREQ(absent.where.file_name(), __FILE__);

  Error failed = result_was_error(Error::ordinary("broken", {"pipe"}));
  EXPECT_TRUE(failed.is_fatal());
  EXPECT_EQ(failed.message, "a result was an error: broken\n\nCaused by:\n    pipe");
}

}  // namespace
}  // namespace kestrin
