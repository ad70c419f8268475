#include "peer_socket.h"

#include <chrono>

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    port_ = other.port_;
    other.handle_ = mp::kNoSocket;
  }
  return *this;
}

// Starts the system's socket library once for the process.
static void Startup() {
  static const bool started = mp::SocketStartup();
  (void)started;
}

RawSocket RawSocket::Connect(uint16_t port, const char* fromAddress) {
  Startup();
  return RawSocket(mp::ConnectLoopback(port, fromAddress));
}

RawSocket RawSocket::Listen(uint16_t port) {
  Startup();
  uint16_t bound = 0;
  std::string error;
  mp::Socket s = mp::ListenLoopback(port, &bound, &error);
  return RawSocket(s, bound);
}

RawSocket RawSocket::Accept(int timeoutMs) const {
  bool ready = false, unused = false;
  mp::WaitReadable(handle_, mp::kNoSocket, timeoutMs, &ready, &unused);
  return RawSocket(ready ? mp::AcceptConnection(handle_) : mp::kNoSocket);
}

Bytes RawSocket::ReceiveSome(int timeoutMs, bool* closed) const {
  if (closed != nullptr) *closed = false;
  bool ready = false, unused = false;
  mp::WaitReadable(handle_, mp::kNoSocket, timeoutMs, &ready, &unused);
  if (!ready) return Bytes();
  Bytes buffer(65536);
  long n = mp::ReceiveSome(handle_, buffer.data(), buffer.size());
  if (n <= 0 && closed != nullptr) *closed = true;
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

bool RawSocket::WaitPeerClosed(int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (bool closed = false; std::chrono::steady_clock::now() < deadline;) {
    ReceiveSome(50, &closed);
    if (closed) return true;
  }
  return false;
}

void RawSocket::Close(bool abortive) {
  if (handle_ != mp::kNoSocket) mp::CloseSocket(handle_, abortive);
  handle_ = mp::kNoSocket;
}
