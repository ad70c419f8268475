#include "event_floor.h"

#include "measure.h"

#include "native_socket.h"

EventFloor::EventFloor(FloorLog& log, Wait wait) : log_(log) {
  RawSocket listener = RawSocket::Listen();
  sender_ = RawSocket::Connect(listener.Port());
  receiver_ = listener.Accept(5000);
  intptr_t handle = receiver_.Handle();
  thread_ = std::thread([this, handle, wait] {
    if (wait == Wait::kSocketAndSecondObject) {
      WaitOnTwoObjects(handle);
    } else {
      while (Take(handle)) {
      }
    }
  });
}

EventFloor::~EventFloor() {
  sender_.Close();  // the receiving thread sees the end of the stream
  thread_.join();
}

bool EventFloor::Take(intptr_t handle) {
  uint8_t area[4096];
  int n = static_cast<int>(recv(N(handle), reinterpret_cast<char*>(area), sizeof area, 0));
  if (n <= 0) return false;
  log_.Line("MP -> New game vote");
  arrivedNs = NowNs();
  arrived.Post();
  return true;
}

void EventFloor::WaitOnTwoObjects(intptr_t handle) {
#ifdef _WIN32
  HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                      CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  WSAEventSelect(N(handle), events[0], FD_READ | FD_CLOSE);
  while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
    WSANETWORKEVENTS happened;
    if (WSAEnumNetworkEvents(N(handle), nullptr, &happened) != 0) break;
    if (happened.lNetworkEvents & FD_CLOSE) break;
    if ((happened.lNetworkEvents & FD_READ) && !Take(handle)) break;
  }
  CloseHandle(events[0]);
  CloseHandle(events[1]);
#else
  int never[2];
  if (pipe(never) != 0) return;
  for (;;) {
    pollfd watched[2] = {{N(handle), POLLIN, 0}, {never[0], POLLIN, 0}};
    if (poll(watched, 2, -1) <= 0 || watched[1].revents != 0 || !Take(handle)) break;
  }
  close(never[0]);
  close(never[1]);
#endif
}
