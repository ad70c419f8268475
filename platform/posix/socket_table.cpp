#include "platform/posix/socket_table.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace posix {

std::mutex gTableMutex;
SocketState gSockets[kMaxSockets];
int gStartupCount = 0;

SocketState* Find(PlatSocket s) {
  if (s == PLAT_INVALID_SOCKET) return nullptr;
  for (SocketState& st : gSockets) {
    if (st.fd >= 0 && static_cast<PlatSocket>(st.fd) == s) return &st;
  }
  return nullptr;
}

SocketState* Add(int fd) {
  for (SocketState& st : gSockets) {
    if (st.fd < 0) {
      st = SocketState();
      st.fd = fd;
      return &st;
    }
  }
  return nullptr;
}

bool Record(SocketState& st, uint32_t bits, const PlatEventObject* taken) {
  uint32_t fresh = bits & st.mask & ~st.recorded;
  st.recorded |= bits & st.mask;
  if (fresh == 0 || st.event == nullptr) return false;
  if (st.event == taken) return true;
  Signal(st.event);
  return false;
}

void FinishConnect(SocketState& st) {
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

short Interest(const SocketState& st) {
  if (st.event == nullptr || st.mask == 0) return 0;
  if (st.connecting) return POLLOUT;
  if (st.listening) return st.acceptEnabled ? POLLIN : 0;
  if (st.connected && st.readEnabled && !st.closeReported) return POLLIN | POLLRDHUP;
  return 0;
}

bool RecordPolled(SocketState& st, short revents, const PlatEventObject* taken) {
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

void Refresh(SocketState& st) {
  short interest = Interest(st);
  if (interest == 0) return;
  pollfd p = {st.fd, interest, 0};
  if (poll(&p, 1, 0) > 0) RecordPolled(st, p.revents);
}

}  // namespace posix
