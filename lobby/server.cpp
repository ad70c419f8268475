#include "server.h"

#include <cstdio>
#include <random>

#include "auth.h"

namespace lobby {

namespace {

// Events on the bus: a target, then the frame to send.
enum : uint8_t { kToAll = 0, kToPlayers = 1, kKick = 2 };

Bytes BusEvent(uint8_t target, const std::vector<std::string>& players, const Bytes& frame,
               uint64_t nonce = 0, uint64_t session = 0) {
  Bytes event(1, target);
  PutU32(&event, static_cast<uint32_t>(nonce >> 32));
  PutU32(&event, static_cast<uint32_t>(nonce));
  PutU32(&event, static_cast<uint32_t>(session));
  PutU32(&event, static_cast<uint32_t>(players.size()));
  for (const std::string& player : players) PutText(&event, player);
  event.insert(event.end(), frame.begin(), frame.end());
  return event;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (n == name) return true;
  }
  return false;
}

}  // namespace

Server::Server(asio::io_context& io, Store& store, ServerSettings settings)
    : io_(io), store_(store), settings_(std::move(settings)) {
  std::random_device random;
  nonce_ = (static_cast<uint64_t>(random()) << 32) | random();
  HashPassword("no such player", HashCost::kInteractive, &dummyHash_);
  store_.Subscribe(
      [this](const Bytes& event) { asio::post(io_, [this, event] { Deliver(event); }); });
}

Server::~Server() { hashing_.join(); }

void Server::Log(const Session& session, const std::string& what) {
  if (settings_.quiet) return;
  std::string who = session.player.empty() ? session.Peer() : session.player;
  printf("%s: %s\n", who.c_str(), what.c_str());
  fflush(stdout);
}

void Server::Add(const std::shared_ptr<Session>& session) {
  sessions_[session->Id()] = session;
  Log(*session, "connected");
  session->Start();
}

void Server::Remove(Session& session, const std::string& why) {
  Log(session, "gone (" + why + ")");
  auto range = byName_.equal_range(session.player);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == session.Id()) {
      byName_.erase(it);
      break;
    }
  }
  // The session may be inside one of its own handlers: let it go once they have returned.
  auto found = sessions_.find(session.Id());
  if (found == sessions_.end()) return;
  std::shared_ptr<Session> keep = found->second;
  sessions_.erase(found);
  asio::post(io_, [keep] {});
}

bool Server::StoreFailed(Session& session, uint8_t request, bool ok, const std::string& error) {
  if (ok) return false;
  session.Refuse("store-unavailable", request, error + "; try again later", false);
  return true;
}

void Server::Publish(Session& session, uint8_t request, const Bytes& event) {
  std::string error;
  StoreFailed(session, request, store_.Publish(event, &error), error);
}

bool Server::Member(Session& session, uint8_t request, uint32_t giid,
                    std::vector<std::string>* members) {
  std::string error;
  if (StoreFailed(session, request, store_.Members(giid, members, &error), error)) return false;
  if (Contains(*members, session.player)) return true;
  session.Refuse("not-member", request,
                 session.player + " is not in game instance " + std::to_string(giid), false);
  return false;
}

void Server::Handle(const std::shared_ptr<Session>& session, const Message& m) {
  using State = Session::State;
  const MessageLayout* layout = LayoutOf(m.type);
  if (!layout->fromClient) {
    return session->Refuse("unknown-message", m.type,
                           std::string(layout->name) + " goes from the server to meetpoint", false);
  }
  if (session->state == State::kNew && m.type != kHello) {
    return session->Refuse("hello-first", m.type, "the first message must be a Hello", true);
  }
  switch (m.type) {
    case kHello:
      if (session->state != State::kNew) {
        return session->Refuse("hello-once", m.type, "Hello comes once, first", false);
      }
      if (m.num(0) != kMagic || m.num(1) != kVersion) {
        return session->Refuse("version", m.type,
                               "this server speaks version " + std::to_string(kVersion) +
                                   " with magic RLLB; got version " + std::to_string(m.num(1)),
                               true);
      }
      session->state = State::kGreeted;
      session->Send(Message(kWelcome).Num(kVersion).Text(settings_.name));
      return;
    case kLogin:
      return Login(session, m);
    case kPing:
      return session->Send(Message(kPong).Num(m.num(0)));
    default:
      break;
  }
  if (session->state != State::kIn) {
    return session->Refuse("login-first", m.type, "log in before anything else", false);
  }
  const std::string& me = session->player;
  std::string error;
  std::vector<std::string> members;
  switch (m.type) {
    case kChat:
      return Publish(
          *session, m.type,
          BusEvent(kToAll, {}, EncodeFrame(Message(kChatLine).Text(me).Text(m.text(0)))));
    case kStartInstance: {
      uint32_t giid = 0;
      if (StoreFailed(*session, m.type, store_.NewInstance(me, &giid, &error), error)) return;
      Log(*session, "started game instance " + std::to_string(giid));
      return Publish(
          *session, m.type,
          BusEvent(kToAll, {},
                   EncodeFrame(Message(kInstance).Num(giid).Num(settings_.votingFlags).Text(me))));
    }
    case kJoin: {
      bool joined = false;
      if (StoreFailed(*session, m.type, store_.Join(m.num(0), me, &joined, &error), error)) return;
      return session->Send(Message(kJoinResult).Num(m.num(0)).Num(joined ? 1 : 0));
    }
    case kVote:
      if (!Member(*session, m.type, m.num(0), &members)) return;
      return Publish(
          *session, m.type,
          BusEvent(kToPlayers, members,
                   EncodeFrame(Message(kVoteCast).Num(m.num(0)).Num(m.num(1)).Text(me))));
    case kResults: {
      if (!Member(*session, m.type, m.num(0), &members)) return;
      Outcome outcome;
      if (StoreFailed(*session, m.type,
                      store_.Finish(m.num(0), m.num(1), m.text(2), &outcome, &error), error))
        return;
      Bytes frame = EncodeFrame(
          Message(kFinalResults).Num(m.num(0)).Num(outcome.vote).Records(outcome.players));
      // Fresh results go to every member; later senders get the same results back.
      if (!outcome.fresh) return session->SendFrame(frame);
      Log(*session, "finished game instance " + std::to_string(m.num(0)));
      return Publish(*session, m.type, BusEvent(kToPlayers, members, frame));
    }
    case kAccuse:
      if (!Member(*session, m.type, m.num(0), &members)) return;
      if (!Contains(members, m.text(1)) || m.text(1) == me) {
        return session->Refuse(
            "not-member", m.type,
            "only another member of game instance " + std::to_string(m.num(0)) + " can be accused",
            false);
      }
      StoreFailed(*session, m.type, store_.Accuse(m.num(0), me, m.text(1), &error), error);
      return;
    default:
      return;
  }
}

void Server::Login(const std::shared_ptr<Session>& session, const Message& m) {
  if (session->state == Session::State::kIn) {
    return session->Refuse("already-logged-in", m.type, "a connection logs in once", false);
  }
  if (session->state == Session::State::kLoggingIn) {
    return session->Refuse("login-pending", m.type, "wait for the answer to the last Login", false);
  }
  std::string hash;
  std::string error;
  if (StoreFailed(*session, m.type, store_.AccountHash(m.text(0), &hash, &error), error)) return;
  session->state = Session::State::kLoggingIn;
  std::string name = m.text(0);
  std::string password = m.text(1);
  if (hash.empty()) hash = dummyHash_;
  bool known = hash != dummyHash_;
  asio::post(hashing_, [this, session, name, password, hash, known] {
    bool ok = CheckPassword(password, hash) && known;
    asio::post(io_, [this, session, name, ok] {
      if (session->state != Session::State::kLoggingIn) return;  // closed meanwhile
      if (ok) return LoggedIn(session, name);
      session->state = Session::State::kGreeted;
      bool last = ++session->loginFailures >= settings_.limits.maxLoginFailures;
      session->Refuse("bad-login", kLogin, "wrong player name or password for " + name, last);
    });
  });
}

void Server::LoggedIn(const std::shared_ptr<Session>& session, const std::string& name) {
  uint32_t rating = kStartRating;
  std::string error;
  if (StoreFailed(*session, kLogin, store_.Rating(name, &rating, &error), error)) {
    session->state = Session::State::kGreeted;
    return;
  }
  session->state = Session::State::kIn;
  session->player = name;
  byName_.emplace(name, session->Id());
  Log(*session, "logged in, rating " + std::to_string(rating));
  session->Send(Message(kLoggedIn).Text(name).Num(rating));
  // One connection per player: an older one, on any server, is closed.
  Publish(*session, kLogin, BusEvent(kKick, {name}, {}, nonce_, session->Id()));
}

void Server::Deliver(const Bytes& event) {
  if (event.size() < 17) return;
  uint8_t target = event[0];
  uint64_t nonce = (static_cast<uint64_t>(GetU32(&event[1])) << 32) | GetU32(&event[5]);
  uint32_t except = GetU32(&event[9]);
  uint32_t count = GetU32(&event[13]);
  size_t at = 17;
  std::vector<std::string> players;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + 2 > event.size()) return;
    size_t length = event[at] | (event[at + 1] << 8);
    if (at + 2 + length > event.size()) return;
    players.emplace_back(reinterpret_cast<const char*>(&event[at + 2]), length);
    at += 2 + length;
  }
  Bytes frame(event.begin() + static_cast<std::ptrdiff_t>(at), event.end());
  // Sending may close a session (a slow reader), which leaves sessions_: choose first.
  std::vector<std::shared_ptr<Session>> chosen;
  if (target == kToAll) {
    for (auto& entry : sessions_) {
      if (entry.second->state == Session::State::kIn) chosen.push_back(entry.second);
    }
  }
  for (const std::string& player : players) {
    auto range = byName_.equal_range(player);
    for (auto it = range.first; it != range.second; ++it) {
      auto found = sessions_.find(it->second);
      if (found == sessions_.end()) continue;
      if (target == kKick && nonce == nonce_ && it->second == except) continue;
      chosen.push_back(found->second);
    }
  }
  for (const auto& session : chosen) {
    if (target == kKick) {
      session->Refuse("logged-in-elsewhere", 0,
                      session->player + " logged in on another connection", true);
    } else {
      session->SendFrame(frame);
    }
  }
}

}  // namespace lobby
