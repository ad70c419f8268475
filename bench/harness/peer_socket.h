// A peer's loopback sockets, for the programs that drive the library from outside: meetpoint's
// own OS layer, written apart from the library's TCP code and its platform layer so that the
// tests and benchmarks don't share their faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "message.h"
#include "os.h"

using Bytes = mp::Bytes;

class RawSocket {
 public:
  RawSocket() = default;
  explicit RawSocket(intptr_t handle, uint16_t port = 0) : handle_(handle), port_(port) {}
  ~RawSocket() { Close(); }
  RawSocket(RawSocket&& other) noexcept { *this = std::move(other); }
  RawSocket& operator=(RawSocket&& other) noexcept;
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  // A listening socket on 127.0.0.1 (port 0: any); Port() tells which.
  static RawSocket Listen(uint16_t port = 0);
  // A blocking connection to 127.0.0.1:port; invalid on failure. fromAddress (dotted, such as
  // "127.0.0.2") chooses the local address; empty lets the system choose.
  static RawSocket Connect(uint16_t port, const char* fromAddress = "");

  bool Valid() const { return handle_ != mp::kNoSocket; }
  intptr_t Handle() const { return handle_; }
  uint16_t Port() const { return port_; }
  // Accepts one connection, waiting at most timeoutMs; invalid on time-out.
  RawSocket Accept(int timeoutMs) const;
  // Sends all bytes; false on failure.
  bool SendAll(const void* data, size_t size) const { return SendAll(handle_, data, size); }
  bool SendAll(const Bytes& bytes) const { return SendAll(handle_, bytes.data(), bytes.size()); }
  static bool SendAll(intptr_t handle, const void* data, size_t size) {
    return mp::SendAll(handle, static_cast<const uint8_t*>(data), size);
  }
  // Waits at most timeoutMs for data; returns what one receive gave, empty on time-out.
  // *closed is set when the peer closed or the connection failed.
  Bytes ReceiveSome(int timeoutMs, bool* closed) const;
  // True when the peer has closed (or reset) the connection within timeoutMs.
  bool WaitPeerClosed(int timeoutMs) const;
  // Ends the sending direction: the peer reads what was sent, then the end of the stream.
  void ShutdownSending() const { mp::ShutdownSending(handle_); }
  // Graceful close; an abortive close sends a reset instead of the usual end.
  void Close() { Close(false); }
  void CloseAbortive() { Close(true); }

 private:
  void Close(bool abortive);
  intptr_t handle_ = mp::kNoSocket;
  uint16_t port_ = 0;
};
