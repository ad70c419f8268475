// The platform layer: every system service the library uses, and nothing else.
//
// On Windows each function is a thin call of the real API. Elsewhere the functions give the
// library the behaviours that Windows shows, so that the code above this layer is the same on
// every platform: network-event bits and error codes keep their Windows Sockets values, a
// refused connect is never reported as writable, sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/attributes.h"

// ---------------------------------------------------------------------------------------------
// Critical sections. Recursive, like Windows critical sections: the owner may enter again.
// A lock made by PlatLockInitPlain is not: where no owner ever enters again it is cheaper on
// POSIX, and there an owner entering again would wait for itself for ever.

// Aligned to 8, what a critical section or a mutex needs: no more, because on 32-bit Windows
// the heap that new draws from gives only 8-byte alignment, and a session object holds a lock.
struct RL_CAPABILITY("mutex") PlatLock {
  alignas(8) unsigned char opaque[64];
};

// Makes the lock usable as a recursive lock. Call once before any other use.
void PlatLockInit(PlatLock* lock);
// Makes the lock usable as a plain lock, which its owner must not enter again (on Windows it
// is the same critical section as PlatLockInit makes). Call once before any other use.
void PlatLockInitPlain(PlatLock* lock);
// Releases what PlatLockInit allocated; the lock must not be held.
void PlatLockDelete(PlatLock* lock);
// Waits until the calling thread owns the lock (again, if it owns a recursive lock already).
void PlatLockEnter(PlatLock* lock) RL_ACQUIRE(lock);
// Takes the lock (again, if recursive) when no other thread owns it; false, without waiting,
// when one does (or, for a plain lock, when the calling thread does).
bool PlatLockTryEnter(PlatLock* lock) RL_TRY_ACQUIRE(true, lock);
// Gives up one level of ownership taken by PlatLockEnter or PlatLockTryEnter.
void PlatLockLeave(PlatLock* lock) RL_RELEASE(lock);

// Holds a lock for the lifetime of a scope.
class RL_SCOPED_CAPABILITY PlatLockGuard {
 public:
  explicit PlatLockGuard(PlatLock* lock) RL_ACQUIRE(lock) : lock_(lock) { PlatLockEnter(lock_); }
  ~PlatLockGuard() RL_RELEASE() { PlatLockLeave(lock_); }
  PlatLockGuard(const PlatLockGuard&) = delete;
  PlatLockGuard& operator=(const PlatLockGuard&) = delete;

 private:
  PlatLock* lock_;
};

// ---------------------------------------------------------------------------------------------
// Events: unnamed, automatic reset (a wait that reports an event also resets it).

typedef struct PlatEventObject* PlatEvent;

const uint32_t PLAT_INFINITE = 0xFFFFFFFFu;
const int PLAT_WAIT_FIRST = 0;      // the first event was signalled (it wins when both are)
const int PLAT_WAIT_SECOND = 1;     // the second event was signalled
const int PLAT_WAIT_TIMEOUT = 258;  // neither within the time limit
const int PLAT_WAIT_FAILED = -1;    // the wait itself failed

// Creates an event that is not signalled; null on failure, with the reason in
// PlatSocketLastError() (on Windows the two share one error slot).
PlatEvent PlatEventCreate();
// Signals the event; true on success.
bool PlatEventSet(PlatEvent event);
// Destroys the event. No thread may be waiting on it.
void PlatEventClose(PlatEvent event);
// Waits until one of the two events is signalled or the time (ms, or PLAT_INFINITE) runs out.
// Returns one of the PLAT_WAIT_ values (on Windows also any other WaitForMultipleObjects result).
int PlatWaitForEither(PlatEvent first, PlatEvent second, uint32_t timeoutMs);

// ---------------------------------------------------------------------------------------------
// Threads and time.

typedef struct PlatThreadObject* PlatThread;
const PlatThread PLAT_NO_THREAD = nullptr;

// Starts a thread running fn(arg) with the default stack size; PLAT_NO_THREAD on failure. The
// thread ends when fn returns; every thread started is joined once with PlatThreadJoin.
// While the thread may still run code of the module (DLL or shared object) that holds this
// layer, it holds a reference to that module, so that no unload unmaps the code under it. On
// Windows the thread lets go of it as it exits (FreeLibraryAndExitThread), which unloads the
// module if its other users have done so; elsewhere PlatThreadJoin lets go of it once the
// thread has ended, so a thread that is never joined keeps the module loaded for good.
PlatThread PlatThreadStart(void (*fn)(void*), void* arg);
// Waits up to timeoutMs (or PLAT_INFINITE) for the thread to end. When it has ended, and so
// runs no more code of the caller's module, its handle is released and the result is true; on
// time-out the handle stays valid and the result is false. keepModule keeps the thread's
// reference to the module (elsewhere than on Windows): for a join within the module's own
// unload at process exit, where letting go of it could unmap the code that is joining.
bool PlatThreadJoin(PlatThread thread, uint32_t timeoutMs, bool keepModule = false);
// A number that identifies the calling thread while it lives.
uint64_t PlatCurrentThreadId();
// Suspends the calling thread for at least the given number of milliseconds.
void PlatSleep(uint32_t ms);

struct PlatLocalTime {
  uint16_t year;
  uint16_t month;      // 1 = January
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// Reads the local wall-clock time. Elsewhere than on Windows the clock is the one that time()
// reads, which moves on with the system's clock tick, as Windows' own does.
void PlatGetLocalTime(PlatLocalTime* time);
// Reads the same clock; when its second differs from *second, stores the new second there
// (a count that goes up by one a second), fills *time with that second's local time and
// returns true. Otherwise returns false, having cost the reading of the clock alone: a caller
// that shows the time to the second keeps its text until this reports a new second.
bool PlatLocalTimeOnNewSecond(int64_t* second, PlatLocalTime* time);

// ---------------------------------------------------------------------------------------------
// Debugger output. On Windows OutputDebugStringA; elsewhere the text is appended to the file
// named by $RALLYLINK_DEBUG_OUTPUT, or dropped when that is not set (as with no debugger).

void PlatDebugOutput(const char* text);

// ---------------------------------------------------------------------------------------------
// Registry, read-only. Results are Windows error codes: 0 success, 2 not found, 234 more data.
// Elsewhere the key HKEY_LOCAL_MACHINE\A\B is the folder ROOT/HKEY_LOCAL_MACHINE/A/B, where ROOT
// is $RALLYLINK_REGISTRY_DIR (default /etc/rallylink/registry), and a value is a file in it.

typedef struct PlatRegKeyObject* PlatRegKey;

const long PLAT_ERROR_FILE_NOT_FOUND = 2;
const long PLAT_ERROR_MORE_DATA = 234;

// Opens a subkey of HKEY_LOCAL_MACHINE for reading values. On 64-bit Windows a key missing from
// the library's own registry view is looked for in the other one (32-bit or 64-bit); elsewhere
// there is one view.
long PlatRegOpenLocalMachineKey(const char* subkey, PlatRegKey* key);
// Reads a value's bytes into data. On entry *size is the room in data; on success it is the
// number of bytes stored, a terminating zero included. Data that doesn't fit with its zero
// gives PLAT_ERROR_MORE_DATA.
long PlatRegQueryValue(PlatRegKey key, const char* name, char* data, uint32_t* size);
// Closes a key opened by PlatRegOpenLocalMachineKey.
void PlatRegCloseKey(PlatRegKey key);
// Writes the system's text for an error code (at most size - 1 characters and a zero) and
// returns the number of characters written; 0 when the system has no text for it.
uint32_t PlatFormatSystemMessage(uint32_t code, char* buffer, uint32_t size);

// ---------------------------------------------------------------------------------------------
// Version information of a module file. Elsewhere the only file that has any is
// "rallylink.dll", whose version is the one compiled into the library.

// Size of the file's version information, 0 when it has none.
uint32_t PlatVersionInfoSize(const char* file);
// Reads the information into buffer (size bytes) and takes the four numbers of the file version
// from its fixed part; false when that can't be done or the fixed part is empty.
bool PlatReadFileVersion(const char* file, void* buffer, uint32_t size, uint16_t version[4]);

// ---------------------------------------------------------------------------------------------
// Sockets: IPv4 TCP with the Windows Sockets semantics. Addresses are in network byte order,
// ports in host order. Functions that return int give 0 (or a count) on success and
// PLAT_SOCKET_ERROR on failure, with the reason in PlatSocketLastError().

typedef uintptr_t PlatSocket;
const PlatSocket PLAT_INVALID_SOCKET = ~static_cast<PlatSocket>(0);
const int PLAT_SOCKET_ERROR = -1;

// Network events, with their Windows values on every platform.
const uint32_t PLAT_FD_READ = 0x01;
const uint32_t PLAT_FD_WRITE = 0x02;
const uint32_t PLAT_FD_OOB = 0x04;
const uint32_t PLAT_FD_ACCEPT = 0x08;
const uint32_t PLAT_FD_CONNECT = 0x10;
const uint32_t PLAT_FD_CLOSE = 0x20;

// Error codes, in Windows Sockets numbering on every platform.
const int PLAT_WSAEINTR = 10004;
const int PLAT_WSAEINVAL = 10022;
const int PLAT_WSAEMFILE = 10024;
const int PLAT_WSAEWOULDBLOCK = 10035;
const int PLAT_WSAENOTSOCK = 10038;
const int PLAT_WSAEADDRINUSE = 10048;
const int PLAT_WSAECONNRESET = 10054;
const int PLAT_WSAENOTCONN = 10057;
const int PLAT_WSAESHUTDOWN = 10058;
const int PLAT_WSAECONNREFUSED = 10061;
const int PLAT_WSANOTINITIALISED = 10093;

// 127.0.0.1 in network byte order.
uint32_t PlatLoopbackAddress();

// Starts the socket library (version 2.2); 0 on success, else an error code. Counted: each
// successful start needs one PlatSocketCleanup.
int PlatSocketStartup();
// Ends one start; the last one releases every socket still open.
int PlatSocketCleanup();
// Creates an IPv4 stream socket; PLAT_INVALID_SOCKET on failure.
PlatSocket PlatSocketCreate();
// Binds the local end to an address and port (0: the system chooses).
int PlatSocketBind(PlatSocket s, uint32_t address, uint16_t port);
// Makes the socket signal event for the network events in mask and makes it non-blocking.
// An event is recorded once and re-enabled by the call that consumes it (recv for FD_READ,
// accept for FD_ACCEPT); FD_CLOSE comes once, after the data that arrived before the peer's
// graceful close has been read (after an abortive close FD_READ and FD_CLOSE may come
// together). A socket accepted from a listening socket inherits its event and mask.
int PlatSocketEventSelect(PlatSocket s, PlatEvent event, uint32_t mask);
// Stores the recorded network events in *events and clears all of them.
int PlatSocketEnumEvents(PlatSocket s, uint32_t* events);
// Starts (non-blocking socket) or makes (blocking socket) a connection.
int PlatSocketConnect(PlatSocket s, uint32_t address, uint16_t port);
// select() on this one socket for readability or writability with a time limit: 1 ready,
// 0 timed out, PLAT_SOCKET_ERROR failed. A connection attempt that failed is never writable.
int PlatSocketSelect(PlatSocket s, bool forWrite, uint32_t seconds, uint32_t microseconds);
// Sends up to length bytes; the number taken, or PLAT_SOCKET_ERROR. Never raises SIGPIPE.
int PlatSocketSend(PlatSocket s, const void* data, int length);
// Receives up to length bytes; the number received, 0 when the peer closed, or
// PLAT_SOCKET_ERROR. Elsewhere than on Windows it never waits, not even on a blocking socket:
// it looks the socket up and receives in one hold of the socket table, so that it never
// reaches a socket that another thread closed meanwhile.
int PlatSocketRecv(PlatSocket s, void* data, int length);
// Shuts down both directions of the connection; the socket stays open.
int PlatSocketShutdown(PlatSocket s);
// Closes the socket.
int PlatSocketClose(PlatSocket s);
// Puts the socket into the listening state.
int PlatSocketListen(PlatSocket s, int backlog);
// Accepts one pending connection and stores the peer's address in *peerAddress;
// PLAT_INVALID_SOCKET when none could be accepted.
PlatSocket PlatSocketAccept(PlatSocket s, uint32_t* peerAddress);
// The error code of the calling thread's last failed socket call.
int PlatSocketLastError();
