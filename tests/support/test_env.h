// What only the tests need of their surroundings, besides the harness they share with the
// benchmarks (a scratch folder, the registry value, captured streams, files read back, the
// peer's sockets): the debugger output, the process's threads and handles, programs run to
// their end, bounded waits, and bytes written in hex.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "codec.h"
#include "peer_socket.h"
#include "surroundings.h"

using mp::Frame;

// Collects what the library writes to the debugger output while it exists.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  std::string Text();

 private:
  struct Impl;
  Impl* impl_;
};

// The process's threads, and its open handles (Windows) or file descriptors (elsewhere).
int ThreadCount();
int HandleCount();
// Runs the program of that name from the test program's own folder with the arguments, its
// standard output and error sent nowhere, and returns its exit code (-1 when it could not be
// run, did not end within timeoutMs, or died of a signal).
int RunProgram(const std::string& name, const std::vector<std::string>& args, int timeoutMs);
// Polls cond every few milliseconds until it holds or timeoutMs passes.
bool WaitUntil(int timeoutMs, const std::function<bool()>& cond);
// Bytes from a string such as "0A 04 03 02 01".
Bytes Hex(const std::string& text);
