// The "%G" text of the statistics against the texts recorded from msvcrt.dll (see
// msvcrt_g_test.cpp for the comparison with msvcrt.dll itself).
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "session/floattext.h"
#include "support/float_cases.h"

namespace {

std::string Format(double value) {
  char text[32];
  size_t length = FormatFloatG(value, text, sizeof text);
  return std::string(text, length);
}

std::string Hex(uint64_t bits) {
  char text[20];
  snprintf(text, sizeof text, "%016" PRIx64, bits);
  return text;
}

TEST(FloatText, MatchesTheTextsRecordedFromMsvcrt) {
  std::vector<RecordedFloatText> records = ReadRecordedFloatTexts(RALLYLINK_MSVCRT_G_TABLE);
  ASSERT_GT(records.size(), 2000u) << "missing or short: " << RALLYLINK_MSVCRT_G_TABLE;
  int wrong = 0;
  for (const auto& r : records) {
    std::string text = Format(DoubleFromBits(r.bits));
    if (text != r.text && ++wrong <= 10) {
      ADD_FAILURE() << Hex(r.bits) << ": msvcrt wrote " << r.text << ", we write " << text;
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

}  // namespace
