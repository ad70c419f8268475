// rallylobby's log: one line per happening, with its time, level, event name and the player,
// address and detail it concerns. Every field is escaped as it is written, so that no text
// from the network (a player's name, a detail quoting it) can start a line of its own or move
// the terminal's cursor. Lines go to standard output, each flushed at once.
//
//   2026-12-05T19:44:00.123Z info logged-in player="Ada" address=127.0.0.1:40522 detail="rating
//   1000"
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace lobby {

enum class LogLevel { kInfo, kWarning, kError };
// Text lines (the default), or one JSON object a line for log collectors: {"time", "level",
// "event", and "player", "address", "detail" where they apply}.
enum class LogFormat { kText, kJson };

struct LogEntry {
  LogLevel level = LogLevel::kInfo;
  std::string event;    // a fixed word of the server's: logged-in, refused, accept-failed, ...
  std::string player;   // empty when not known
  std::string address;  // the peer's address and port; empty for the server's own events
  std::string detail;
};

// Lines below this level are dropped (--quiet: warnings and errors only).
void SetLogLevel(LogLevel minimum);
void SetLogFormat(LogFormat format);
bool LogEnabled(LogLevel level);
void Log(const LogEntry& entry);
void Log(LogLevel level, const std::string& event, const std::string& detail);

// One line as written: the time, the level, then the fields, texts quoted with Quote(); or, in
// JSON, each text as json_text.h gives it.
std::string FormatLogLine(const LogEntry& entry, std::chrono::system_clock::time_point when);

// For happenings that can come thousands of times a second (accept failures, busy logins, a
// connection over the per-address cap): at most one line a second for each event name, which
// counts the ones held back since the last line.
class LogSampler {
 public:
  using Clock = std::chrono::steady_clock;
  explicit LogSampler(std::chrono::milliseconds every = std::chrono::seconds(1)) : every_(every) {}
  // Logs the entry now, or counts it for the next line.
  void Log(LogEntry entry, Clock::time_point now = Clock::now());
  uint64_t Total() const { return total_; }

 private:
  std::chrono::milliseconds every_;
  Clock::time_point last_{};
  uint64_t heldBack_ = 0;
  uint64_t total_ = 0;
};

}  // namespace lobby
