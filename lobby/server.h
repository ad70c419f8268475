// The lobby's rules: who may do what, what each request changes in the store, and which
// players hear of it. Events go out through the store's bus, so that with a shared store the
// players of every server hear them; each server hands them to its own logged-in players.
// Everything runs on the one event-loop thread, except password checks, which take a pool.
#pragma once

#include "net.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "rate_limits.h"
#include "protocol.h"
#include "session.h"
#include "store.h"

namespace lobby {

struct ServerSettings {
  std::string name = "rallylobby";
  LimitSettings limits;
  uint32_t votingFlags = 1;
  bool quiet = false;  // no line per connection, login and refusal
};

class Server {
 public:
  Server(asio::io_context& io, Store& store, ServerSettings settings);
  ~Server();
  void Add(const std::shared_ptr<Session>& session);
  void Remove(Session& session, const std::string& why);
  void Handle(const std::shared_ptr<Session>& session, const Message& message);
  void Log(const Session& session, const std::string& what);
  const ServerSettings& Settings() const { return settings_; }

 private:
  void Login(const std::shared_ptr<Session>& session, const Message& message);
  void LoggedIn(const std::shared_ptr<Session>& session, const std::string& name);
  // Refuses (not-member) unless the player is one of the instance's members.
  bool Member(Session& session, uint8_t request, uint32_t giid, std::vector<std::string>* members);
  bool StoreFailed(Session& session, uint8_t request, bool ok, const std::string& error);
  void Publish(Session& session, uint8_t request, const Bytes& event);
  void Deliver(const Bytes& event);

  asio::io_context& io_;
  Store& store_;
  ServerSettings settings_;
  std::string dummyHash_;  // checked for unknown players, so that they take as long
  uint64_t nonce_;         // tells this server's kick events from other servers'
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
  std::multimap<std::string, uint64_t> byName_;
  asio::thread_pool hashing_{2};
};

}  // namespace lobby
