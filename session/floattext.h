// Floating values as text the way the classic Windows C runtime writes "%G": six significant
// digits and an exponent of at least three digits (1.23457E+006, 1E-005).
#pragma once

#include <cstddef>

// Writes the text of value into out (room for size bytes, at least 16) and returns its length.
// Infinities and not-a-number values give "INF", "-INF" and "NAN".
size_t FormatFloatG(double value, char* out, size_t size);
