#include "test_env.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#ifdef _WIN32
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
  impl_->path = FreshTempPath("rallylink-debug-");
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

Bytes Hex(const std::string& text) {
  Bytes out;
  if (!mp::ParseHex(text, &out)) abort();  // a typing error in a test
  return out;
}
