// The server's limits, and the counters that enforce them: a token bucket for a connection's
// message rate (and, separately, its chat), and strike counters for failed logins per address
// and per account, which let a few failures pass and then make each further try wait longer.
// The strike counter is keyed by any text, so that other per-address limits can use it too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace lobby {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Failures (strikes) under one key: `free` of them within `window` cost nothing; each one after
// that blocks the key for a pause that starts at `first` and doubles up to `longest`. A key
// with no strike for a whole window starts again from nothing. free 0: no limit.
struct StrikePolicy {
  uint32_t free = 0;
  std::chrono::seconds window{600};
  Ms first{1000};
  Ms longest{900000};
};

struct LimitSettings {
  // One connection.
  double messagesPerSecond = 50;  // sustained
  double burst = 100;             // how many may come at once after a quiet spell
  double chatPerSecond = 2;       // Chat lines, counted apart from the other messages
  double chatBurst = 5;
  uint32_t maxLoginFailures = 3;     // bad-login answers before the connection is closed
  uint32_t maxRefusalsInARow = 200;  // messages dropped for the rate before the connection goes
  Ms handshakeWithin{5000};          // from connecting to the end of the TLS handshake
  Ms loginWithin{10000};             // from connecting to a successful login
  Ms lingerAfterFatal{1000};         // for a fatal Error to go out before the socket closes
  size_t maxQueuedBytes = 4u << 20;  // unsent events for one slow reader before it is dropped
  // One address (an IPv4 address, or an IPv6 /64).
  uint32_t connectionsPerAddress = 16;  // open at once; 0: no cap
  uint32_t loginsPerAddress = 2;        // logins being checked at once; 0: no cap
  double signUpsPerHour = 3;            // new accounts; 0: no limit
  double signUpBurst = 3;               // how many may come at once after a quiet spell
  StrikePolicy addressFailures{10, std::chrono::seconds(600), Ms(1000), Ms(900000)};
  // One account, except from an address it logged in from before.
  StrikePolicy accountFailures{5, std::chrono::seconds(600), Ms(1000), Ms(60000)};
  // The whole server.
  uint32_t loginQueue = 16;  // logins of players with an account being checked at once
  uint32_t hashThreads = 2;  // password checks at once
};

class RateLimit {
 public:
  RateLimit(double perSecond, double burst, Clock::time_point now = Clock::now())
      : rate_(perSecond), burst_(burst), tokens_(burst), last_(now) {}
  // True when one more message may pass now.
  bool Take(Clock::time_point now = Clock::now());
  // How long until one more may pass; zero when one may now.
  Ms Wait(Clock::time_point now = Clock::now()) const;
  // True when the bucket has filled up again: forgetting it changes nothing.
  bool Full(Clock::time_point now) const;

 private:
  double rate_;
  double burst_;
  double tokens_;
  Clock::time_point last_;
};

class StrikeCounter {
 public:
  // At most maxKeys keys are kept: when full, keys past their window go first, and a new key
  // that still finds no room is not counted (the per-account limit still holds for it).
  explicit StrikeCounter(StrikePolicy policy, size_t maxKeys = 1u << 16)
      : policy_(policy), maxKeys_(maxKeys) {}
  // How long the key must still wait before its next try; zero when it may go now.
  Ms Wait(const std::string& key, Clock::time_point now = Clock::now()) const;
  void Strike(const std::string& key, Clock::time_point now = Clock::now());
  void Clear(const std::string& key) { keys_.erase(key); }
  size_t Size() const { return keys_.size(); }

 private:
  struct Entry {
    uint32_t strikes = 0;
    Clock::time_point last;
    Clock::time_point blockedUntil;
  };
  void Prune(Clock::time_point now);

  StrikePolicy policy_;
  size_t maxKeys_;
  std::unordered_map<std::string, Entry> keys_;
};

// A rate limit for each key (sign-ups per address): a bucket of `burst` that fills at `perSecond`.
// At most maxKeys buckets are kept: when full, those that have filled up again go, and a new
// key that still finds no room passes uncounted.
class KeyedRateLimit {
 public:
  KeyedRateLimit(double perSecond, double burst, size_t maxKeys = 1u << 16)
      : rate_(perSecond), burst_(burst), maxKeys_(maxKeys) {}
  Ms Wait(const std::string& key, Clock::time_point now = Clock::now()) const;
  bool Take(const std::string& key, Clock::time_point now = Clock::now());

 private:
  double rate_;
  double burst_;
  size_t maxKeys_;
  std::unordered_map<std::string, RateLimit> buckets_;
};

// A bounded memory of keys seen lately (which addresses an account logged in from): at most
// maxKeys, each forgotten `keep` after it was last noted.
class RecentKeys {
 public:
  RecentKeys(std::chrono::hours keep, size_t maxKeys) : keep_(keep), maxKeys_(maxKeys) {}
  void Note(const std::string& key, Clock::time_point now = Clock::now());
  bool Has(const std::string& key, Clock::time_point now = Clock::now()) const;

 private:
  std::chrono::hours keep_;
  size_t maxKeys_;
  std::unordered_map<std::string, Clock::time_point> keys_;
};

}  // namespace lobby
