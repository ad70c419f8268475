// The TCP library: the one socket, its connection to Meetpoint on 127.0.0.1, and the
// length-prefixed frames sent and received on it. A frame is a little-endian u32 total length
// that counts its own 4 bytes, then the payload, whose first byte is the message type.
//
// Failures are printed on standard output with the Windows Sockets error code; nothing here
// logs or locks (callers serialise their sends).
#pragma once

#include <cstdint>

#include "platform/platform.h"

const uint32_t kMaxFrameSize = 4096;      // largest frame, length field included
const uint32_t kFrameHeaderSize = 4;      // the length field
const uint32_t kTcpWaitSeconds = 5;       // each wait for the connection, a send or a receive
const uint32_t kNetworkEventMask = 0x39;  // FD_READ | FD_ACCEPT | FD_CONNECT | FD_CLOSE

// The library's one socket; PLAT_INVALID_SOCKET until TcpCreateSocket.
extern PlatSocket sktServer;

// Sets sktServer back to PLAT_INVALID_SOCKET before a new start, so that nothing reaches the
// socket of a session that has ended.
void TcpForgetSocket();
// Starts Windows Sockets 2.2: 1 on success, 0 on failure.
int TcpStartup();
// Creates sktServer bound to 127.0.0.1:port (0: any) with its network events selected; returns
// the auto-reset event they signal, or null.
PlatEvent TcpCreateSocket(uint16_t port);
// Connects sktServer to 127.0.0.1:port within 5 s: 1 connected, 0 not.
int TcpConnectLoopback(uint16_t port);
// Sends one frame built in place: frame holds kFrameHeaderSize free bytes, into which the length
// field is written, and behind them the payload of payloadLength bytes. 1 when all of it went
// out, 0 when the frame would exceed 4096 bytes or a send or 5-second wait failed.
int TcpSendFrame(uint8_t* frame, uint32_t payloadLength);
// Sends one frame around a payload that has no room for the length field in front, as
// TcpSendFrame does, copying the payload first.
int TcpSendMessage(const void* payload, uint32_t length);
// Receives one frame of at most maximum bytes and copies what followed its length field to
// destination (room for maximum - 4 bytes). Returns the type byte as a signed value, 0 on
// failure; *payloadLength, when given, receives the frame's payload length (0 on failure).
int TcpReceiveMessage(void* destination, uint32_t maximum, uint32_t* payloadLength = nullptr);
// Network events recorded for sktServer since the last call (all are cleared); 0 on failure.
uint32_t TcpGetNetworkEvents();
// The recorded events that are in mask (all recorded events are cleared); 0 on failure.
uint32_t TcpTestNetworkEvent(uint32_t mask);
// Shuts the connection down: 1 (the socket stays open), or 0 after waiting up to 5 s for the
// peer's close and closing the socket.
int TcpClose();

// The server side and the general connect belong to the TCP library's described interface; the
// library itself never calls them (nor TcpReceiveToBuffer and its block queue, tcpbuffer.h).
// Connects sktServer to an IPv4 address (network order) and port within 5 s: 1 or 0.
int TcpConnect(uint32_t address, uint16_t port);
// Puts sktServer into the listening state with a backlog of 1: 1 or 0.
int TcpListen();
// Replaces the listening sktServer by one accepted connection and closes the listening socket:
// 1 when the peer is 127.0.0.1, else 0 (a foreign peer's connection stays in sktServer).
int TcpAccept();
// Receives one frame of at most limit bytes into ReceiveBuffer, with any bytes that followed it.
// *count receives what the first receive returned. Returns the type byte as a signed value, or
// 0 on failure.
int TcpReceiveToBuffer(uint32_t limit, uint32_t* count);

// Receives one whole frame into area (4096 bytes), reading at most maximum bytes. Returns the
// number of bytes received (the frame and anything that came with it), or -1 when the peer
// closed, a receive or 5-second wait failed, or the length field was below 5. *firstCount, when
// given, receives what the first receive returned.
int TcpReceiveFrame(uint8_t* area, uint32_t maximum, int* firstCount);
// Prints one failure line on standard output.
void TcpPrint(const char* format, ...) RL_PRINTF_FORMAT(1, 2);
