#include "log/log.h"

#include <cstring>

#include "platform/lockorder.h"
#include "platform/attributes.h"

// Constructed before every other static object of the library and destroyed after them, so
// that everything may log until the very end.
CLog Log RL_STATIC_ORDER(1);

static const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
static const char* const kMonthNames[] = {"None",    "January",  "February", "March",  "April",
                                          "May",     "June",     "July",     "August", "September",
                                          "October", "November", "December"};

CLog::CLog()
    : bFlag(1), nConsoleLevel(2), nFileLevel(2), pLogFile(nullptr), pConsoleStream(stderr) {
  PlatLockInitPlain(&csLog);  // each operation takes it once; the writing helpers require it
}

CLog::~CLog() {
  if (pLogFile != nullptr) Close();
  PlatLockDelete(&csLog);
}

// The date and time come from one reading of the clock; the caller holds csLog.
void CLog::WriteBanner(const char* title, bool emptyLineAfter) {
  PlatLocalTime t;
  PlatGetLocalTime(&t);
  const char* day = t.dayOfWeek < 7 ? kDayNames[t.dayOfWeek] : "";
  const char* month = t.month < 13 ? kMonthNames[t.month] : "";
  fprintf(pLogFile, "\n#### %s log ####\n", title);
  fprintf(pLogFile, "# Date: %s %d %s %4d\n", day, t.day, month, t.year);
  fprintf(pLogFile, "# Time: %02d:%02d\n", t.hour, t.minute);
  fprintf(pLogFile, emptyLineAfter ? "#####################\n\n" : "#####################\n");
}

bool CLog::Open(const char* path) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  pLogFile = fopen(path, "a+");
  if (pLogFile == nullptr) return false;
  WriteBanner("Opening", true);
  return true;
}

bool CLog::Close() {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  if (pLogFile == nullptr) return false;
  WriteBanner("Closing", false);
  bool closed = fclose(pLogFile) == 0;
  pLogFile = nullptr;
  return closed;
}

// The pieces of a line are written and flushed in a fixed order: the time stamp to the file,
// the message to the file and to the console, then each line end with its flush.
//
// The message is formatted once into a fixed area and the same bytes go to both
// destinations (a message may hold zero bytes, from "%c", so it is written by its length);
// a format without conversions is its own message. A message too long for the area is
// formatted for each destination instead.
void CLog::WriteLine(bool toFile, bool toConsole, const char* format, va_list args) {
  toFile = toFile && pLogFile != nullptr;
  toConsole = toConsole && pConsoleStream != nullptr;
  if (!toFile && !toConsole) return;
  char area[1024];
  const char* message = format;
  int length;
  if (strchr(format, '%') == nullptr) {
    length = static_cast<int>(strlen(format));
  } else {
    va_list copy;
    va_copy(copy, args);
    length =
        vsnprintf(area, sizeof area, format, copy);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(copy);
    message = area;
    if (length < 0 || static_cast<size_t>(length) >= sizeof area) message = nullptr;
  }
  auto writeMessage = [&](FILE* stream) {
    if (message != nullptr) {
      fwrite(message, 1, static_cast<size_t>(length), stream);
    } else {
      va_list again;
      va_copy(again, args);
      vfprintf(stream, format, again);  // NOLINT(clang-analyzer-valist.Uninitialized)
      va_end(again);
    }
  };
  if (toFile) {
    PlatLocalTime t;
    PlatGetLocalTime(&t);
    fprintf(pLogFile, "[%02d:%02d:%02d]  ", t.hour, t.minute, t.second);
    fflush(pLogFile);
    writeMessage(pLogFile);
  }
  if (toConsole) writeMessage(pConsoleStream);
  if (toFile) {
    fputc('\n', pLogFile);
    fflush(pLogFile);
  }
  if (toConsole) {
    fputc('\n', pConsoleStream);
    fflush(pConsoleStream);
  }
}

void CLog::Printf(const char* format, ...) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  va_list args;
  va_start(args, format);
  WriteLine(true, true, format, args);
  va_end(args);
}

void CLog::PrintfLevel(int level, const char* format, ...) {
  RankedLockGuard guard(&csLog, LockRank::kLog);  // the levels are read under the line's lock
  va_list args;
  va_start(args, format);
  WriteLine(level <= nFileLevel, level <= nConsoleLevel, format, args);
  va_end(args);
}

void CLog::SetConsoleStream(FILE* stream) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  pConsoleStream = stream != nullptr ? stream : stderr;
}

void CLog::SetFlag(uint8_t flag) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  bFlag = flag;
}

void CLog::SetFileLevel(int level) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  nFileLevel = level;
}

void CLog::SetLevels(int consoleLevel, int fileLevel) {
  RankedLockGuard guard(&csLog, LockRank::kLog);
  nConsoleLevel = consoleLevel;
  nFileLevel = fileLevel;
}
