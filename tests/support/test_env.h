// What the tests need of their surroundings: a private working folder, the registry value
// that names Meetpoint's port, the debugger output, and files read back as text.
#pragma once

#include <string>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

// Makes a fresh folder under the system's temporary folder and makes it the current folder
// for the lifetime of the object; on Linux it also holds the private registry tree.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

// The registry value ClientPort under HKEY_LOCAL_MACHINE\Software\Brightmoor\Orvane.
void SetClientPortValue(const std::string& text);
void DeleteClientPortValue();
// Deletes the key, on Windows from both registry views.
void DeleteClientPortKey();
#ifdef _WIN32
// Writes the value into the registry view of the other width (a 64-bit test program writes
// under WOW6432Node).
void SetClientPortValueInOtherView(const std::string& text);
#endif

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

// Sends everything written to a standard stream (stdout or stderr) into a file while the
// object exists; Text() reads what has come so far.
class StreamCapture {
 public:
  explicit StreamCapture(FILE* stream);
  ~StreamCapture();
  std::string Text();

 private:
  FILE* stream_;
  int savedFd_;
  std::string path_;
};

// The whole file as text (line ends as the C runtime reads them); empty if it is missing.
std::string ReadTextFile(const std::string& path);
// The bytes of the file, unchanged.
std::string ReadBinaryFile(const std::string& path);
// Lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);
// The process's threads, and its open handles (Windows) or file descriptors (elsewhere).
int ThreadCount();
int HandleCount();
// Runs the program of that name from the test program's own folder with the arguments, its
// standard output and error sent nowhere, and returns its exit code (-1 when it could not be
// run, did not end within timeoutMs, or died of a signal).
int RunProgram(const std::string& name, const std::vector<std::string>& args, int timeoutMs);
// Polls cond every few milliseconds until it holds or timeoutMs passes.
bool WaitUntil(int timeoutMs, const std::function<bool()>& cond);
