// Events on POSIX systems, and the wait on two of them that also watches the sockets whose
// network events signal them.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"
#include "platform/posix/clock.h"
#include "platform/posix/socket_table.h"

namespace posix {

void Signal(PlatEventObject* event) {
  uint64_t one = 1;
  ssize_t n = write(event->fd, &one, sizeof one);
  (void)n;  // a full counter is still signalled
}

bool Consume(PlatEventObject* event) {
  uint64_t value;
  return read(event->fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

}  // namespace posix

PlatEvent PlatEventCreate() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    posix::SetLastError((errno == EMFILE || errno == ENFILE) ? posix::kErrorTooManyOpenFiles
                                                             : posix::kErrorNotEnoughMemory);
    return nullptr;
  }
  auto* event = new (std::nothrow) PlatEventObject;
  if (event == nullptr) {
    close(fd);
    posix::SetLastError(posix::kErrorNotEnoughMemory);
    return nullptr;
  }
  event->fd = fd;
  return event;
}

bool PlatEventSet(PlatEvent event) {
  if (event == nullptr) return false;
  posix::Signal(event);
  return true;
}

void PlatEventClose(PlatEvent event) {
  if (event == nullptr) return;
  {
    // Sockets selected for this event signal nothing any more.
    std::lock_guard<std::mutex> guard(posix::gTableMutex);
    for (posix::SocketState& st : posix::gSockets) {
      if (st.fd >= 0 && st.event == event) {
        st.event = nullptr;
        st.mask = 0;
      }
    }
  }
  close(event->fd);
  delete event;
}

int PlatWaitForEither(PlatEvent first, PlatEvent second, uint32_t timeoutMs) {
  if (first == nullptr || second == nullptr) return PLAT_WAIT_FAILED;
  int64_t deadline = posix::Deadline(timeoutMs, PLAT_INFINITE);
  pollfd fds[2 + posix::kMaxSockets];
  for (;;) {
    // One poll watches the two events and every socket whose network events signal one of
    // them, so that an idle wait makes one system call and a wake-up needs no other.
    nfds_t count = 2;
    fds[0] = {first->fd, POLLIN, 0};
    fds[1] = {second->fd, POLLIN, 0};
    {
      std::lock_guard<std::mutex> guard(posix::gTableMutex);
      for (posix::SocketState& st : posix::gSockets) {
        if (st.fd < 0 || (st.event != first && st.event != second)) continue;
        short interest = posix::Interest(st);
        if (interest != 0) fds[count++] = {st.fd, interest, 0};
      }
    }
    int n = poll(fds, count, posix::Remaining(deadline));
    if (n < 0) {
      if (errno != EINTR) return PLAT_WAIT_FAILED;
      continue;
    }
    // Network events for the first event are taken by this wait directly. The first event
    // wins when both are due; the second then stays signalled for the next wait.
    bool firstDue = false;
    if (n > 0) {
      std::lock_guard<std::mutex> guard(posix::gTableMutex);
      for (nfds_t i = 2; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        posix::SocketState* st = posix::Find(static_cast<PlatSocket>(fds[i].fd));
        if (st != nullptr && posix::RecordPolled(*st, fds[i].revents, first)) firstDue = true;
      }
    }
    if (fds[0].revents != 0 && posix::Consume(first)) firstDue = true;
    if (firstDue) return PLAT_WAIT_FIRST;
    if (fds[1].revents != 0 && posix::Consume(second)) return PLAT_WAIT_SECOND;
    if (n == 0 && deadline >= 0 && posix::Remaining(deadline) == 0) return PLAT_WAIT_TIMEOUT;
  }
}
