// The platform layer on POSIX systems (Linux). It reproduces what the library relies on from
// Windows: auto-reset events that a wait can watch two at a time, network events recorded per
// socket and signalled on the socket's event, Windows Sockets error numbers, a registry kept as
// a folder tree, and debugger output kept in a file.
#include "platform/platform.h"

#include "rallylink_version.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

// ---------------------------------------------------------------------------------------------
// Critical sections

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatLock::opaque), "PlatLock too small");
static_assert(alignof(pthread_mutex_t) <= alignof(PlatLock), "PlatLock under-aligned");

static pthread_mutex_t* Mutex(PlatLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->opaque);
}

void PlatLockInit(PlatLock* lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(Mutex(lock), &attr);
  pthread_mutexattr_destroy(&attr);
}

void PlatLockDelete(PlatLock* lock) { pthread_mutex_destroy(Mutex(lock)); }
void PlatLockEnter(PlatLock* lock) { pthread_mutex_lock(Mutex(lock)); }
void PlatLockLeave(PlatLock* lock) { pthread_mutex_unlock(Mutex(lock)); }

// ---------------------------------------------------------------------------------------------
// Time

static int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left before a deadline, as poll() takes them; -1 for no deadline.
static int Remaining(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

static int64_t Deadline(uint32_t timeoutMs) {
  return timeoutMs == PLAT_INFINITE ? -1 : NowMs() + timeoutMs;
}

static void SleepUntil(int64_t deadline) {
  int left;
  while ((left = Remaining(deadline)) > 0) poll(nullptr, 0, left);
}

void PlatSleep(uint32_t ms) { SleepUntil(NowMs() + ms); }

void PlatGetLocalTime(PlatLocalTime* time) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  time->year = static_cast<uint16_t>(local.tm_year + 1900);
  time->month = static_cast<uint16_t>(local.tm_mon + 1);
  time->dayOfWeek = static_cast<uint16_t>(local.tm_wday);
  time->day = static_cast<uint16_t>(local.tm_mday);
  time->hour = static_cast<uint16_t>(local.tm_hour);
  time->minute = static_cast<uint16_t>(local.tm_min);
  time->second = static_cast<uint16_t>(local.tm_sec);
  time->milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

// ---------------------------------------------------------------------------------------------
// Threads

namespace {
struct ThreadStart {
  void (*fn)(void*);
  void* arg;
};
}  // namespace

static void* ThreadTrampoline(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  start.fn(start.arg);
  return nullptr;
}

PlatThread PlatThreadStart(void (*fn)(void*), void* arg) {
  auto* start = new (std::nothrow) ThreadStart;
  if (start == nullptr) return PLAT_THREAD_FAILED;
  start->fn = fn;
  start->arg = arg;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, ThreadTrampoline, start) != 0) {
    delete start;
    return PLAT_THREAD_FAILED;
  }
  pthread_detach(thread);
  return static_cast<PlatThread>(thread);
}

void PlatThreadEnd() { pthread_exit(nullptr); }

uint64_t PlatCurrentThreadId() { return static_cast<uint64_t>(pthread_self()); }

// ---------------------------------------------------------------------------------------------
// Debugger output

void PlatDebugOutput(const char* text) {
  static std::mutex mutex;
  // The setting is read at each call so that it can be set after the library was loaded.
  const char* path = getenv("RALLYLINK_DEBUG_OUTPUT");  // NOLINT(concurrency-mt-unsafe)
  if (path == nullptr || *path == '\0') return;
  std::lock_guard<std::mutex> guard(mutex);
  FILE* f = fopen(path, "ab");
  if (f == nullptr) return;
  fputs(text, f);
  fclose(f);
}

// ---------------------------------------------------------------------------------------------
// Registry

static std::string RegistryKeyPath(const char* subkey) {
  const char* root = getenv("RALLYLINK_REGISTRY_DIR");  // NOLINT(concurrency-mt-unsafe)
  std::string path = (root != nullptr && *root != '\0') ? root : "/etc/rallylink/registry";
  path += "/HKEY_LOCAL_MACHINE/";
  for (const char* c = subkey; *c != '\0'; ++c) path += (*c == '\\') ? '/' : *c;
  return path;
}

long PlatRegOpenLocalMachineKey(const char* subkey, PlatRegKey* key) {
  *key = nullptr;
  std::string path = RegistryKeyPath(subkey);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PLAT_ERROR_FILE_NOT_FOUND;
  *key = new (std::nothrow) std::string(path);
  return *key != nullptr ? 0 : 14;  // ERROR_OUTOFMEMORY
}

long PlatRegQueryValue(PlatRegKey key, const char* name, char* data, uint32_t* size) {
  if (key == nullptr) return 6;  // ERROR_INVALID_HANDLE
  std::string path = *static_cast<std::string*>(key) + "/" + name;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PLAT_ERROR_FILE_NOT_FOUND;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return PLAT_ERROR_FILE_NOT_FOUND;
  }
  uint64_t needed = static_cast<uint64_t>(st.st_size) + 1;  // the data and its zero
  if (needed > *size) {
    close(fd);
    *size = needed > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(needed);
    return PLAT_ERROR_MORE_DATA;
  }
  size_t got = 0;
  while (got < needed - 1) {
    ssize_t n = read(fd, data + got, needed - 1 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  data[got] = '\0';
  *size = static_cast<uint32_t>(got + 1);
  return 0;
}

void PlatRegCloseKey(PlatRegKey key) { delete static_cast<std::string*>(key); }

uint32_t PlatFormatSystemMessage(uint32_t code, char* buffer, uint32_t size) {
  // The texts that Windows gives for the codes the registry read can meet.
  static const struct {
    uint32_t code;
    const char* text;
  } kMessages[] = {
      {2, "The system cannot find the file specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {14, "Not enough memory resources are available to complete this operation.\r\n"},
      {234, "More data is available.\r\n"},
  };
  if (size == 0) return 0;
  for (const auto& m : kMessages) {
    if (m.code != code) continue;
    size_t n = strlen(m.text);
    if (n > size - 1) n = size - 1;
    memcpy(buffer, m.text, n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Version information

uint32_t PlatVersionInfoSize(const char* file) {
  return strcasecmp(file, "rallylink.dll") == 0 ? 4 * sizeof(uint16_t) : 0;
}

bool PlatReadFileVersion(const char* file, void* buffer, uint32_t size, uint16_t version[4]) {
  if (PlatVersionInfoSize(file) == 0 || size < PlatVersionInfoSize(file)) return false;
  const uint16_t v[4] = {RALLYLINK_VERSION_MAJOR, RALLYLINK_VERSION_MINOR, RALLYLINK_VERSION_PATCH,
                         RALLYLINK_VERSION_TWEAK};
  memcpy(buffer, v, sizeof v);
  memcpy(version, v, sizeof v);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Events: an eventfd whose counter is the signalled state. Reading it resets it (automatic
// reset), and poll() can watch several of them together with sockets.

namespace {
struct Event {
  int fd;
};
}  // namespace

PlatEvent PlatEventCreate() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  auto* e = new (std::nothrow) Event;
  if (e == nullptr) {
    close(fd);
    return nullptr;
  }
  e->fd = fd;
  return e;
}

static void Signal(Event* e) {
  uint64_t one = 1;
  ssize_t n = write(e->fd, &one, sizeof one);
  (void)n;  // a full counter is still signalled
}

static bool Consume(Event* e) {
  uint64_t value;
  return read(e->fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool PlatEventSet(PlatEvent event) {
  if (event == nullptr) return false;
  Signal(static_cast<Event*>(event));
  return true;
}

// ---------------------------------------------------------------------------------------------
// Sockets. Every socket made here has an entry in a small table that holds its Windows-style
// state: the event and mask of its event selection, the recorded network events, and which
// of them are enabled again.

namespace {
struct SocketState {
  Event* event = nullptr;
  int fd = -1;
  int connectError = 0;  // errno of a connection attempt that failed
  uint32_t mask = 0;
  uint32_t recorded = 0;
  bool listening = false;
  bool connecting = false;
  bool connected = false;
  bool shutDown = false;
  bool readEnabled = true;
  bool acceptEnabled = true;
  bool closeReported = false;
};

const int kMaxSockets = 64;
SocketState gSockets[kMaxSockets];
std::mutex gSocketsMutex;  // guards gSockets and gStartupCount
int gStartupCount = 0;
thread_local int tLastError = 0;
}  // namespace

static int Fail(int wsaError) {
  tLastError = wsaError;
  return PLAT_SOCKET_ERROR;
}

// errno values in Windows Sockets numbering.
static int WsaError(int err) {
  static const struct {
    int err;
    int wsa;
  } kErrors[] = {
      {EINTR, PLAT_WSAEINTR},
      {EBADF, 10009},
      {EACCES, 10013},
      {EFAULT, 10014},
      {EINVAL, PLAT_WSAEINVAL},
      {EMFILE, PLAT_WSAEMFILE},
      {ENFILE, PLAT_WSAEMFILE},
      {EAGAIN, PLAT_WSAEWOULDBLOCK},
      {EINPROGRESS, PLAT_WSAEWOULDBLOCK},
      {EALREADY, 10037},
      {ENOTSOCK, PLAT_WSAENOTSOCK},
      {EMSGSIZE, 10040},
      {EOPNOTSUPP, 10045},
      {EAFNOSUPPORT, 10047},
      {EADDRINUSE, PLAT_WSAEADDRINUSE},
      {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ECONNABORTED, 10053},
      {ECONNRESET, PLAT_WSAECONNRESET},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, PLAT_WSAENOTCONN},
      {EPIPE, PLAT_WSAESHUTDOWN},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, PLAT_WSAECONNREFUSED},
      {EHOSTUNREACH, 10065},
  };
  for (const auto& e : kErrors) {
    if (e.err == err) return e.wsa;
  }
  return PLAT_WSAEINVAL;
}

// The table entry of a socket; null when the socket isn't one of ours. Caller holds the mutex.
static SocketState* Find(PlatSocket s) {
  if (s == PLAT_INVALID_SOCKET) return nullptr;
  for (SocketState& st : gSockets) {
    if (st.fd >= 0 && static_cast<PlatSocket>(st.fd) == s) return &st;
  }
  return nullptr;
}

static SocketState* Add(int fd) {
  for (SocketState& st : gSockets) {
    if (st.fd < 0) {
      st = SocketState();
      st.fd = fd;
      return &st;
    }
  }
  return nullptr;
}

// Records network events and signals the socket's event when any of them is new. A wait that
// is about to report `taken` itself passes it: that event is then not signalled (it would only
// be consumed at once) and the result tells the wait that it is due.
static bool Record(SocketState& st, uint32_t bits, const Event* taken = nullptr) {
  uint32_t fresh = bits & st.mask & ~st.recorded;
  st.recorded |= bits & st.mask;
  if (fresh == 0 || st.event == nullptr) return false;
  if (st.event == taken) return true;
  Signal(st.event);
  return false;
}

static void FinishConnect(SocketState& st) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(st.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  st.connecting = false;
  if (err == 0) {
    st.connected = true;
  } else {
    st.connectError = err;
  }
  Record(st, PLAT_FD_CONNECT);
}

// The poll() events that could make a network event of this socket due now.
static short Interest(const SocketState& st) {
  if (st.event == nullptr || st.mask == 0) return 0;
  if (st.connecting) return POLLOUT;
  if (st.listening) return st.acceptEnabled ? POLLIN : 0;
  if (st.connected && st.readEnabled && !st.closeReported) return POLLIN | POLLRDHUP;
  return 0;
}

// Records the network events that poll() results show. FD_READ needs data and waits for the
// receive that re-enables it; FD_CLOSE needs the data to have been read, unless the connection
// was reset. `taken` as for Record.
static bool RecordPolled(SocketState& st, short revents, const Event* taken = nullptr) {
  if (st.connecting) {
    if (revents & (POLLOUT | POLLERR | POLLHUP)) FinishConnect(st);
    return false;
  }
  if (st.listening) {
    if ((revents & POLLIN) && st.acceptEnabled) {
      st.acceptEnabled = false;
      return Record(st, PLAT_FD_ACCEPT, taken);
    }
    return false;
  }
  if (!st.connected || revents == 0) return false;
  // Readable without a sign of the peer's end means data; only then is a count needed.
  int available = 1;
  if (!(revents & POLLIN) || (revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    if (ioctl(st.fd, FIONREAD, &available) != 0) available = 0;
  }
  uint32_t bits = 0;
  if (available > 0 && st.readEnabled) {
    st.readEnabled = false;
    bits |= PLAT_FD_READ;
  }
  bool reset = (revents & POLLERR) != 0;
  bool ended = (revents & (POLLIN | POLLRDHUP | POLLHUP)) && available == 0;
  if ((reset || ended) && !st.closeReported) {
    st.closeReported = true;
    bits |= PLAT_FD_CLOSE;
  }
  return Record(st, bits, taken);
}

// Brings the recorded events of a socket up to date without waiting.
static void Refresh(SocketState& st) {
  short interest = Interest(st);
  if (interest == 0) return;
  pollfd p = {st.fd, interest, 0};
  if (poll(&p, 1, 0) > 0) RecordPolled(st, p.revents);
}

void PlatEventClose(PlatEvent event) {
  if (event == nullptr) return;
  Event* e = static_cast<Event*>(event);
  {
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    for (SocketState& st : gSockets) {
      if (st.fd >= 0 && st.event == e) {
        st.event = nullptr;
        st.mask = 0;
      }
    }
  }
  close(e->fd);
  delete e;
}

int PlatWaitForEither(PlatEvent first, PlatEvent second, uint32_t timeoutMs) {
  Event* events[2] = {static_cast<Event*>(first), static_cast<Event*>(second)};
  if (events[0] == nullptr || events[1] == nullptr) return PLAT_WAIT_FAILED;
  int64_t deadline = Deadline(timeoutMs);
  pollfd fds[2 + kMaxSockets];
  for (;;) {
    // One poll watches the two events and every socket whose network events signal one of
    // them, so that an idle wait makes one system call and a wake-up needs no other.
    nfds_t count = 2;
    fds[0] = {events[0]->fd, POLLIN, 0};
    fds[1] = {events[1]->fd, POLLIN, 0};
    {
      std::lock_guard<std::mutex> guard(gSocketsMutex);
      for (SocketState& st : gSockets) {
        if (st.fd < 0 || (st.event != events[0] && st.event != events[1])) continue;
        short interest = Interest(st);
        if (interest != 0) fds[count++] = {st.fd, interest, 0};
      }
    }
    int n = poll(fds, count, Remaining(deadline));
    if (n < 0) {
      if (errno != EINTR) return PLAT_WAIT_FAILED;
      continue;
    }
    // Network events for the first event are taken by this wait directly. The first event
    // wins when both are due; the second then stays signalled for the next wait.
    bool firstDue = false;
    if (n > 0) {
      std::lock_guard<std::mutex> guard(gSocketsMutex);
      for (nfds_t i = 2; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        SocketState* st = Find(static_cast<PlatSocket>(fds[i].fd));
        if (st != nullptr && RecordPolled(*st, fds[i].revents, events[0])) firstDue = true;
      }
    }
    if (fds[0].revents != 0 && Consume(events[0])) firstDue = true;
    if (firstDue) return PLAT_WAIT_FIRST;
    if (fds[1].revents != 0 && Consume(events[1])) return PLAT_WAIT_SECOND;
    if (n == 0 && deadline >= 0 && Remaining(deadline) == 0) return PLAT_WAIT_TIMEOUT;
  }
}

uint32_t PlatLoopbackAddress() { return htonl(INADDR_LOOPBACK); }

int PlatSocketStartup() {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  ++gStartupCount;
  return 0;
}

int PlatSocketCleanup() {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  if (gStartupCount == 0) return Fail(PLAT_WSANOTINITIALISED);
  if (--gStartupCount == 0) {
    // As Windows does at its last clean-up, release every socket still open.
    for (SocketState& st : gSockets) {
      if (st.fd < 0) continue;
      close(st.fd);
      st = SocketState();
    }
  }
  return 0;
}

PlatSocket PlatSocketCreate() {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  if (gStartupCount == 0) {
    Fail(PLAT_WSANOTINITIALISED);
    return PLAT_INVALID_SOCKET;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(WsaError(errno));
    return PLAT_INVALID_SOCKET;
  }
  if (Add(fd) == nullptr) {
    close(fd);
    Fail(PLAT_WSAEMFILE);
    return PLAT_INVALID_SOCKET;
  }
  return static_cast<PlatSocket>(fd);
}

static sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

int PlatSocketBind(PlatSocket s, uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  sockaddr_in sa = MakeAddress(address, port);
  if (bind(st->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Fail(WsaError(errno));
  return 0;
}

int PlatSocketEventSelect(PlatSocket s, PlatEvent event, uint32_t mask) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  int flags = fcntl(st->fd, F_GETFL);
  if (flags < 0 || fcntl(st->fd, F_SETFL, flags | O_NONBLOCK) != 0) return Fail(WsaError(errno));
  st->event = static_cast<Event*>(event);
  st->mask = event != nullptr ? mask : 0;
  st->recorded = 0;
  st->readEnabled = true;
  st->acceptEnabled = true;
  Refresh(*st);
  return 0;
}

int PlatSocketEnumEvents(PlatSocket s, uint32_t* events) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  Refresh(*st);
  *events = st->recorded;
  st->recorded = 0;
  return 0;
}

int PlatSocketConnect(PlatSocket s, uint32_t address, uint16_t port) {
  std::unique_lock<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  sockaddr_in sa = MakeAddress(address, port);
  bool nonBlocking = st->event != nullptr || (fcntl(st->fd, F_GETFL) & O_NONBLOCK) != 0;
  int fd = st->fd;
  if (!nonBlocking) guard.unlock();  // a blocking connect must not hold the table
  int result = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int err = errno;
  if (!nonBlocking) {
    guard.lock();
    st = Find(s);
    if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  }
  if (result == 0) {
    st->connected = true;
    Record(*st, PLAT_FD_CONNECT);
    return 0;
  }
  if (!nonBlocking) return Fail(WsaError(err));
  if (err == EINPROGRESS) {
    st->connecting = true;
  } else {
    // Windows reports even a refused attempt later, through the events and select().
    st->connectError = err;
    Record(*st, PLAT_FD_CONNECT);
  }
  return Fail(PLAT_WSAEWOULDBLOCK);
}

int PlatSocketSelect(PlatSocket s, bool forWrite, uint32_t seconds, uint32_t microseconds) {
  int64_t deadline = NowMs() + static_cast<int64_t>(seconds) * 1000 + (microseconds + 999) / 1000;
  for (;;) {
    int fd;
    bool connecting;
    {
      std::lock_guard<std::mutex> guard(gSocketsMutex);
      SocketState* st = Find(s);
      if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
      if (forWrite && st->connectError != 0) {
        fd = -1;  // a failed connection is never writable: the wait runs out its time
      } else {
        fd = st->fd;
      }
      connecting = st->connecting;
    }
    if (fd < 0) {
      SleepUntil(deadline);
      return 0;
    }
    pollfd p = {fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, Remaining(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(WsaError(errno));
    }
    if (n == 0) return 0;
    if (!(forWrite && connecting)) return 1;
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    SocketState* st = Find(s);
    if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
    if (st->connecting) FinishConnect(*st);
    if (st->connected) return 1;
  }
}

int PlatSocketSend(PlatSocket s, const void* data, int length) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    SocketState* st = Find(s);
    if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
    if (!st->connected) return Fail(PLAT_WSAENOTCONN);
    if (st->shutDown) return Fail(PLAT_WSAESHUTDOWN);
    fd = st->fd;
  }
  ssize_t n = send(fd, data, static_cast<size_t>(length < 0 ? 0 : length), MSG_NOSIGNAL);
  if (n < 0) return Fail(errno == EPIPE ? PLAT_WSAECONNRESET : WsaError(errno));
  return static_cast<int>(n);
}

int PlatSocketRecv(PlatSocket s, void* data, int length) {
  int fd;
  {
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    SocketState* st = Find(s);
    if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
    if (!st->connected) return Fail(PLAT_WSAENOTCONN);
    fd = st->fd;
  }
  ssize_t n = recv(fd, data, static_cast<size_t>(length < 0 ? 0 : length), 0);
  int err = errno;
  {
    // Any receive re-enables FD_READ, as on Windows.
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    SocketState* st = Find(s);
    if (st != nullptr) st->readEnabled = true;
  }
  if (n < 0) return Fail(WsaError(err));
  return static_cast<int>(n);
}

int PlatSocketShutdown(PlatSocket s) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  if (!st->connected) return Fail(PLAT_WSAENOTCONN);
  if (shutdown(st->fd, SHUT_RDWR) != 0) return Fail(WsaError(errno));
  st->shutDown = true;
  return 0;
}

int PlatSocketClose(PlatSocket s) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  close(st->fd);
  *st = SocketState();
  return 0;
}

int PlatSocketListen(PlatSocket s, int backlog) {
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  if (listen(st->fd, backlog) != 0) return Fail(WsaError(errno));
  st->listening = true;
  st->acceptEnabled = true;
  Refresh(*st);
  return 0;
}

PlatSocket PlatSocketAccept(PlatSocket s, uint32_t* peerAddress) {
  int listenFd;
  {
    std::lock_guard<std::mutex> guard(gSocketsMutex);
    SocketState* st = Find(s);
    if (st == nullptr) {
      Fail(PLAT_WSAENOTSOCK);
      return PLAT_INVALID_SOCKET;
    }
    listenFd = st->fd;
  }
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  // A non-blocking listening socket makes this return at once when nothing is pending.
  int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  int err = errno;
  *peerAddress = sa.sin_addr.s_addr;
  std::lock_guard<std::mutex> guard(gSocketsMutex);
  SocketState* st = Find(s);
  if (st != nullptr) st->acceptEnabled = true;  // any accept re-enables FD_ACCEPT
  if (fd < 0) {
    Fail(WsaError(err));
    return PLAT_INVALID_SOCKET;
  }
  SocketState* accepted = Add(fd);
  if (accepted == nullptr) {
    close(fd);
    Fail(PLAT_WSAEMFILE);
    return PLAT_INVALID_SOCKET;
  }
  accepted->connected = true;
  if (st != nullptr && st->event != nullptr) {
    // The accepted socket inherits the listening socket's event selection.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    accepted->event = st->event;
    accepted->mask = st->mask;
    Refresh(*accepted);
  }
  return static_cast<PlatSocket>(fd);
}

int PlatSocketLastError() { return tLastError; }
