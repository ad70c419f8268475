// The listening socket. Each connection goes to the server; a failed accept is logged (at most
// a line a second) and counted. When the process runs out of descriptors (EMFILE, ENFILE) or
// memory for sockets, accepting stops for a moment instead of spinning on the same error:
// the connections waiting in the kernel's queue stay there until descriptors are free again.
#pragma once

#include "net.h"

#include <cstdint>

#include "log.h"

namespace lobby {

class Server;

class Acceptor {
 public:
  // Throws like asio's acceptor when it can't listen there.
  Acceptor(asio::io_context& io, const asio::ip::tcp::endpoint& where, Server& server);
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  void Accept();
  uint64_t Failures() const { return failures_.Total(); }

 private:
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pause_;
  Server& server_;
  LogSampler failures_;
};

}  // namespace lobby
