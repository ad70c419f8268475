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
    : bFlag(1),
      nConsoleLevel(2),
      nFileLevel(2),
      pLogFile(nullptr),
      pConsoleStream(stderr),
      nStampSecond(-1),
      szStamp(),
      nStampLength(0) {
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

// The pieces of a line are written and flushed in a fixed order: the time stamp to the file
// with a flush, then the line with its end to the file with a flush, and to the console with a
// flush. A destination that isn't there (no log file is open) is left out.
//
// A line is formatted once, with its line end, into an area on the caller's stack before csLog
// is taken, and the same bytes go to both destinations, written by their length. A line too
// long for the area is formatted for each destination instead, under the lock.

// The log file is only written with csLog held, so where the C library offers it (glibc) its
// writes and flushes leave out the stream's own lock. The console stream is the process's
// standard output, which others write too: it keeps the locking calls.
static void FileWrite(const void* data, size_t length, FILE* file) {
#ifdef __GLIBC__
  fwrite_unlocked(data, 1, length, file);
#else
  fwrite(data, 1, length, file);
#endif
}

static void FileFlush(FILE* file) {
#ifdef __GLIBC__
  fflush_unlocked(file);
#else
  fflush(file);
#endif
}

// The stamp's text is made again only when the clock's second has changed: within a second it
// is the same text.
void CLog::WriteStamp() {
  PlatLocalTime t;
  if (PlatLocalTimeOnNewSecond(&nStampSecond, &t)) {
    int length =
        snprintf(szStamp, sizeof szStamp, "[%02d:%02d:%02d]  ", t.hour, t.minute, t.second);
    nStampLength = length > 0 ? static_cast<size_t>(length) : 0;
  }
  FileWrite(szStamp, nStampLength, pLogFile);
  FileFlush(pLogFile);
}

void CLog::EndLine(bool toFile, bool toConsole) {
  if (toFile) {
    fputc('\n', pLogFile);
    fflush(pLogFile);
  }
  if (toConsole) {
    fputc('\n', pConsoleStream);
    fflush(pConsoleStream);
  }
}

void CLog::WriteLine(bool toFile, bool toConsole, const char* line, size_t length) {
  if (toFile && pLogFile != nullptr) {
    WriteStamp();
    FileWrite(line, length, pLogFile);
    FileFlush(pLogFile);
  }
  if (toConsole && pConsoleStream != nullptr) {
    fwrite(line, 1, length, pConsoleStream);
    fflush(pConsoleStream);
  }
}

void CLog::WriteLongLine(bool toFile, bool toConsole, const char* format, va_list args) {
  toFile = toFile && pLogFile != nullptr;
  toConsole = toConsole && pConsoleStream != nullptr;
  if (toFile) {
    WriteStamp();
    va_list copy;
    va_copy(copy, args);
    vfprintf(pLogFile, format, copy);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(copy);
  }
  if (toConsole) {
    va_list copy;
    va_copy(copy, args);
    vfprintf(pConsoleStream, format, copy);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(copy);
  }
  EndLine(toFile, toConsole);
}

void CLog::WriteLongText(const char* text, size_t length) {
  bool toFile = pLogFile != nullptr;
  bool toConsole = pConsoleStream != nullptr;
  if (toFile) {
    WriteStamp();
    fwrite(text, 1, length, pLogFile);
  }
  if (toConsole) fwrite(text, 1, length, pConsoleStream);
  EndLine(toFile, toConsole);
}

// The formatting area; a line that leaves no room in it for its line end is formatted for each
// destination.
static const size_t kLineArea = 1024;

// Whether vsnprintf's result is a whole line in the area, with room for its end behind it.
static bool FitsArea(int length) {
  return length >= 0 && static_cast<size_t>(length) < kLineArea - 1;
}

void CLog::Printf(const char* format, ...) {
  char area[kLineArea];
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
  int length = vsnprintf(area, sizeof area, format, args);
  va_end(args);
  if (FitsArea(length)) {
    area[length] = '\n';
    RankedLockGuard guard(&csLog, LockRank::kLog);
    WriteLine(true, true, area, static_cast<size_t>(length) + 1);
    return;
  }
  va_start(args, format);
  {
    RankedLockGuard guard(&csLog, LockRank::kLog);
    WriteLongLine(true, true, format, args);
  }
  va_end(args);
}

void CLog::Write(const char* text) {
  size_t length = strlen(text);
  if (length < kLineArea - 1) {
    char area[kLineArea];
    memcpy(area, text, length + 1);
    area[length] = '\n';
    RankedLockGuard guard(&csLog, LockRank::kLog);
    WriteLine(true, true, area, length + 1);
    return;
  }
  RankedLockGuard guard(&csLog, LockRank::kLog);
  WriteLongText(text, length);
}

// The levels are read under the line's lock.
void CLog::PrintfLevel(int level, const char* format, ...) {
  char area[kLineArea];
  va_list args;
  va_start(args, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above
  int length = vsnprintf(area, sizeof area, format, args);
  va_end(args);
  if (FitsArea(length)) {
    area[length] = '\n';
    RankedLockGuard guard(&csLog, LockRank::kLog);
    WriteLine(level <= nFileLevel, level <= nConsoleLevel, area, static_cast<size_t>(length) + 1);
    return;
  }
  va_start(args, format);
  {
    RankedLockGuard guard(&csLog, LockRank::kLog);
    WriteLongLine(level <= nFileLevel, level <= nConsoleLevel, format, args);
  }
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
