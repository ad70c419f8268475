// meetpoint's link to a lobby server (docs/lobby.md), for --lobby: it connects (TLS, or plain
// TCP to a loopback address), says Hello, logs in, passes requests on and hands back what the
// server sends. When the server goes away it tries the next server of its list, with back-off
// from 250 ms up to 8 s (each pause drawn at random from its upper half, so that a crowd of
// meetpoints does not come back at once), and keeps the requests that wait meanwhile (at most
// 100). A server that is busy says when to come back, and the relay waits that long. When the
// player logs in elsewhere, the relay says so and stops: two meetpoints of one player would
// otherwise push each other out for ever. It runs on a thread of its own; the caller polls
// Take(). The connection itself, TLS or plain, is a LobbyStream (lobby_stream.h), whose TLS is
// the system's own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "lobby_stream.h"
#include "protocol.h"

namespace mp {

struct RelaySettings {
  std::vector<std::string> servers;  // HOST:PORT, tried in turn
  std::string player;
  std::string password;
  std::shared_ptr<LobbyTls> tls;  // null: plain TCP, allowed only to loopback addresses
};

struct RelayNews {
  std::string line;         // for the console, when not empty
  bool hasMessage = false;  // a message from the server for the game
  lobby::Message message;
};

class LobbyLink {
 public:
  explicit LobbyLink(const RelaySettings& settings);
  ~LobbyLink();
  LobbyLink(const LobbyLink&) = delete;
  LobbyLink& operator=(const LobbyLink&) = delete;
  // Sends now when logged in, else once logged in again. Any thread.
  void Send(const lobby::Message& message);
  // What happened since the last call. Any thread.
  std::vector<RelayNews> Take();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mp
