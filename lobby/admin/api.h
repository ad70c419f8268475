// The operator's HTTP API and console, on the admin listener. /healthz and /readyz are open
// (for load balancers); the console's files are open (they hold no lobby data); everything
// else needs the bearer token: /metrics, and the JSON API under /api/ that shows the lobby
// (with Redis, every server's players) and changes it: accounts, kicks, bans. Every change is
// written to the store's audit log with the caller's address. docs/lobby.md lists the calls.
#pragma once

#include <string>

#include "admin/http_listener.h"

namespace lobby {

class Server;

class AdminApi {
 public:
  AdminApi(Server& server, std::string token) : server_(server), token_(std::move(token)) {}
  void Handle(const HttpRequest& request, const asio::ip::address& peer, Respond respond);

 private:
  Server& server_;
  std::string token_;
};

}  // namespace lobby
