#include "float_cases.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

uint64_t BitsOf(double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The value, its two neighbours and the negatives of all three.
void AddWithNeighbours(std::set<uint64_t>* cases, double value) {
  for (double v : {value, std::nextafter(value, INFINITY), std::nextafter(value, -INFINITY)}) {
    if (std::isfinite(v)) {
      cases->insert(BitsOf(v));
      cases->insert(BitsOf(-v));
    }
  }
}

}  // namespace

double DoubleFromBits(uint64_t bits) {
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

std::string BitsText(uint64_t bits) {
  char text[20];
  snprintf(text, sizeof text, "%016" PRIx64, bits);
  return text;
}

#ifdef _WIN32
std::string MsvcrtGText(double value) {
  typedef int(__cdecl * SnprintfFn)(char*, size_t, const char*, ...);
  static const SnprintfFn msvcrt = reinterpret_cast<SnprintfFn>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("msvcrt.dll"), "_snprintf")));
  char text[64] = {0};
  if (msvcrt != nullptr) msvcrt(text, sizeof text - 1, "%G", value);
  return text;
}
#endif

std::vector<uint64_t> FloatTextCases(bool full) {
  std::set<uint64_t> cases = {
      0x0000000000000000, 0x8000000000000000,  // zeros
      0x7FF0000000000000, 0xFFF0000000000000,  // infinities
      0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000001,
      0x7FF4000000000000, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF,  // NaNs
      0x0000000000000001, 0x0000000000000002, 0x0000000000000003, 0x0008000000000000,
      0x000FFFFFFFFFFFFF,  // denormals
      0x0010000000000000, 0x0010000000000001, 0x7FEFFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFE,
  };
  std::mt19937_64 rng(20251205);

  // Powers of ten, each as the nearest double; in the full set with both neighbours.
  for (int p = -323; p <= 308; ++p) {
    char text[16];
    snprintf(text, sizeof text, "1e%d", p);
    double value = strtod(text, nullptr);
    if (full || p % 8 == 0) {
      AddWithNeighbours(&cases, value);
    } else {
      cases.insert(BitsOf(value));
    }
  }

  // Doubles that lie exactly halfway between two six-digit texts: seven significant digits
  // ending in 5. n / 2^j with n odd has exactly the digits of n * 5^j, which gives every digit
  // position from 10^-3 to 10^5; integers (10 d + 5) * 10^k give the positions up to 10^15.
  const int perPosition = full ? 40 : 6;
  uint64_t power5 = 1;
  for (int j = 1; j <= 9; ++j) {
    power5 *= 5;
    uint64_t low = (1000000 + power5 - 1) / power5;
    uint64_t high = 10000000 / power5;  // exclusive
    for (int i = 0; i < perPosition; ++i) {
      uint64_t n = low + rng() % (high - low);
      if (n % 2 == 0) n = n + 1 < high ? n + 1 : n - 1;
      if (n < low || n % 2 == 0) continue;
      double value = static_cast<double>(n) / static_cast<double>(uint64_t{1} << j);
      cases.insert(BitsOf(value));
      cases.insert(BitsOf(-value));
    }
  }
  for (int k = 0; k <= 9; ++k) {
    for (int i = 0; i < perPosition; ++i) {
      uint64_t d = 100000 + rng() % 900000;
      double value = static_cast<double>(d * 10 + 5) * std::pow(10.0, k);  // exact below 2^53
      cases.insert(BitsOf(value));
      cases.insert(BitsOf(-value));
    }
  }
  for (double value : {999999.5, 1000005.0, 123456.5, 0.5, 9999995.0, 0.0009999995}) {
    AddWithNeighbours(&cases, value);
  }

  // The doubles nearest to decimal halfway points d.ddddd5eX, at every exponent, and their
  // neighbours.
  for (int x = -320; x <= 308; ++x) {
    if (!full && x % 4 != 0) continue;
    for (int i = 0; i < (full ? 3 : 1); ++i) {
      char text[32];
      snprintf(text, sizeof text, "%u.%05u5e%d", static_cast<unsigned>(1 + rng() % 9),
               static_cast<unsigned>(rng() % 100000), x);
      AddWithNeighbours(&cases, strtod(text, nullptr));
    }
  }

  // Random bit patterns.
  for (int i = 0; i < (full ? 200000 : 600); ++i) cases.insert(rng());
  return std::vector<uint64_t>(cases.begin(), cases.end());
}

std::vector<RecordedFloatText> ReadRecordedFloatTexts(const std::string& path) {
  std::vector<RecordedFloatText> records;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t blank = line.find(' ');
    if (blank != 16) continue;
    records.push_back({strtoull(line.substr(0, 16).c_str(), nullptr, 16), line.substr(17)});
  }
  return records;
}
