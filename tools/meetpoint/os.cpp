#include "os.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
typedef int socklen_t;
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mp {

#ifdef _WIN32
typedef SOCKET Native;
static int CloseNative(Native s) { return closesocket(s); }
static const int kSendFlags = 0;
#else
typedef int Native;
static int CloseNative(Native s) { return close(s); }
static const int kSendFlags = MSG_NOSIGNAL;
#endif

static Native N(Socket socket) { return static_cast<Native>(socket); }

bool SocketStartup() {
#ifdef _WIN32
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
  return true;
#endif
}

Socket ListenLoopback(uint16_t port, uint16_t* bound, std::string* error) {
  Native s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == static_cast<Native>(-1)) {
    *error = "no socket";
    return kNoSocket;
  }
#ifndef _WIN32
  int one = 1;  // a restarted meetpoint can take its port again at once
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t size = sizeof address;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    *error = "can't listen on 127.0.0.1 port " + std::to_string(port);
    CloseNative(s);
    return kNoSocket;
  }
  *bound = ntohs(address.sin_port);
  return static_cast<Socket>(s);
}

Socket AcceptConnection(Socket listener) {
  Native s = accept(N(listener), nullptr, nullptr);
  if (s == static_cast<Native>(-1)) return kNoSocket;
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  return static_cast<Socket>(s);
}

Socket ConnectLoopback(uint16_t port, const std::string& fromAddress) {
  Native s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == static_cast<Native>(-1)) return kNoSocket;
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  if (!fromAddress.empty()) {
    address.sin_addr.s_addr = inet_addr(fromAddress.c_str());
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      CloseNative(s);
      return kNoSocket;
    }
  }
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseNative(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

void ShutdownSending(Socket socket) {
#ifdef _WIN32
  shutdown(N(socket), SD_SEND);
#else
  shutdown(N(socket), SHUT_WR);
#endif
}

void WaitReadable(Socket a, Socket b, int timeoutMs, bool* aReady, bool* bReady) {
  fd_set set;
  FD_ZERO(&set);
  Native highest = 0;
  for (Socket s : {a, b}) {
    if (s == kNoSocket) continue;
    FD_SET(N(s), &set);
    if (N(s) > highest) highest = N(s);
  }
  timeval timeout;
  timeout.tv_sec = timeoutMs / 1000;
  timeout.tv_usec = (timeoutMs % 1000) * 1000;
  *aReady = *bReady = false;
  if (a == kNoSocket && b == kNoSocket) {
#ifdef _WIN32
    Sleep(static_cast<DWORD>(timeoutMs));  // Windows' select refuses empty sets
    return;
#endif
  }
  if (select(static_cast<int>(highest) + 1, &set, nullptr, nullptr, &timeout) <= 0) return;
  *aReady = a != kNoSocket && FD_ISSET(N(a), &set);
  *bReady = b != kNoSocket && FD_ISSET(N(b), &set);
}

long ReceiveSome(Socket socket, uint8_t* buffer, size_t size) {
  long n = recv(N(socket), reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
  return n < 0 ? -1 : n;
}

bool SendAll(Socket socket, const uint8_t* data, size_t size) {
  while (size > 0) {
    long n =
        send(N(socket), reinterpret_cast<const char*>(data), static_cast<int>(size), kSendFlags);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void CloseSocket(Socket socket, bool abortive) {
  if (abortive) {
    linger hard;
    hard.l_onoff = 1;
    hard.l_linger = 0;
    setsockopt(N(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  }
  CloseNative(N(socket));
}

bool RegisterPort(uint16_t port, std::string* where, std::string* error) {
  std::string text = std::to_string(port);
#ifdef _WIN32
  HKEY key;
  const char* subkey = "Software\\Brightmoor\\Orvane";
  *where = std::string("HKEY_LOCAL_MACHINE\\") + subkey + "\\ClientPort";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    *error = "can't open " + *where;
    return false;
  }
  LONG result =
      RegSetValueExA(key, "ClientPort", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) *error = "can't write " + *where;
  return result == ERROR_SUCCESS;
#else
  const char* root = getenv("RALLYLINK_REGISTRY_DIR");
  std::string path = (root != nullptr && *root != '\0') ? root : "/etc/rallylink/registry";
  for (const char* part : {"", "/HKEY_LOCAL_MACHINE", "/Software", "/Brightmoor", "/Orvane"}) {
    path += part;
    mkdir(path.c_str(), 0755);  // an existing folder is fine
  }
  path += "/ClientPort";
  *where = path;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(text.data(), 1, text.size(), file) != text.size()) {
    if (file != nullptr) fclose(file);
    *error = "can't write " + path + ": " + strerror(errno);
    return false;
  }
  return fclose(file) == 0;
#endif
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string UtcTimestamp() {
  using namespace std::chrono;
  int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  time_t seconds = static_cast<time_t>(ms / 1000);
  tm utc;
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(ms % 1000));
  return text;
}

}  // namespace mp
