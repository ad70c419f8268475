#include "session/floattext.h"

#include <cstdint>
#include <cstring>

namespace {

// An unsigned integer of up to 1280 bits, enough for a double's exact value scaled by any power
// of ten that the conversion needs (at most about 2^1130).
struct BigNum {
  static const int kLimbs = 40;
  uint32_t limb[kLimbs];  // least significant first
  int size;               // limbs in use; no leading zero limbs

  explicit BigNum(uint64_t value) : limb(), size(0) {
    while (value != 0) {
      limb[size++] = static_cast<uint32_t>(value);
      value >>= 32;
    }
  }

  void MultiplySmall(uint32_t factor) {
    uint64_t carry = 0;
    for (int i = 0; i < size; ++i) {
      uint64_t product = static_cast<uint64_t>(limb[i]) * factor + carry;
      limb[i] = static_cast<uint32_t>(product);
      carry = product >> 32;
    }
    if (carry != 0 && size < kLimbs) limb[size++] = static_cast<uint32_t>(carry);
  }

  void MultiplyPow10(int exponent) {
    for (; exponent >= 9; exponent -= 9) MultiplySmall(1000000000u);
    for (; exponent > 0; --exponent) MultiplySmall(10u);
  }

  void ShiftLeft(int bits) {
    int words = bits / 32;
    int rest = bits % 32;
    if (size == 0) return;
    int top = size + words + 1 > kLimbs ? kLimbs : size + words + 1;
    for (int i = top - 1; i >= 0; --i) {
      uint64_t value = 0;
      int from = i - words;
      if (from >= 0 && from < size) value = static_cast<uint64_t>(limb[from]) << rest;
      if (rest != 0 && from - 1 >= 0 && from - 1 < size) value |= limb[from - 1] >> (32 - rest);
      limb[i] = static_cast<uint32_t>(value);
    }
    size = top;
    while (size > 0 && limb[size - 1] == 0) --size;
  }

  int Compare(const BigNum& other) const {
    if (size != other.size) return size < other.size ? -1 : 1;
    for (int i = size - 1; i >= 0; --i) {
      if (limb[i] != other.limb[i]) return limb[i] < other.limb[i] ? -1 : 1;
    }
    return 0;
  }

  // this -= other; other must not be larger.
  void Subtract(const BigNum& other) {
    int64_t borrow = 0;
    for (int i = 0; i < size; ++i) {
      int64_t difference = static_cast<int64_t>(limb[i]) - borrow -
                           (i < other.size ? static_cast<int64_t>(other.limb[i]) : 0);
      borrow = difference < 0 ? 1 : 0;
      limb[i] = static_cast<uint32_t>(difference + (borrow << 32));
    }
    while (size > 0 && limb[size - 1] == 0) --size;
  }
};

// Writes text into out as snprintf would: cut to size - 1 characters and always ended.
size_t Emit(const char* text, size_t length, char* out, size_t size) {
  if (size > 0) {
    size_t n = length < size - 1 ? length : size - 1;
    memcpy(out, text, n);
    out[n] = '\0';
  }
  return length;
}

}  // namespace

// The value is m x 2^e exactly. Its first seven significant decimal digits come from long
// division of two big integers, and the seventh alone decides the rounding: 5 or more rounds the
// six digits up, so a value exactly halfway goes away from zero, as the Windows runtime does.
size_t FormatFloatG(double value, char* out, size_t size) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  bool negative = (bits >> 63) != 0;
  int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);

  char text[32];
  size_t n = 0;
  if (biased == 0x7FF) {
    // The Windows runtime's texts: any NaN with the sign bit is the "indefinite" one.
    const char* special =
        mantissa == 0 ? (negative ? "-1.#INF" : "1.#INF") : (negative ? "-1.#IND" : "1.#QNAN");
    return Emit(special, strlen(special), out, size);
  }
  if (negative) text[n++] = '-';
  if (biased == 0 && mantissa == 0) {
    text[n++] = '0';
    return Emit(text, n, out, size);
  }
  int e2 = biased == 0 ? -1074 : biased - 1075;
  if (biased != 0) mantissa |= uint64_t{1} << 52;

  // A first guess of the decimal exponent: floor(log10(value)), off by at most one.
  int bitLength = 64 - __builtin_clzll(mantissa) + e2;  // value lies in [2^(b-1), 2^b)
  int e10 = ((bitLength - 1) * 78913) >> 18;            // 78913 / 2^18 ~ log10(2)

  // value / 10^e10 as the fraction num / den.
  BigNum num(mantissa);
  BigNum den(1);
  if (e2 > 0) num.ShiftLeft(e2);
  if (e2 < 0) den.ShiftLeft(-e2);
  if (e10 > 0) den.MultiplyPow10(e10);
  if (e10 < 0) num.MultiplyPow10(-e10);
  BigNum tenDen = den;
  tenDen.MultiplySmall(10);
  if (num.Compare(den) < 0) {
    num.MultiplySmall(10);
    --e10;
  } else if (num.Compare(tenDen) >= 0) {
    den = tenDen;
    ++e10;
  }

  // Seven digits by long division: each is below 10 because num < 10 x den.
  int digits[7];
  for (int& digit : digits) {
    digit = 0;
    while (num.Compare(den) >= 0) {
      num.Subtract(den);
      ++digit;
    }
    num.MultiplySmall(10);
  }
  if (digits[6] >= 5) {
    int i = 5;
    while (i >= 0 && digits[i] == 9) digits[i--] = 0;
    if (i >= 0) {
      ++digits[i];
    } else {  // 999999.5 becomes 1000000: one more decimal place
      digits[0] = 1;
      ++e10;
    }
  }
  int last = 5;  // the last digit to write: trailing zeros are dropped
  while (last > 0 && digits[last] == 0) --last;

  if (e10 >= -4 && e10 < 6) {
    if (e10 < 0) {
      text[n++] = '0';
      text[n++] = '.';
      for (int i = -1; i > e10; --i) text[n++] = '0';
      for (int i = 0; i <= last; ++i) text[n++] = static_cast<char>('0' + digits[i]);
    } else {
      for (int i = 0; i <= e10; ++i) text[n++] = static_cast<char>('0' + digits[i]);
      if (last > e10) {
        text[n++] = '.';
        for (int i = e10 + 1; i <= last; ++i) text[n++] = static_cast<char>('0' + digits[i]);
      }
    }
  } else {
    text[n++] = static_cast<char>('0' + digits[0]);
    if (last > 0) {
      text[n++] = '.';
      for (int i = 1; i <= last; ++i) text[n++] = static_cast<char>('0' + digits[i]);
    }
    text[n++] = 'E';
    text[n++] = e10 < 0 ? '-' : '+';
    int magnitude = e10 < 0 ? -e10 : e10;  // at most 324: three digits, always written
    text[n++] = static_cast<char>('0' + magnitude / 100);
    text[n++] = static_cast<char>('0' + magnitude / 10 % 10);
    text[n++] = static_cast<char>('0' + magnitude % 10);
  }
  return Emit(text, n, out, size);
}
