// The --record transcript: one JSON object per line for everything that crossed the game
// connection, in both directions. docs/meetpoint.md lists the keys; they are kept stable for
// tools that read the transcript.
#pragma once

#include <cstdio>
#include <string>

#include "message.h"

namespace mp {

struct TranscriptEntry {
  int64_t ms = 0;          // since meetpoint started
  std::string time;        // wall-clock time, UTC, ISO 8601 with milliseconds
  int connection = 0;      // 1 for the first game connection, and so on
  const char* dir = "in";  // "in" from the game, "out" to the game, "info" about the connection
  std::string type;        // message name, "unknown", "raw", "bad-frame", "connected", "closed"
  int code = -1;           // the type byte; -1 leaves it out
  const Message* message = nullptr;  // decoded fields, when there are
  const Bytes* raw = nullptr;        // the bytes, frames with their length prefix
  std::string error;                 // what was wrong with the bytes
  std::string note;                  // "info": how the connection ended
};

// One JSON object, without the line end.
std::string TranscriptLine(const TranscriptEntry& entry);
// A JSON string literal; each byte stands for the character of the same code (ISO 8859-1).
std::string JsonString(const std::string& text);

class Transcript {
 public:
  ~Transcript();
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  void Write(const TranscriptEntry& entry);

 private:
  FILE* file_ = nullptr;
};

}  // namespace mp
