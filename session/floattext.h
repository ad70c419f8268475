// Floating values as text the way the Windows C runtime (msvcrt.dll) writes "%G": six
// significant digits, a value exactly halfway rounded away from zero, and an exponent of at
// least three digits (1.23457E+006, 1E-005). The text comes from the double's exact value, so it
// is the same on every platform and doesn't depend on the host's printf.
#pragma once

#include <cstddef>

// Writes the text of value into out (room for size bytes; 14 hold any text) and returns its
// length, cutting and ending it as snprintf does. Infinities are "1.#INF" and "-1.#INF", NaNs
// "1.#QNAN", or "-1.#IND" when their sign bit is set.
size_t FormatFloatG(double value, char* out, size_t size);
