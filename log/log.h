// The library's diagnostic log: one line goes to the log file with a time stamp and to the
// console stream without one. Banners with the date and time mark each opening and closing.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/attributes.h"
#include "platform/platform.h"

class CLog {
 public:
  CLog();
  ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Opens path for appending and writes the opening banner; false when it can't be opened.
  bool Open(const char* path) RL_EXCLUDES(csLog);
  // Writes the closing banner and closes the file; false when no file was open or the close
  // reported an error.
  bool Close() RL_EXCLUDES(csLog);
  // Writes one line to both destinations.
  void Printf(const char* format, ...) RL_PRINTF_FORMAT(2, 3) RL_EXCLUDES(csLog);
  // Writes a text as it is as one line to both destinations, as Printf("%s", text) does.
  void Write(const char* text) RL_EXCLUDES(csLog);
  // Writes one line to each destination whose level is at least the line's level.
  void PrintfLevel(int level, const char* format, ...) RL_PRINTF_FORMAT(3, 4) RL_EXCLUDES(csLog);
  // Sets the console stream; null restores the standard error stream.
  void SetConsoleStream(FILE* stream) RL_EXCLUDES(csLog);

  // The log's described interface also has setters for its flag and levels; nothing in the
  // library calls them.
  void SetFlag(uint8_t flag) RL_EXCLUDES(csLog);
  void SetFileLevel(int level) RL_EXCLUDES(csLog);
  void SetLevels(int consoleLevel, int fileLevel) RL_EXCLUDES(csLog);

 private:
  // A line of length bytes with its line end (it may hold zero bytes, from "%c") to the
  // destinations chosen.
  void WriteLine(bool toFile, bool toConsole, const char* line, size_t length) RL_REQUIRES(csLog);
  // A line too long for the formatting area, formatted for each destination instead.
  void WriteLongLine(bool toFile, bool toConsole, const char* format, va_list args)
      RL_REQUIRES(csLog);
  // A text too long for the formatting area, written as it is with its line end after it.
  void WriteLongText(const char* text, size_t length) RL_REQUIRES(csLog);
  void WriteStamp() RL_REQUIRES(csLog);
  void EndLine(bool toFile, bool toConsole) RL_REQUIRES(csLog);
  void WriteBanner(const char* title, bool emptyLineAfter) RL_REQUIRES(csLog);

  [[maybe_unused]] uint8_t bFlag RL_GUARDED_BY(csLog);  // kept for SetFlag; nothing reads it
  int nConsoleLevel RL_GUARDED_BY(csLog);
  int nFileLevel RL_GUARDED_BY(csLog);
  FILE* pLogFile RL_GUARDED_BY(csLog);
  FILE* pConsoleStream RL_GUARDED_BY(csLog);
  // The time stamp "[hh:mm:ss]  " of the clock's second nStampSecond, kept as text until the
  // clock shows another second.
  int64_t nStampSecond RL_GUARDED_BY(csLog);
  char szStamp[16] RL_GUARDED_BY(csLog);
  size_t nStampLength RL_GUARDED_BY(csLog);
  PlatLock csLog;
};

// The process-wide log; the first static object of the library.
extern CLog Log;
