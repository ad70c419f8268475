// The private state behind the POSIX sockets: every socket made by the platform layer has an
// entry that holds its Windows-style state, the event and mask of its event selection, the
// network events recorded for it and which of them are enabled again. The waits of events.cpp
// and the socket functions of sockets.cpp share it.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/event.h"

namespace posix {

struct SocketState {
  PlatEventObject* event = nullptr;
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

// Guards the table and the count of socket library starts.
extern std::mutex gTableMutex;
extern SocketState gSockets[kMaxSockets];
extern int gStartupCount;

// The table entry of a socket; null when the socket isn't one of ours. Caller holds the mutex.
SocketState* Find(PlatSocket s);
// A fresh entry for fd; null when the table is full. Caller holds the mutex.
SocketState* Add(int fd);

// Runs fn on the entry of s with the table locked; fails with WSAENOTSOCK when s isn't one of
// ours. fn returns the function's result.
template <typename F>
int WithSocket(PlatSocket s, F fn) {
  std::lock_guard<std::mutex> guard(gTableMutex);
  SocketState* st = Find(s);
  if (st == nullptr) return Fail(PLAT_WSAENOTSOCK);
  return fn(*st);
}

// The rest needs the mutex held.

// Records network events and signals the socket's event when any of them is new. A wait that
// is about to report `taken` itself passes it: that event is then not signalled (it would only
// be consumed at once) and the result tells the wait that it is due.
bool Record(SocketState& st, uint32_t bits, const PlatEventObject* taken = nullptr);
// Takes the outcome of a connection attempt that has ended.
void FinishConnect(SocketState& st);
// The poll() events that could make a network event of this socket due now.
short Interest(const SocketState& st);
// Records the network events that poll() results show. FD_READ needs data and waits for the
// receive that re-enables it; FD_CLOSE needs the data to have been read, unless the connection
// was reset. `taken` as for Record.
bool RecordPolled(SocketState& st, short revents, const PlatEventObject* taken = nullptr);
// Brings the recorded events of a socket up to date without waiting.
void Refresh(SocketState& st);

}  // namespace posix
