// The platform layer on Windows: each function is a thin call of the system API.
#include "platform/platform.h"

#include <winsock2.h>
#include <windows.h>
#include <process.h>

#include <cstring>
#include <new>

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatLock::opaque), "PlatLock too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(PlatLock), "PlatLock under-aligned");

static CRITICAL_SECTION* CriticalSection(PlatLock* lock) {
  return reinterpret_cast<CRITICAL_SECTION*>(lock->opaque);
}

void PlatLockInit(PlatLock* lock) { InitializeCriticalSection(CriticalSection(lock)); }
// A critical section serves for both kinds: a plain lock is only a promise not to enter again.
void PlatLockInitPlain(PlatLock* lock) { InitializeCriticalSection(CriticalSection(lock)); }
void PlatLockDelete(PlatLock* lock) { DeleteCriticalSection(CriticalSection(lock)); }
// The annotations describe the contract; the analysis can't see through the system calls.
void PlatLockEnter(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS {
  EnterCriticalSection(CriticalSection(lock));
}
bool PlatLockTryEnter(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS {
  return TryEnterCriticalSection(CriticalSection(lock)) != 0;
}
void PlatLockLeave(PlatLock* lock) RL_NO_THREAD_SAFETY_ANALYSIS {
  LeaveCriticalSection(CriticalSection(lock));
}

// The platform's handle types are distinct types for the compiler; here each is a HANDLE.
static HANDLE Handle(PlatEvent event) { return reinterpret_cast<HANDLE>(event); }

PlatEvent PlatEventCreate() {
  return reinterpret_cast<PlatEvent>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}
bool PlatEventSet(PlatEvent event) { return SetEvent(Handle(event)) != 0; }
void PlatEventClose(PlatEvent event) { CloseHandle(Handle(event)); }

int PlatWaitForEither(PlatEvent first, PlatEvent second, uint32_t timeoutMs) {
  HANDLE handles[2] = {Handle(first), Handle(second)};
  DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  if (result == WAIT_FAILED) return PLAT_WAIT_FAILED;
  return static_cast<int>(result - WAIT_OBJECT_0);
}

namespace {
struct ThreadStart {
  void (*fn)(void*);
  void* arg;
  HMODULE module;  // the reference to this DLL that the thread holds; null if none was had
};

unsigned __stdcall ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.fn(start.arg);
  // Lets go of the DLL and exits without returning into it: if that was the last reference,
  // the DLL is unloaded here, after the thread has left its code.
  if (start.module != nullptr) FreeLibraryAndExitThread(start.module, 0);
  return 0;  // the C runtime's _endthreadex follows
}
}  // namespace

PlatThread PlatThreadStart(void (*fn)(void*), void* arg) {
  auto* start = new (std::nothrow) ThreadStart;
  if (start == nullptr) return PLAT_NO_THREAD;
  start->fn = fn;
  start->arg = arg;
  // Taken before the thread exists, so that no unload can come between its start and its hold.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ThreadTrampoline), &start->module)) {
    start->module = nullptr;
  }
  uintptr_t handle = _beginthreadex(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
  if (handle == 0) {
    if (start->module != nullptr) FreeLibrary(start->module);
    delete start;
    return PLAT_NO_THREAD;
  }
  return reinterpret_cast<PlatThread>(handle);  // NOLINT(performance-no-int-to-ptr)
}

// The thread lets go of the DLL itself, so keepModule changes nothing here.
bool PlatThreadJoin(PlatThread thread, uint32_t timeoutMs, bool) {
  HANDLE handle = reinterpret_cast<HANDLE>(thread);
  if (WaitForSingleObject(handle, timeoutMs) != WAIT_OBJECT_0) return false;
  CloseHandle(handle);
  return true;
}

uint64_t PlatCurrentThreadId() { return GetCurrentThreadId(); }
void PlatSleep(uint32_t ms) { Sleep(ms); }

static void FillLocalTime(const SYSTEMTIME& st, PlatLocalTime* time) {
  time->year = st.wYear;
  time->month = st.wMonth;
  time->dayOfWeek = st.wDayOfWeek;
  time->day = st.wDay;
  time->hour = st.wHour;
  time->minute = st.wMinute;
  time->second = st.wSecond;
  time->milliseconds = st.wMilliseconds;
}

void PlatGetLocalTime(PlatLocalTime* time) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FillLocalTime(st, time);
}

bool PlatLocalTimeOnNewSecond(int64_t* second, PlatLocalTime* time) {
  FILETIME now;  // 100-ns units of UTC
  GetSystemTimeAsFileTime(&now);
  int64_t s = static_cast<int64_t>(
      ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000000u);
  if (s == *second) return false;
  *second = s;
  // The same conversion as GetLocalTime's, of this reading.
  FILETIME localTime;
  SYSTEMTIME local;
  FileTimeToLocalFileTime(&now, &localTime);
  FileTimeToSystemTime(&localTime, &local);
  FillLocalTime(local, time);
  return true;
}

void PlatDebugOutput(const char* text) { OutputDebugStringA(text); }

// Meetpoint may be a program of the other width, whose key lives in the other registry view
// (WOW6432Node for a 32-bit one): the library's own view first, the other when it has no key.
long PlatRegOpenLocalMachineKey(const char* subkey, PlatRegKey* key) {
#ifdef _WIN64
  const REGSAM views[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
#else
  const REGSAM views[2] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
#endif
  HKEY hkey = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | views[0], &hkey);
  if (result == ERROR_FILE_NOT_FOUND) {
    result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE | views[1], &hkey);
  }
  *key = reinterpret_cast<PlatRegKey>(hkey);
  return result;
}

long PlatRegQueryValue(PlatRegKey key, const char* name, char* data, uint32_t* size) {
  DWORD cb = *size;
  LONG result =
      RegQueryValueExA(reinterpret_cast<HKEY>(key), name, nullptr, nullptr, (LPBYTE)data, &cb);
  *size = cb;
  return result;
}

void PlatRegCloseKey(PlatRegKey key) { RegCloseKey(reinterpret_cast<HKEY>(key)); }

uint32_t PlatFormatSystemMessage(uint32_t code, char* buffer, uint32_t size) {
  return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, size, nullptr);
}

uint32_t PlatVersionInfoSize(const char* file) {
  DWORD handle = 0;
  return GetFileVersionInfoSizeA(file, &handle);
}

bool PlatReadFileVersion(const char* file, void* buffer, uint32_t size, uint16_t version[4]) {
  if (!GetFileVersionInfoA(file, 0, size, buffer)) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(buffer, "\\", reinterpret_cast<void**>(&info), &length) || length == 0) {
    return false;
  }
  version[0] = HIWORD(info->dwFileVersionMS);
  version[1] = LOWORD(info->dwFileVersionMS);
  version[2] = HIWORD(info->dwFileVersionLS);
  version[3] = LOWORD(info->dwFileVersionLS);
  return true;
}

uint32_t PlatLoopbackAddress() { return htonl(INADDR_LOOPBACK); }

int PlatSocketStartup() {
  WSADATA data;
  std::memset(&data, 0, sizeof data);
  return WSAStartup(MAKEWORD(2, 2), &data);
}

int PlatSocketCleanup() { return WSACleanup(); }

PlatSocket PlatSocketCreate() { return socket(AF_INET, SOCK_STREAM, 0); }

static sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

int PlatSocketBind(PlatSocket s, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  return bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int PlatSocketEventSelect(PlatSocket s, PlatEvent event, uint32_t mask) {
  return WSAEventSelect(s, event, static_cast<long>(mask));
}

int PlatSocketEnumEvents(PlatSocket s, uint32_t* events) {
  WSANETWORKEVENTS ne;
  std::memset(&ne, 0, sizeof ne);
  int result = WSAEnumNetworkEvents(s, nullptr, &ne);
  if (result == 0) *events = static_cast<uint32_t>(ne.lNetworkEvents);
  return result;
}

int PlatSocketConnect(PlatSocket s, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  return connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int PlatSocketSelect(PlatSocket s, bool forWrite, uint32_t seconds, uint32_t microseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv;
  tv.tv_sec = static_cast<long>(seconds);
  tv.tv_usec = static_cast<long>(microseconds);
  return select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &tv);
}

int PlatSocketSend(PlatSocket s, const void* data, int length) {
  return send(s, static_cast<const char*>(data), length, 0);
}

int PlatSocketRecv(PlatSocket s, void* data, int length) {
  return recv(s, static_cast<char*>(data), length, 0);
}

int PlatSocketShutdown(PlatSocket s) { return shutdown(s, SD_BOTH); }
int PlatSocketClose(PlatSocket s) { return closesocket(s); }
int PlatSocketListen(PlatSocket s, int backlog) { return listen(s, backlog); }

PlatSocket PlatSocketAccept(PlatSocket s, uint32_t* peerAddress) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  int length = sizeof sa;
  SOCKET result = accept(s, reinterpret_cast<sockaddr*>(&sa), &length);
  *peerAddress = sa.sin_addr.s_addr;
  return result;
}

int PlatSocketLastError() { return WSAGetLastError(); }
