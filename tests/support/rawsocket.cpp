#include "rawsocket.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef int socklen_t;
#define CLOSE_SOCKET closesocket
typedef SOCKET Native;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#define CLOSE_SOCKET close
typedef int Native;
#endif

static Native N(intptr_t handle) { return static_cast<Native>(handle); }

void RawSocketStartup() {
#ifdef _WIN32
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
#endif
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

static sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// Waits for readability or writability; true when ready within timeoutMs.
static bool WaitReady(intptr_t handle, bool forWrite, int timeoutMs) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(N(handle), &set);
  timeval tv;
  tv.tv_sec = timeoutMs / 1000;
  tv.tv_usec = (timeoutMs % 1000) * 1000;
  int n = select(static_cast<int>(handle) + 1, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                 nullptr, &tv);
  return n > 0;
}

RawSocket RawSocket::Listen(uint16_t port, int backlog) {
  RawSocketStartup();
  intptr_t s = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, 0));
  int one = 1;
  setsockopt(N(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in sa = Loopback(port);
  if (bind(N(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(N(s), backlog) != 0) {
    CLOSE_SOCKET(N(s));
    return RawSocket();
  }
  return RawSocket(s);
}

RawSocket RawSocket::Connect(uint16_t port, const char* fromAddress) {
  RawSocketStartup();
  intptr_t s = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, 0));
  if (*fromAddress != '\0') {
    sockaddr_in local = Loopback(0);
    local.sin_addr.s_addr = inet_addr(fromAddress);
    if (bind(N(s), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      CLOSE_SOCKET(N(s));
      return RawSocket();
    }
  }
  sockaddr_in sa = Loopback(port);
  if (connect(N(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    CLOSE_SOCKET(N(s));
    return RawSocket();
  }
  return RawSocket(s);
}

uint16_t RawSocket::Port() const {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (getsockname(N(handle_), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

RawSocket RawSocket::Accept(int timeoutMs) const {
  if (!WaitReady(handle_, false, timeoutMs)) return RawSocket();
  intptr_t s = static_cast<intptr_t>(accept(N(handle_), nullptr, nullptr));
  if (s == static_cast<intptr_t>(static_cast<Native>(-1))) return RawSocket();
  return RawSocket(s);
}

bool RawSocket::SendAll(intptr_t handle, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
#ifdef _WIN32
    int n = send(N(handle), p, static_cast<int>(size), 0);
#else
    ssize_t n = send(N(handle), p, size, MSG_NOSIGNAL);
#endif
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

Bytes RawSocket::ReceiveSome(int timeoutMs, bool* closed) const {
  if (closed != nullptr) *closed = false;
  if (!WaitReady(handle_, false, timeoutMs)) return Bytes();
  Bytes buffer(65536);
  int n = static_cast<int>(recv(N(handle_), reinterpret_cast<char*>(buffer.data()), 65536, 0));
  if (n <= 0) {
    if (closed != nullptr) *closed = true;
    return Bytes();
  }
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

bool RawSocket::WaitPeerClosed(int timeoutMs) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    bool closed = false;
    ReceiveSome(50, &closed);
    if (closed) return true;
  }
  return false;
}

void RawSocket::ShutdownSending() const {
#ifdef _WIN32
  shutdown(N(handle_), SD_SEND);
#else
  shutdown(N(handle_), SHUT_WR);
#endif
}

void RawSocket::Close() {
  if (handle_ != -1) CLOSE_SOCKET(N(handle_));
  handle_ = -1;
}

void RawSocket::CloseAbortive() {
  if (handle_ == -1) return;
  linger l;
  l.l_onoff = 1;
  l.l_linger = 0;
  setsockopt(N(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  Close();
}

void RawSocket::SetSmallReceiveBuffer() const {
  int size = 1024;
  setsockopt(N(handle_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
}

Bytes Hex(const std::string& text) {
  Bytes out;
  if (!mp::ParseHex(text, &out)) abort();  // a typing error in a test
  return out;
}
