// Sockets on POSIX systems, with the Windows Sockets behaviours the library relies on: network
// events recorded per socket and signalled on its event, error codes in Windows numbering, a
// refused connect never writable, sends that never raise SIGPIPE, and a last clean-up that
// releases every socket.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/clock.h"
#include "platform/posix/socket_table.h"

using posix::Fail;
using posix::FailWithErrno;
using posix::SocketState;
using posix::WithSocket;

static sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

static int SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailWithErrno(errno);
  return 0;
}

uint32_t PlatLoopbackAddress() { return htonl(INADDR_LOOPBACK); }

int PlatSocketStartup() {
  std::lock_guard<std::mutex> guard(posix::gTableMutex);
  ++posix::gStartupCount;
  return 0;
}

int PlatSocketCleanup() {
  std::lock_guard<std::mutex> guard(posix::gTableMutex);
  if (posix::gStartupCount == 0) return Fail(PLAT_WSANOTINITIALISED);
  --posix::gStartupCount;
  if (posix::gStartupCount == 0) {
    // As Windows does at its last clean-up, release every socket still open.
    for (SocketState& st : posix::gSockets) {
      if (st.fd < 0) continue;
      close(st.fd);
      st = SocketState();
    }
  }
  return 0;
}

PlatSocket PlatSocketCreate() {
  std::lock_guard<std::mutex> guard(posix::gTableMutex);
  if (posix::gStartupCount == 0) {
    Fail(PLAT_WSANOTINITIALISED);
    return PLAT_INVALID_SOCKET;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    FailWithErrno(errno);
    return PLAT_INVALID_SOCKET;
  }
  if (posix::Add(fd) == nullptr) {
    close(fd);
    Fail(PLAT_WSAEMFILE);
    return PLAT_INVALID_SOCKET;
  }
  return static_cast<PlatSocket>(fd);
}

int PlatSocketBind(PlatSocket s, uint32_t address, uint16_t port) {
  return WithSocket(s, [&](SocketState& st) {
    sockaddr_in sa = MakeAddress(address, port);
    if (bind(st.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return FailWithErrno(errno);
    return 0;
  });
}

int PlatSocketEventSelect(PlatSocket s, PlatEvent event, uint32_t mask) {
  return WithSocket(s, [&](SocketState& st) {
    if (SetNonBlocking(st.fd) != 0) return PLAT_SOCKET_ERROR;
    st.event = event;
    st.mask = event != nullptr ? mask : 0;
    st.recorded = 0;
    st.readEnabled = true;
    st.acceptEnabled = true;
    posix::Refresh(st);
    return 0;
  });
}

int PlatSocketEnumEvents(PlatSocket s, uint32_t* events) {
  return WithSocket(s, [&](SocketState& st) {
    posix::Refresh(st);
    *events = st.recorded;
    st.recorded = 0;
    return 0;
  });
}

int PlatSocketConnect(PlatSocket s, uint32_t address, uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  int fd = -1;
  bool nonBlocking = false;
  int found = WithSocket(s, [&](SocketState& st) {
    fd = st.fd;
    nonBlocking = st.event != nullptr || (fcntl(st.fd, F_GETFL) & O_NONBLOCK) != 0;
    return 0;
  });
  if (found != 0) return found;
  // A blocking connect must not hold the table; a non-blocking one returns at once.
  int result = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int err = errno;
  return WithSocket(s, [&](SocketState& st) {
    if (result == 0) {
      st.connected = true;
      posix::Record(st, PLAT_FD_CONNECT);
      return 0;
    }
    if (!nonBlocking) return FailWithErrno(err);
    if (err == EINPROGRESS) {
      st.connecting = true;
    } else {
      // Windows reports even a refused attempt later, through the events and select().
      st.connectError = err;
      posix::Record(st, PLAT_FD_CONNECT);
    }
    return Fail(PLAT_WSAEWOULDBLOCK);
  });
}

int PlatSocketSelect(PlatSocket s, bool forWrite, uint32_t seconds, uint32_t microseconds) {
  int64_t deadline =
      posix::NowMs() + static_cast<int64_t>(seconds) * 1000 + (microseconds + 999) / 1000;
  for (;;) {
    int fd = -1;
    bool connecting = false;
    int found = WithSocket(s, [&](const SocketState& st) {
      // A failed connection is never writable: the wait runs out its time.
      fd = (forWrite && st.connectError != 0) ? -1 : st.fd;
      connecting = st.connecting;
      return 0;
    });
    if (found != 0) return found;
    if (fd < 0) {
      posix::SleepUntil(deadline);
      return 0;
    }
    pollfd p = {fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, posix::Remaining(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailWithErrno(errno);
    }
    if (n == 0) return 0;
    if (!(forWrite && connecting)) return 1;
    int connected = WithSocket(s, [](SocketState& st) {
      if (st.connecting) posix::FinishConnect(st);
      return st.connected ? 1 : 0;
    });
    if (connected != 0) return connected;
  }
}

// 0 for a connected socket that may send, or the error that refuses a send.
static int SendRefusal(PlatSocket s) {
  return WithSocket(s, [](const SocketState& st) {
    if (!st.connected) return Fail(PLAT_WSAENOTCONN);
    if (st.shutDown) return Fail(PLAT_WSAESHUTDOWN);
    return 0;
  });
}

// The send goes first and the table is consulted only when it fails, so that the common send
// doesn't pay for the table's lock: a socket of ours that isn't connected or was shut down
// can't take the bytes anyway, and a value that names no descriptor or no connected socket
// fails too. The table then gives the failure its Windows error, checked in the same order as
// before a send. As a handle does on Windows, a value that is a connected socket sends, even
// when the table doesn't know it or hasn't yet seen its connection made.
int PlatSocketSend(PlatSocket s, const void* data, int length) {
  // A value beyond the range of descriptors must not be cut down to one.
  int fd = s <= static_cast<PlatSocket>(INT_MAX) ? static_cast<int>(s) : -1;
  ssize_t n = send(fd, data, static_cast<size_t>(length < 0 ? 0 : length), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int err = errno;
  int refused = SendRefusal(s);
  if (refused != 0) return refused;
  return err == EPIPE ? Fail(PLAT_WSAECONNRESET) : FailWithErrno(err);
}

// The receive runs with the table held, as every close does, so that no close on another
// thread can come between the look-up and the receive: a receive never reaches a number that
// was closed meanwhile and may name another file by now. A receive therefore never waits (the
// library's sockets are non-blocking anyway, as their network events are selected).
int PlatSocketRecv(PlatSocket s, void* data, int length) {
  return WithSocket(s, [&](SocketState& st) {
    if (!st.connected) return Fail(PLAT_WSAENOTCONN);
    ssize_t n = recv(st.fd, data, static_cast<size_t>(length < 0 ? 0 : length), MSG_DONTWAIT);
    int err = errno;
    st.readEnabled = true;  // any receive re-enables FD_READ, as on Windows
    if (n < 0) return FailWithErrno(err);
    return static_cast<int>(n);
  });
}

int PlatSocketShutdown(PlatSocket s) {
  return WithSocket(s, [](SocketState& st) {
    if (!st.connected) return Fail(PLAT_WSAENOTCONN);
    if (shutdown(st.fd, SHUT_RDWR) != 0) return FailWithErrno(errno);
    st.shutDown = true;
    return 0;
  });
}

int PlatSocketClose(PlatSocket s) {
  return WithSocket(s, [](SocketState& st) {
    close(st.fd);
    st = SocketState();
    return 0;
  });
}

int PlatSocketListen(PlatSocket s, int backlog) {
  return WithSocket(s, [&](SocketState& st) {
    if (listen(st.fd, backlog) != 0) return FailWithErrno(errno);
    st.listening = true;
    st.acceptEnabled = true;
    posix::Refresh(st);
    return 0;
  });
}

PlatSocket PlatSocketAccept(PlatSocket s, uint32_t* peerAddress) {
  int listenFd = -1;
  if (WithSocket(s, [&](SocketState& st) {
        listenFd = st.fd;
        return 0;
      }) != 0) {
    return PLAT_INVALID_SOCKET;
  }
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  // A non-blocking listening socket makes this return at once when nothing is pending.
  int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  int err = errno;
  *peerAddress = sa.sin_addr.s_addr;
  std::lock_guard<std::mutex> guard(posix::gTableMutex);
  SocketState* listening = posix::Find(s);
  if (listening != nullptr) listening->acceptEnabled = true;  // any accept re-enables FD_ACCEPT
  if (fd < 0) {
    FailWithErrno(err);
    return PLAT_INVALID_SOCKET;
  }
  SocketState* accepted = posix::Add(fd);
  if (accepted == nullptr) {
    close(fd);
    Fail(PLAT_WSAEMFILE);
    return PLAT_INVALID_SOCKET;
  }
  accepted->connected = true;
  if (listening != nullptr && listening->event != nullptr) {
    // The accepted socket inherits the listening socket's event selection.
    SetNonBlocking(fd);
    accepted->event = listening->event;
    accepted->mask = listening->mask;
    posix::Refresh(*accepted);
  }
  return static_cast<PlatSocket>(fd);
}
