// What the player's page shows (--ui): the link to the lobby, who is signed in, the players
// online, the chat, the game instances with their members, votes and results, the ratings and
// the local game. It keeps only bounded histories, so that a page opened later gets a
// snapshot of the recent past. Each change returns the update that goes to every open page:
// whole sections (an instance, the players online) rather than differences, so that the page
// only replaces what it shows. Texts from the lobby are 8-bit (ISO 8859-1, as in the
// transcript) and turned into UTF-8 here. Used on the page server's thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mp {

using Json = nlohmann::json;

// The most lines and entries kept for a page opened later.
const size_t kPageChatLines = 200;
const size_t kPageInstances = 50;
const size_t kPageVotesPerInstance = 50;
const size_t kPageMembers = 113;
const size_t kPageGameLines = 100;

struct PageRecord {
  std::string name;
  uint32_t rating = 0;
};

// ISO 8859-1 to UTF-8: every byte is the character of the same code.
std::string Latin1ToUtf8(const std::string& text);
// UTF-8 to ISO 8859-1; characters above U+00FF become '?'. False for text that is not UTF-8.
bool Utf8ToLatin1(const std::string& text, std::string* out);
// Milliseconds since 1970 (UTC): the times the page shows in the player's local time.
int64_t WallClockMs();

class PageModel {
 public:
  // mode: "lobby" (a lobby server, named by server) or "local" (meetpoint's own lobby);
  // signIn: the page may sign in and sign up (a relay started without --player).
  PageModel(const std::string& mode, const std::string& server, bool signIn);

  Json Snapshot() const;

  // state: "connecting", "connected" (not signed in yet), "online", "lost", "stopped",
  // "local"; text says why, for a person.
  Json Link(const std::string& state, const std::string& text);
  // The player signed in (empty: nobody).
  Json Me(const std::string& player, uint32_t rating);
  // A refusal of the lobby: its rule, the request refused and the sentence to show. Not kept.
  Json Refused(const std::string& rule, const std::string& request, const std::string& detail);
  Json Chat(const std::string& from, const std::string& text);
  Json Instance(uint32_t giid, uint32_t votingFlags, const std::string& creator);
  Json Joined(uint32_t giid, const std::string& player);
  Json Vote(uint32_t giid, uint32_t vote, const std::string& voter);
  Json Results(uint32_t giid, uint32_t vote, const std::vector<PageRecord>& players);
  Json Online(uint32_t total, const std::vector<PageRecord>& players);
  Json Ratings(const std::vector<PageRecord>& players);
  Json Game(bool connected, int connection);
  // dir: "in" (a request of the game), "out" (an event to it) or "info"; line as printed.
  Json GameLine(const std::string& dir, const std::string& line);

 private:
  struct InstanceState {
    int64_t at = 0;
    uint32_t votingFlags = 0;
    std::string creator;  // empty: started before this meetpoint heard of it
    std::vector<std::string> members;
    std::deque<Json> votes;
    Json results;  // null until the instance has its results
  };
  InstanceState& Find(uint32_t giid);
  Json InstanceJson(uint32_t giid, const InstanceState& instance) const;
  Json InstanceUpdate(uint32_t giid);
  Json WithMe(Json update, const std::vector<PageRecord>& players);

  Json link_;
  Json me_;
  Json online_;
  Json ratings_;
  Json game_;
  std::deque<Json> chat_;
  std::deque<Json> gameLines_;
  std::map<uint32_t, InstanceState> instances_;
  std::deque<uint32_t> instanceOrder_;  // oldest first, for dropping the oldest
  std::string mode_;
  std::string server_;
  bool signIn_;
};

}  // namespace mp
