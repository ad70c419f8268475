// The "%G" text of the statistics against msvcrt.dll's own _snprintf, on a large set of values,
// and the recorded texts that the other platforms check against (Windows only).
#include <gtest/gtest.h>
#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "session/floattext.h"
#include "support/float_cases.h"

namespace {

std::string Hex(uint64_t bits) {
  char text[20];
  snprintf(text, sizeof text, "%016" PRIx64, bits);
  return text;
}

std::string Format(double value) {
  char text[32];
  size_t length = FormatFloatG(value, text, sizeof text);
  return std::string(text, length);
}

typedef int(__cdecl* SnprintfFn)(char*, size_t, const char*, ...);

// msvcrt.dll's own _snprintf, whatever printf this program was built with.
SnprintfFn MsvcrtSnprintf() {
  HMODULE msvcrt = LoadLibraryA("msvcrt.dll");
  return msvcrt == nullptr ? nullptr
                           : reinterpret_cast<SnprintfFn>(
                                 reinterpret_cast<void*>(GetProcAddress(msvcrt, "_snprintf")));
}

std::string MsvcrtText(SnprintfFn snprintfFn, double value) {
  char text[64] = {0};
  snprintfFn(text, sizeof text - 1, "%G", value);
  return text;
}

TEST(MsvcrtG, MatchesMsvcrtOnEveryCase) {
  SnprintfFn msvcrt = MsvcrtSnprintf();
  ASSERT_NE(msvcrt, nullptr);
  std::vector<uint64_t> cases = FloatTextCases(true);
  int wrong = 0;
  for (uint64_t bits : cases) {
    double value = DoubleFromBits(bits);
    std::string expected = MsvcrtText(msvcrt, value);
    std::string text = Format(value);
    if (text != expected && ++wrong <= 10) {
      ADD_FAILURE() << Hex(bits) << ": msvcrt writes " << expected << ", we write " << text;
    }
  }
  EXPECT_EQ(wrong, 0) << "of " << cases.size();
}

TEST(MsvcrtG, TheRecordedTextsAreMsvcrts) {
  SnprintfFn msvcrt = MsvcrtSnprintf();
  ASSERT_NE(msvcrt, nullptr);
  for (const auto& r : ReadRecordedFloatTexts(RALLYLINK_MSVCRT_G_TABLE)) {
    ASSERT_EQ(MsvcrtText(msvcrt, DoubleFromBits(r.bits)), r.text) << Hex(r.bits);
  }
}

}  // namespace
