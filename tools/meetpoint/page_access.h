// Who may use the player's page: the rules every HTTP request to it passes before anything
// else is done. The page listens on loopback only, but any web site the player visits can
// make the browser send requests there, and a site whose name resolves to 127.0.0.1 (DNS
// rebinding) would even see the answers. So a request must name the page's own host and port
// (Host), carry the token of this run (in the query or a header), and, when it opens a
// WebSocket or would change anything, come from the page's own origin (Origin).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mp {

// The header that may carry the token instead of the query.
const char kTokenHeader[] = "X-Page-Token";

struct PageAccess {
  std::string token;
  std::vector<std::string> hosts;  // "127.0.0.1:8080", "localhost:8080": what Host may say
};

// One request, as far as the rules look at it.
struct PageRequest {
  std::string method;
  std::string target;  // "/app.js?token=..."
  std::string host;
  std::string origin;       // empty: the header was not sent
  std::string tokenHeader;  // empty: the header was not sent
  bool upgrade = false;     // asks for a WebSocket
};

struct PageVerdict {
  int status = 200;    // 200: served; else the HTTP status of the refusal
  std::string reason;  // why it was refused, for the answer's body
  std::string path;    // the path asked for, without the query
};

// The access rules of the page, for a host and port it listens on, with a fresh token.
PageAccess MakePageAccess(const std::string& host, uint16_t port, const std::string& token);
PageVerdict CheckPageRequest(const PageAccess& access, const PageRequest& request);
// An IPv4 address in 127.0.0.0/8 or ::1, written as an address.
bool IsLoopbackHost(const std::string& host);
// The token, 32 hex digits from the system's random source; empty when there is none.
std::string NewPageToken();

}  // namespace mp
