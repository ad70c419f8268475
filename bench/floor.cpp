#include "floor.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "frames.h"

#include "native_socket.h"

const char kLobbyFrom[] = "Player";
const char kLobbyText[] = "Anyone for a rematch on the northern track?";

FloorLog::FloorLog(const char* filePath, const char* consolePath)
    : file_(fopen(filePath, "a+")), console_(fopen(consolePath, "w")) {}

FloorLog::~FloorLog() {
  if (file_ != nullptr) fclose(file_);
  if (console_ != nullptr) fclose(console_);
}

// The stamp of the current second: the clock read as time() reads it (on Windows the system
// time, which is as coarse), the local time and its text only when the second has changed.
// The caller holds lock_.
const char* FloorLog::Stamp() {
  int hour, minute, second;
#ifdef _WIN32
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  auto at = static_cast<int64_t>(
      ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10000000u);
  if (at == stampSecond_) return stamp_;
  SYSTEMTIME t;
  GetLocalTime(&t);
  hour = t.wHour, minute = t.wMinute, second = t.wSecond;
#else
  time_t at = time(nullptr);
  if (at == stampSecond_) return stamp_;
  tm t;
  localtime_r(&at, &t);
  hour = t.tm_hour, minute = t.tm_min, second = t.tm_sec;
#endif
  stampSecond_ = at;
  stampLength_ = static_cast<size_t>(
      snprintf(stamp_, sizeof stamp_, "[%02d:%02d:%02d]  ", hour, minute, second));
  return stamp_;
}

void FloorLog::Line(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  // The benchmark's lines fit the area with their end.
  if (length < 0 || length >= static_cast<int>(sizeof line) - 2) return;
  line[length++] = '\n';
  std::lock_guard<std::mutex> guard(lock_);
  const char* stamp = Stamp();
#ifdef __GLIBC__
  // The file is the floor's own and lock_ guards it: the stream's lock is left out.
  fwrite_unlocked(stamp, 1, stampLength_, file_);
  fflush_unlocked(file_);
  fwrite_unlocked(line, 1, static_cast<size_t>(length), file_);
  fflush_unlocked(file_);
#else
  fwrite(stamp, 1, stampLength_, file_);
  fflush(file_);
  fwrite(line, 1, static_cast<size_t>(length), file_);
  fflush(file_);
#endif
  fwrite(line, 1, static_cast<size_t>(length), console_);
  fflush(console_);
}

FloorLink::FloorLink() {
  client_ = RawSocket::Connect(peer_.Port());
  peer_.Accept(5000);
#ifdef _WIN32
  u_long on = 1;
  ioctlsocket(N(client_.Handle()), FIONBIO, &on);
#else
  int fd = N(client_.Handle());
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
#endif
}

static bool WouldBlock() {
#ifdef _WIN32
  return WSAGetLastError() == WSAEWOULDBLOCK;
#else
  return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

static void WaitWritable(intptr_t handle) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(N(handle), &set);
  timeval tv = {5, 0};
  select(0, nullptr, &set, nullptr, &tv);
#else
  pollfd p = {N(handle), POLLOUT, 0};
  poll(&p, 1, 5000);
#endif
}

// A send that can't take the whole frame waits until the socket is writable and sends the rest.
void FloorLink::SendFrame(const uint8_t* payload, uint32_t length) {
  uint8_t frame[4096];
  uint32_t total = FrameInto(payload, length, frame);
  std::lock_guard<std::mutex> guard(sendLock_);
  const char* p = reinterpret_cast<const char*>(frame);
  for (int left = static_cast<int>(total); left > 0;) {
#ifdef _WIN32
    int n = send(N(client_.Handle()), p, left, 0);
#else
    int n = static_cast<int>(send(N(client_.Handle()), p, static_cast<size_t>(left), MSG_NOSIGNAL));
#endif
    if (n > 0) {
      p += n;
      left -= n;
    } else if (n < 0 && WouldBlock()) {
      WaitWritable(client_.Handle());
    } else {
      return;  // the connection is gone
    }
  }
}

void FloorSendVote(FloorLink& link, uint32_t giid, unsigned char vote) {
  link.log.Line("RLSendVote( GiID:%u , Vote:%d)", giid, vote);
  uint8_t message[6] = {0x08,
                        static_cast<uint8_t>(giid),
                        static_cast<uint8_t>(giid >> 8),
                        static_cast<uint8_t>(giid >> 16),
                        static_cast<uint8_t>(giid >> 24),
                        vote};
  link.SendFrame(message, sizeof message);
}

void FloorSendLobbyMessage(FloorLink& link, const char* from, const char* text) {
  link.log.Line("RLSendLobbyMessage( %s , %s )", from, text);
  uint8_t message[1 + 2 + 31 + 2 + 255];
  size_t s = strnlen(from, 31), t = strnlen(text, 255);
  uint8_t* p = message;
  *p++ = 0x05;
  *p++ = static_cast<uint8_t>(s);
  *p++ = static_cast<uint8_t>(s >> 8);
  memcpy(p, from, s);
  p += s;
  *p++ = static_cast<uint8_t>(t);
  *p++ = static_cast<uint8_t>(t >> 8);
  memcpy(p, text, t);
  p += t;
  link.SendFrame(message, static_cast<uint32_t>(p - message));
}
