#include "session/floattext.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

size_t FormatFloatG(double value, char* out, size_t size) {
  if (std::isnan(value)) return static_cast<size_t>(snprintf(out, size, "NAN"));
  if (std::isinf(value))
    return static_cast<size_t>(snprintf(out, size, value < 0 ? "-INF" : "INF"));
  char text[32];
  snprintf(text, sizeof text, "%G", value);
  // Widen a two-digit exponent ("E+06") to three digits ("E+006").
  const char* e = strchr(text, 'E');
  if (e != nullptr && strlen(e + 2) < 3) {
    size_t head = static_cast<size_t>(e - text) + 2;  // through the exponent's sign
    return static_cast<size_t>(
        snprintf(out, size, "%.*s%03d", static_cast<int>(head), text, atoi(e + 2)));
  }
  return static_cast<size_t>(snprintf(out, size, "%s", text));
}
