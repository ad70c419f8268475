// meetpoint's link to a lobby server (docs/lobby.md), for --lobby: it connects (TLS, or plain
// TCP to a loopback address), says Hello, logs in, passes requests on and hands back what the
// server sends. When the server goes away it tries the next server of its list, with back-off
// from 250 ms up to 8 s (each pause drawn at random from its upper half, so that a crowd of
// meetpoints does not come back at once), and keeps the requests that wait meanwhile (at most
// 100). A server that is busy says when to come back, and the relay waits that long. When the
// player logs in elsewhere, the relay says so and stops: two meetpoints of one player would
// otherwise push each other out for ever. Started without a player, it connects, says Hello
// and waits for SignIn (the player's page signs in or signs up); a sign-in that the server
// refuses is dropped, and the connection, which the server closes when nobody signs in for a
// while, is made again by the next SignIn. It runs on a thread of its own; the caller polls
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
  std::string player;                // empty: wait for SignIn
  std::string password;
  std::shared_ptr<LobbyTls> tls;  // null: plain TCP, allowed only to loopback addresses
};

struct RelayNews {
  std::string line;         // for the console, when not empty
  bool hasMessage = false;  // a message from the server: for the game, or its page
  lobby::Message message;
  // The link's new state, when it changed: "connected" (waiting for a sign-in), "online",
  // "lost" (trying again), "idle" (not connected until the next sign-in) or "stopped"; why
  // says why it was lost or stopped.
  std::string link;
  std::string why;
};

class LobbyLink {
 public:
  explicit LobbyLink(const RelaySettings& settings);
  ~LobbyLink();
  LobbyLink(const LobbyLink&) = delete;
  LobbyLink& operator=(const LobbyLink&) = delete;
  // Sends now when logged in, else once logged in again. Any thread.
  void Send(const lobby::Message& message);
  // Sends now when logged in, else not at all (questions whose answer would be stale).
  void Ask(const lobby::Message& message);
  // Logs in as the player (create: makes the account first, with Register); afterwards the
  // relay logs in again as that player whenever it reconnects. Any thread.
  void SignIn(const std::string& player, const std::string& password, bool create);
  // What happened since the last call. Any thread.
  std::vector<RelayNews> Take();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mp
