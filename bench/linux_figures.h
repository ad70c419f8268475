// The figures that only the Linux benchmark takes, once for the whole table: heap allocations
// (counted by this program's malloc), idle wake-ups of the message thread (from the kernel's
// counters), scaling over game threads (Google Benchmark), resident memory (a probe process)
// and the cost of one system call. Each returns its table rows.
#pragma once

#include <string>
#include <vector>

#include "floor.h"
#include "message.h"
#include "peer.h"

std::vector<std::string> AllocationRows(BenchSession& session, FloorLink& floor, bool quick);
std::vector<std::string> IdleRows(BenchSession& session, int seconds);
std::vector<std::string> ScalingRows(BenchSession& session, FloorLink& floor, bool quick);
std::vector<std::string> MemoryRows();
std::vector<std::string> SystemCallRows(bool quick);

// Calls each request on both sides, or on one, for callgrind and strace (see
// instructions.cpp); the exit status.
enum class Sides { kBoth, kLibrary, kFloor };
int CountInstructions(int calls, Sides sides);

// Sends each frame to the library once the previous one has reached its callback, which must
// call EventArrived(); returns how many arrived within 5 s each.
int SendPacedEvents(BenchSession& session, const std::vector<mp::Bytes>& frames);
void EventArrived();
// The thread that last called EventArrived (the message thread).
long LastCallbackThread();
