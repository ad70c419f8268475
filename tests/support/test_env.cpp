#include "test_env.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <tlhelp32.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

// A path under the system's temporary folder that no other object of this process has used.
static fs::path FreshTempPath(const std::string& prefix) {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return fs::temp_directory_path() /
         (prefix + std::to_string(stamp) + "-" + std::to_string(++counter));
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

#ifdef _WIN32
// Listens to OutputDebugStringA the way a debug monitor does: through the shared DBWIN
// buffer and its two events. Plain Win32 threads and locks: the library writes its first
// lines while the loader lock is held, and the listener must not need it.
struct DebugOutputCapture::Impl {
  HANDLE ready = CreateEventA(nullptr, FALSE, TRUE, "DBWIN_BUFFER_READY");
  HANDLE data = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
  HANDLE map =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
  const char* view = static_cast<const char*>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, 4096));
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  CRITICAL_SECTION lock;
  char text[16384] = {0};
  size_t length = 0;
  HANDLE thread = nullptr;

  static DWORD WINAPI Listen(void* self) {
    Impl* impl = static_cast<Impl*>(self);
    HANDLE handles[2] = {impl->data, impl->stop};
    SetEvent(impl->started);
    while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) {
      EnterCriticalSection(&impl->lock);
      // The buffer is shared by every process of the wineserver or desktop, and a game run
      // by another test may write to it too: keep only this process's lines.
      DWORD writer = 0;
      memcpy(&writer, impl->view, sizeof writer);
      const char* message = impl->view + sizeof(DWORD);
      size_t n = writer == GetCurrentProcessId() ? strnlen(message, 4096 - sizeof(DWORD)) : 0;
      if (impl->length + n < sizeof impl->text) {
        memcpy(impl->text + impl->length, message, n);
        impl->length += n;
      }
      LeaveCriticalSection(&impl->lock);
      SetEvent(impl->ready);
    }
    return 0;
  }
  Impl() {
    InitializeCriticalSection(&lock);
    thread = CreateThread(nullptr, 0, Listen, this, 0, nullptr);
    // A thread that hasn't started yet can't start while a DLL is being loaded: wait for it.
    WaitForSingleObject(started, 5000);
  }
  ~Impl() {
    SetEvent(stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    DeleteCriticalSection(&lock);
    UnmapViewOfFile(view);
    for (HANDLE h : {map, data, ready, stop, started}) CloseHandle(h);
  }
};

DebugOutputCapture::DebugOutputCapture() : impl_(new Impl) {}
DebugOutputCapture::~DebugOutputCapture() { delete impl_; }
std::string DebugOutputCapture::Text() {
  EnterCriticalSection(&impl_->lock);
  std::string text(impl_->text, impl_->length);
  LeaveCriticalSection(&impl_->lock);
  return text;
}
#else
struct DebugOutputCapture::Impl {
  std::string path;
};

DebugOutputCapture::DebugOutputCapture() : impl_(new Impl) {
  impl_->path = FreshTempPath("rallylink-debug-").string();
  setenv("RALLYLINK_DEBUG_OUTPUT", impl_->path.c_str(), 1);
}

DebugOutputCapture::~DebugOutputCapture() {
  unsetenv("RALLYLINK_DEBUG_OUTPUT");
  std::error_code ec;
  fs::remove(impl_->path, ec);
  delete impl_;
}

std::string DebugOutputCapture::Text() { return ReadBinaryFile(impl_->path); }
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

#ifdef _WIN32
int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return n;
}

int HandleCount() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}
#else
static int EntriesIn(const char* folder) {
  std::error_code ec;
  int n = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

int ThreadCount() { return EntriesIn("/proc/self/task"); }
// The iterator's own descriptor is counted too, the same every time.
int HandleCount() { return EntriesIn("/proc/self/fd"); }
#endif

#ifdef _WIN32
int RunProgram(const std::string& name, const std::vector<std::string>& args, int timeoutMs) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path = (fs::path(std::string(self, n)).parent_path() / (name + ".exe")).string();
  std::string command = "\"" + path + "\"";
  for (const std::string& a : args) command += " " + a;
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE nul = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = nul;
  si.hStdError = nul;
  PROCESS_INFORMATION pi = {};
  BOOL started =
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(nul);
  if (!started) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, static_cast<UINT>(-1));
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
#else
int RunProgram(const std::string& name, const std::vector<std::string>& args, int timeoutMs) {
  std::string path = (fs::read_symlink("/proc/self/exe").parent_path() / name).string();
  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid;
  int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  bool ended = WaitUntil(timeoutMs, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

bool WaitUntil(int timeoutMs, const std::function<bool()>& cond) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

StreamCapture::StreamCapture(FILE* stream) : stream_(stream) {
  path_ = FreshTempPath("rallylink-stream-").string();
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
