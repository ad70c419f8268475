#include "surroundings.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

// A path under the system's temporary folder that no other call of this process has returned.
std::string FreshTempPath(const std::string& prefix) {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return (fs::temp_directory_path() /
          (prefix + std::to_string(stamp) + "-" + std::to_string(++counter)))
      .string();
}

ScratchDir::ScratchDir() {
  fs::path dir = FreshTempPath("rallylink-test-");
  fs::create_directories(dir);
  path_ = dir.string();
  previous_ = fs::current_path().string();
  fs::current_path(dir);
#ifndef _WIN32
  setenv("RALLYLINK_REGISTRY_DIR", (dir / "registry").string().c_str(), 1);
#endif
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  fs::remove_all(path_, ec);
}

#ifdef _WIN32
static const char kSubkey[] = "Software\\Brightmoor\\Orvane";

#ifdef _WIN64
static const REGSAM kOtherView = KEY_WOW64_32KEY;
#else
static const REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

static void SetValueInView(const std::string& text, REGSAM view) {
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSubkey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key, "ClientPort", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

void SetClientPortValue(const std::string& text) { SetValueInView(text, 0); }
void SetClientPortValueInOtherView(const std::string& text) { SetValueInView(text, kOtherView); }

void DeleteClientPortValue() {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubkey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, "ClientPort");
    RegCloseKey(key);
  }
}

void DeleteClientPortKey() {
  DeleteClientPortValue();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSubkey);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSubkey, kOtherView, 0);
}
#else
static fs::path KeyFolder() {
  return fs::path(getenv("RALLYLINK_REGISTRY_DIR")) / "HKEY_LOCAL_MACHINE" / "Software" /
         "Brightmoor" / "Orvane";
}

void SetClientPortValue(const std::string& text) {
  fs::create_directories(KeyFolder());
  std::ofstream(KeyFolder() / "ClientPort", std::ios::binary) << text;
}

void DeleteClientPortValue() {
  std::error_code ec;
  fs::remove(KeyFolder() / "ClientPort", ec);
}

void DeleteClientPortKey() {
  std::error_code ec;
  fs::remove_all(KeyFolder(), ec);
}
#endif

static std::string ReadFile(const std::string& path, std::ios::openmode mode) {
  std::stringstream ss;
  ss << std::ifstream(path, mode).rdbuf();
  return ss.str();
}

std::string ReadTextFile(const std::string& path) { return ReadFile(path, std::ios::in); }
std::string ReadBinaryFile(const std::string& path) { return ReadFile(path, std::ios::binary); }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

StreamCapture::StreamCapture(FILE* stream) : stream_(stream) {
  path_ = FreshTempPath("rallylink-stream-");
  fflush(stream_);
  savedFd_ = dup(fileno(stream_));
  FILE* target = fopen(path_.c_str(), "wb");
  dup2(fileno(target), fileno(stream_));
  fclose(target);
}

StreamCapture::~StreamCapture() {
  fflush(stream_);
  dup2(savedFd_, fileno(stream_));
  close(savedFd_);
  std::error_code ec;
  fs::remove(path_, ec);
}

std::string StreamCapture::Text() {
  fflush(stream_);
  std::string text = ReadBinaryFile(path_);
  // Line ends as a text stream reads them, on every platform.
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}
