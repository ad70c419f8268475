// The server side of the one socket: listen, then take one connection in its place.
#include "tcplibrary/tcplibrary.h"

int TcpListen() { return PlatSocketListen(sktServer, 1) == 0 ? 1 : 0; }

int TcpAccept() {
  PlatSocket listening = sktServer;
  uint32_t peer = 0;
  sktServer = PlatSocketAccept(listening, &peer);
  PlatSocketClose(listening);  // whatever accept gave: one listening socket, one connection
  if (sktServer == PLAT_INVALID_SOCKET) return 0;
  return peer == PlatLoopbackAddress() ? 1 : 0;
}
