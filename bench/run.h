// One measuring run, the same on Linux and under Wine: a session with a stand-in Meetpoint and
// the floor next to it, the check that both sides write and send the same, then request cost
// (reader inline, then reader on its own thread) and event latency. Writes the figures, each
// named with the platform tag, to `out`.
#pragma once

#include <cstdio>
#include <string>

// quick: short measurements, to check that everything works (the figures mean nothing).
// Returns the process's exit status.
int MeasureRun(const std::string& tag, bool quick, FILE* out);
