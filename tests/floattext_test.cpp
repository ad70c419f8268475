// The "%G" text of the statistics against the texts recorded from msvcrt.dll, and under Wine
// against msvcrt.dll's own _snprintf on a large set of values.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "session/floattext.h"
#include "float_cases.h"

namespace {

std::string Format(double value) {
  char text[32];
  size_t length = FormatFloatG(value, text, sizeof text);
  return std::string(text, length);
}

TEST(FloatText, MatchesTheTextsRecordedFromMsvcrt) {
  std::vector<RecordedFloatText> records = ReadRecordedFloatTexts(RALLYLINK_MSVCRT_G_TABLE);
  ASSERT_GT(records.size(), 2000u) << "missing or short: " << RALLYLINK_MSVCRT_G_TABLE;
  int wrong = 0;
  for (const auto& r : records) {
    std::string text = Format(DoubleFromBits(r.bits));
    if (text != r.text && ++wrong <= 10) {
      ADD_FAILURE() << BitsText(r.bits) << ": msvcrt wrote " << r.text << ", we write " << text;
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << records.size();
}

TEST(FloatText, ACutTextEndsLikeSnprintf) {
  char text[5];
  EXPECT_EQ(FormatFloatG(-1234567.0, text, sizeof text), 13u);  // "-1.23457E+006"
  EXPECT_STREQ(text, "-1.2");
  EXPECT_EQ(FormatFloatG(-std::numeric_limits<double>::infinity(), text, sizeof text), 7u);
  EXPECT_STREQ(text, "-1.#");
}

#ifdef _WIN32
TEST(MsvcrtG, MatchesMsvcrtOnEveryCase) {
  ASSERT_FALSE(MsvcrtGText(1.0).empty()) << "no msvcrt.dll";
  // The recorded cases too: where these agree and the recorded texts don't, the table is stale.
  std::vector<uint64_t> cases = FloatTextCases(true);
  for (const auto& r : ReadRecordedFloatTexts(RALLYLINK_MSVCRT_G_TABLE)) cases.push_back(r.bits);
  int wrong = 0;
  for (uint64_t bits : cases) {
    double value = DoubleFromBits(bits);
    std::string expected = MsvcrtGText(value);
    std::string text = Format(value);
    if (text != expected && ++wrong <= 10) {
      ADD_FAILURE() << BitsText(bits) << ": msvcrt writes " << expected << ", we write " << text;
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << cases.size();
}
#endif

}  // namespace
