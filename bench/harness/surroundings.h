// What a program needs around the library to drive it from outside: a scratch folder that is
// the current folder, the registry value that names Meetpoint's port, a standard stream sent
// into a file, and files read back as text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A path under the system's temporary folder that no other call of this process has returned.
std::string FreshTempPath(const std::string& prefix);

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
// Writes the value into the registry view of the other width (a 64-bit program writes under
// WOW6432Node).
void SetClientPortValueInOtherView(const std::string& text);
#endif

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
