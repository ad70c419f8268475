// The fuzz targets. Each entry function runs one input through a part of the library and
// aborts when that part breaks one of its rules; the sanitizers catch what goes wrong in
// memory. libFuzzer calls them through LLVMFuzzerTestOneInput (libfuzzer_entry.cpp), the
// replay runner with every file of a corpus (replay_main.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken rule: said on standard error, then an abort, which makes the fuzzer keep the input.
[[noreturn]] inline void FuzzFail(const char* what) {
  fprintf(stderr, "fuzz target: %s\n", what);
  abort();
}

// The bytes as Meetpoint's side of a real loopback connection, through the message thread's
// loop: receive, dispatch, the handlers and the game's callbacks.
int FuzzEventStream(const uint8_t* data, size_t size);
// CTcpBuffer under a sequence of appends, pops and clears decoded from the bytes, checked
// against a model of what it must hold.
int FuzzTcpBuffer(const uint8_t* data, size_t size);
// meetpoint's frame splitter and request decoder (tools/meetpoint), reading the bytes whole
// and in pieces: both readings must agree.
int FuzzMeetpointReader(const uint8_t* data, size_t size);
// The lobby server's frame reader and message decoder (lobby/protocol.h), whole and in pieces.
int FuzzLobbyReader(const uint8_t* data, size_t size);
