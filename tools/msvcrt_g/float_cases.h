// Doubles that put a "%G" formatter to the test: special values, denormals, powers of ten and
// their neighbours, values exactly halfway between two six-digit texts at every digit position
// that a double can hold exactly, the doubles nearest to decimal halfway points at every
// exponent, and random bit patterns from a fixed seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Bit patterns of the cases. The small set is the one recorded in tests/data/msvcrt_g.txt.
std::vector<uint64_t> FloatTextCases(bool full);

double DoubleFromBits(uint64_t bits);
// The bits as the table writes them: 16 lower-case hex digits.
std::string BitsText(uint64_t bits);
// The text that msvcrt.dll's own _snprintf gives for "%G", whatever printf this program was
// built with (Windows only); empty when msvcrt.dll can't be loaded.
#ifdef _WIN32
std::string MsvcrtGText(double value);
#endif

// One recorded case: a double's bits and the text that msvcrt.dll's "%G" gave for it.
struct RecordedFloatText {
  uint64_t bits;
  std::string text;
};
// Reads lines of the form "<16 hex digits> <text>"; empty when the file can't be read.
std::vector<RecordedFloatText> ReadRecordedFloatTexts(const std::string& path);
