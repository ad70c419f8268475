// What meetpoint needs of the operating system: loopback sockets, the registry value that
// tells a game where meetpoint listens, and the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mp {

using Socket = intptr_t;
const Socket kNoSocket = -1;

bool SocketStartup();
// A listening socket on 127.0.0.1 (port 0: a free one); *bound is the port it got.
Socket ListenLoopback(uint16_t port, uint16_t* bound, std::string* error);
// Accepts a waiting connection, with small writes sent at once (no coalescing).
Socket AcceptConnection(Socket listener);
// A blocking connection to 127.0.0.1:port from fromAddress (dotted; empty: any); kNoSocket on
// failure.
Socket ConnectLoopback(uint16_t port, const std::string& fromAddress);
// Ends the sending direction only: the peer reads what was sent, then the end of the stream.
void ShutdownSending(Socket socket);
// Waits at most timeoutMs until a or b (either may be kNoSocket) has something to read.
void WaitReadable(Socket a, Socket b, int timeoutMs, bool* aReady, bool* bReady);
// > 0: bytes received; 0: the peer closed; < 0: the connection failed (a reset, say).
long ReceiveSome(Socket socket, uint8_t* buffer, size_t size);
bool SendAll(Socket socket, const uint8_t* data, size_t size);
// A graceful close, or an abortive one that sends a reset.
void CloseSocket(Socket socket, bool abortive);

// Writes the port as decimal text into HKEY_LOCAL_MACHINE\Software\Brightmoor\Orvane, value
// ClientPort: the Windows registry, or on Linux the file of that name under the registry
// folder ($RALLYLINK_REGISTRY_DIR, else /etc/rallylink/registry). *where names what was written.
bool RegisterPort(uint16_t port, std::string* where, std::string* error);

// Fills out with bytes from the system's random source (for secrets); false when it fails.
bool RandomBytes(uint8_t* out, size_t size);

// Milliseconds of a steady clock.
int64_t NowMs();
// The wall-clock time, UTC, as 2024-05-01T12:00:00.123Z.
std::string UtcTimestamp();

}  // namespace mp
