// The floors of an event: a thread that receives each frame on a plain loopback connection,
// writes the one log line that the library writes for it and notes the time. It waits in one
// of two ways:
// - blocked in the receive: loopback latency plus the log line, and nothing else;
// - as the library's message thread must, for the socket or a second object (the exit
//   event): on Windows WaitForMultipleObjects on an auto-reset event that the socket signals
//   through WSAEventSelect and a second event, then WSAEnumNetworkEvents, then the receive;
//   on Linux one poll on the socket and a pipe, then the receive.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "floor.h"
#include "gate.h"
#include "message.h"
#include "peer_socket.h"

class EventFloor {
 public:
  enum class Wait { kReceive, kSocketAndSecondObject };
  EventFloor(FloorLog& log, Wait wait);
  ~EventFloor();
  EventFloor(const EventFloor&) = delete;
  EventFloor& operator=(const EventFloor&) = delete;
  bool Send(const mp::Bytes& frame) { return sender_.SendAll(frame); }

  // Posted once per frame, after arrivedNs is set.
  Gate arrived;
  std::atomic<int64_t> arrivedNs{0};

 private:
  bool Take(intptr_t handle);
  void WaitOnTwoObjects(intptr_t handle);

  FloorLog& log_;
  RawSocket sender_, receiver_;
  std::thread thread_;
};
