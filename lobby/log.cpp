#include "log.h"

#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "json_text.h"
#include "protocol.h"

namespace lobby {

namespace {

LogLevel minimumLevel = LogLevel::kInfo;
LogFormat format = LogFormat::kText;

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kWarning:
      return "warning";
    default:
      return "error";
  }
}

// The event name and the address come from the server, but they are escaped all the same:
// an address string could one day carry a host name.
std::string Bare(const std::string& text) {
  std::string quoted = Quote(text);
  return quoted.find_first_of(" =\\") == std::string::npos && quoted.size() > 2
             ? quoted.substr(1, quoted.size() - 2)
             : quoted;
}

}  // namespace

void SetLogLevel(LogLevel minimum) { minimumLevel = minimum; }

void SetLogFormat(LogFormat chosen) { format = chosen; }

bool LogEnabled(LogLevel level) { return level >= minimumLevel; }

std::string FormatLogLine(const LogEntry& entry, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  int64_t ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  time_t seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(ms % 1000));
  if (format == LogFormat::kJson) {
    nlohmann::ordered_json line = {
        {"time", stamp}, {"level", LevelName(entry.level)}, {"event", JsonText(entry.event)}};
    if (!entry.player.empty()) line["player"] = JsonText(entry.player);
    if (!entry.address.empty()) line["address"] = JsonText(entry.address);
    if (!entry.detail.empty()) line["detail"] = JsonText(entry.detail);
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  }
  std::string line = std::string(stamp) + " " + LevelName(entry.level) + " " + Bare(entry.event);
  if (!entry.player.empty()) line += " player=" + Quote(entry.player);
  if (!entry.address.empty()) line += " address=" + Bare(entry.address);
  if (!entry.detail.empty()) line += " detail=" + Quote(entry.detail);
  return line;
}

void Log(const LogEntry& entry) {
  if (!LogEnabled(entry.level)) return;
  std::string line = FormatLogLine(entry, std::chrono::system_clock::now());
  line += '\n';
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

void Log(LogLevel level, const std::string& event, const std::string& detail) {
  LogEntry entry;
  entry.level = level;
  entry.event = event;
  entry.detail = detail;
  Log(entry);
}

void LogSampler::Log(LogEntry entry, Clock::time_point now) {
  ++total_;
  if (last_ != Clock::time_point{} && now - last_ < every_) {
    ++heldBack_;
    return;
  }
  if (heldBack_ != 0) {
    entry.detail += " (and " + std::to_string(heldBack_) + " more like it since the last line)";
  }
  heldBack_ = 0;
  last_ = now;
  lobby::Log(entry);
}

}  // namespace lobby
