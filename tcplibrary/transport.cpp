#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tcplibrary/tcplibrary.h"
#include "tcplibrary/wire.h"

PlatSocket sktServer = PLAT_INVALID_SOCKET;

void TcpPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
  va_end(args);
  fflush(stdout);
}

void TcpForgetSocket() { sktServer = PLAT_INVALID_SOCKET; }

int TcpStartup() { return PlatSocketStartup() == 0 ? 1 : 0; }

PlatEvent TcpCreateSocket(uint16_t port) {
  sktServer = PlatSocketCreate();
  if (sktServer == PLAT_INVALID_SOCKET) {
    TcpPrint("sktServer was assigned an invalid socket...%d\n", PlatSocketLastError());
    return nullptr;
  }
  if (PlatSocketBind(sktServer, PlatLoopbackAddress(), port) == PLAT_SOCKET_ERROR) {
    TcpPrint("Bind failed...%d\n", PlatSocketLastError());
    return nullptr;
  }
  PlatEvent event = PlatEventCreate();
  if (event == nullptr) {
    TcpPrint("Failed to create socket event: %d\n", PlatSocketLastError());
    return nullptr;
  }
  if (PlatSocketEventSelect(sktServer, event, kNetworkEventMask) == PLAT_SOCKET_ERROR) {
    TcpPrint("Error setting WSA accept event signalling: %d\n", PlatSocketLastError());
    return nullptr;
  }
  return event;
}

int TcpConnect(uint32_t address, uint16_t port) {
  // The socket is non-blocking: connect only starts the connection, select sees it made.
  PlatSocketConnect(sktServer, address, port);
  int ready = PlatSocketSelect(sktServer, true, kTcpWaitSeconds, 0);
  if (ready == PLAT_SOCKET_ERROR) {
    TcpPrint("Error connecting to remote process: %d\n", PlatSocketLastError());
    return 0;
  }
  if (ready == 0) {
    TcpPrint("Timed out connecting to remote process\n");
    return 0;
  }
  return 1;
}

int TcpConnectLoopback(uint16_t port) { return TcpConnect(PlatLoopbackAddress(), port); }

int TcpSendFrame(uint8_t* frame, uint32_t payloadLength) {
  if (payloadLength > kMaxFrameSize - kFrameHeaderSize) return 0;
  const uint32_t total = payloadLength + kFrameHeaderSize;
  PutU32(frame, total);

  int sent = PlatSocketSend(sktServer, frame, static_cast<int>(total));
  if (sent == PLAT_SOCKET_ERROR) return 0;
  while (static_cast<uint32_t>(sent) < total) {
    if (PlatSocketSelect(sktServer, true, kTcpWaitSeconds, 0) <= 0) return 0;
    int n = PlatSocketSend(sktServer, frame + sent, static_cast<int>(total) - sent);
    if (n == PLAT_SOCKET_ERROR) return 0;
    sent += n;
  }
  return 1;
}

int TcpSendMessage(const void* payload, uint32_t length) {
  if (length > kMaxFrameSize - kFrameHeaderSize) return 0;
  uint8_t frame[kMaxFrameSize];
  if (length > 0) memcpy(frame + kFrameHeaderSize, payload, length);
  return TcpSendFrame(frame, length);
}

int TcpReceiveFrame(uint8_t* area, uint32_t maximum, int* firstCount) {
  if (maximum > kMaxFrameSize) maximum = kMaxFrameSize;
  int n = PlatSocketRecv(sktServer, area, static_cast<int>(maximum));
  if (firstCount != nullptr) *firstCount = n;
  if (n <= 0) return -1;
  uint32_t have = static_cast<uint32_t>(n);
  // Until all 4 bytes of the length field are there, the total is unknown: wait for them as
  // for the rest of a frame.
  while (have < kFrameHeaderSize || have < GetU32(area)) {
    if (PlatSocketSelect(sktServer, false, kTcpWaitSeconds, 0) <= 0) return -1;
    n = PlatSocketRecv(sktServer, area + have, static_cast<int>(maximum - have));
    if (n <= 0) return -1;  // the peer closed, the receive failed, or the area is full
    have += static_cast<uint32_t>(n);
  }
  if (GetU32(area) <= kFrameHeaderSize) return -1;  // a length below 5 leaves no type byte
  return static_cast<int>(have);
}

int TcpReceiveMessage(void* destination, uint32_t maximum, uint32_t* payloadLength) {
  uint8_t area[kMaxFrameSize];
  if (payloadLength != nullptr) *payloadLength = 0;
  int have = TcpReceiveFrame(area, maximum, nullptr);
  if (have < 0) return 0;
  // Everything behind the length field goes to the caller, bytes of a following frame that
  // came with the same receives included; they are not kept for the next call.
  memcpy(destination, area + kFrameHeaderSize, static_cast<size_t>(have) - kFrameHeaderSize);
  if (payloadLength != nullptr) *payloadLength = GetU32(area) - kFrameHeaderSize;
  return static_cast<int>(static_cast<int8_t>(area[kFrameHeaderSize]));
}

uint32_t TcpGetNetworkEvents() {
  uint32_t events = 0;
  if (PlatSocketEnumEvents(sktServer, &events) == PLAT_SOCKET_ERROR) {
    TcpPrint("WSAEnum... failed %d\n", PlatSocketLastError());
    return 0;
  }
  return events;
}

uint32_t TcpTestNetworkEvent(uint32_t mask) {
  uint32_t events = 0;
  if (PlatSocketEnumEvents(sktServer, &events) == PLAT_SOCKET_ERROR) return 0;
  return events & mask;
}

int TcpClose() {
  if (PlatSocketShutdown(sktServer) == 0) return 1;
  // The shutdown failed: give the peer up to 50 pauses of 100 ms to close, then close.
  for (int pauses = 0; TcpTestNetworkEvent(PLAT_FD_CLOSE) == 0 && pauses < 50; ++pauses) {
    PlatSleep(100);
  }
  PlatSocketClose(sktServer);
  return 0;
}
