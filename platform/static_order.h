// Fixes the construction order of the library's static objects: lower numbers are built
// first and destroyed last, and all of them before the library's load hook runs.
#pragma once

#if defined(__GNUC__)
#define RL_STATIC_ORDER(n) __attribute__((init_priority(100 + (n))))
#else
#define RL_STATIC_ORDER(n)
#endif
