// The command language of --script files and --interactive input: one command a line.
//
//   send <Event> [Field=Value ...]   an event, framed
//   frame <hex>                      a payload given in hex, framed
//   raw <hex>                        bytes exactly as given, nothing added
//   wait <ms>                        a pause
//   await <Request> [<ms>]           until the game sends that request (default 5000 ms)
//   together [pieces <n>] [gap <ms>] the send/frame/raw lines up to "end" go out in one write,
//   end                              or in n-byte pieces with a pause between them
//   close | reset                    ends the game connection gracefully or with a reset
//   show                             prints the lobby's state
//   quit                             ends meetpoint
//
// "#" starts a comment outside quotes. docs/meetpoint.md has the details and examples.
#pragma once

#include <string>
#include <vector>

#include "message.h"

namespace mp {

// Bytes that one writing command puts on the connection: a frame (send, frame) or raw bytes.
struct Chunk {
  Bytes bytes;
  bool framed = true;
};

struct Command {
  enum class Kind { kWrite, kWait, kAwait, kClose, kReset, kShow, kQuit };
  Kind kind = Kind::kWrite;
  int line = 0;
  std::vector<Chunk> chunks;  // kWrite
  uint32_t pieceSize = 0;     // kWrite: 0 writes everything at once
  uint32_t gapMs = 0;         // kWrite: the pause between pieces
  uint32_t ms = 0;            // kWait: the pause; kAwait: the longest wait
  uint8_t type = 0;           // kAwait: the request awaited
};

const uint32_t kDefaultAwaitMs = 5000;
const uint32_t kDefaultPieceGapMs = 20;

class ScriptParser {
 public:
  // Takes the next line. Complete commands are appended to *out; a line inside a "together"
  // block completes nothing until "end". False on a bad line, with Error() saying
  // "line N: ...".
  bool Line(const std::string& line, std::vector<Command>* out);
  // False when a "together" block was left open.
  bool Finish();
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& what);
  bool ParseCommand(const std::vector<std::string>& words, Command* command);

  int lineNumber_ = 0;
  bool inGroup_ = false;
  Command group_;
  std::string error_;
};

// A whole script; false with *error ("line N: ...") at its first bad line.
bool ParseScript(const std::string& text, std::vector<Command>* commands, std::string* error);

// The event a "send" line describes, without the word "send": "NewGameJoin GiID=5 Result=1".
// Every line meetpoint prints for an event it sent reads back this way.
bool ParseEvent(const std::string& text, Message* event, std::string* error);

}  // namespace mp
