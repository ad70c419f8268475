#include "page_model.h"

#include <algorithm>
#include <chrono>

namespace mp {

std::string Latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

bool Utf8ToLatin1(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80         ? 1
                    : (lead >> 5) == 6  ? 2
                    : (lead >> 4) == 14 ? 3
                    : (lead >> 3) == 30 ? 4
                                        : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms and surrogates are not UTF-8.
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    *out += code <= 0xFF ? static_cast<char>(code) : '?';
    i += length;
  }
  return true;
}

int64_t WallClockMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

Json Records(const std::vector<PageRecord>& players) {
  Json list = Json::array();
  for (const PageRecord& p : players) list.push_back({Latin1ToUtf8(p.name), p.rating});
  return list;
}

template <typename T>
void Bound(std::deque<T>* items, size_t most) {
  while (items->size() > most) items->pop_front();
}

}  // namespace

PageModel::PageModel(const std::string& mode, const std::string& server, bool signIn)
    : link_({{"state", mode == "local" ? "local" : "connecting"}, {"text", ""}}),
      me_({{"player", nullptr}}),
      online_({{"total", 0}, {"players", Json::array()}}),
      ratings_(Json::array()),
      game_({{"connected", false}, {"connection", 0}}),
      mode_(mode),
      server_(server),
      signIn_(signIn) {}

Json PageModel::Snapshot() const {
  Json instances = Json::array();
  for (uint32_t giid : instanceOrder_) instances.push_back(InstanceJson(giid, instances_.at(giid)));
  Json game = game_;
  game["lines"] = Json(gameLines_);
  return {{"kind", "snapshot"},     {"mode", mode_},       {"server", server_},
          {"signIn", signIn_},      {"link", link_},       {"me", me_},
          {"online", online_},      {"ratings", ratings_}, {"chat", Json(chat_)},
          {"instances", instances}, {"game", game}};
}

Json PageModel::Link(const std::string& state, const std::string& text) {
  link_ = {{"state", state}, {"text", Latin1ToUtf8(text)}, {"at", WallClockMs()}};
  return {{"kind", "link"}, {"link", link_}};
}

Json PageModel::Me(const std::string& player, uint32_t rating) {
  me_ = player.empty() ? Json{{"player", nullptr}}
                       : Json{{"player", Latin1ToUtf8(player)}, {"rating", rating}};
  return {{"kind", "me"}, {"me", me_}};
}

Json PageModel::Refused(const std::string& rule, const std::string& request,
                        const std::string& detail) {
  return {{"kind", "refused"},
          {"rule", Latin1ToUtf8(rule)},
          {"request", request},
          {"detail", Latin1ToUtf8(detail)},
          {"at", WallClockMs()}};
}

Json PageModel::Chat(const std::string& from, const std::string& text) {
  Json line = {{"at", WallClockMs()}, {"from", Latin1ToUtf8(from)}, {"text", Latin1ToUtf8(text)}};
  chat_.push_back(line);
  Bound(&chat_, kPageChatLines);
  return {{"kind", "chat"}, {"line", line}};
}

PageModel::InstanceState& PageModel::Find(uint32_t giid) {
  auto found = instances_.find(giid);
  if (found != instances_.end()) return found->second;
  // The oldest instance makes room, and the page forgets it too.
  if (instanceOrder_.size() >= kPageInstances) {
    instances_.erase(instanceOrder_.front());
    instanceOrder_.pop_front();
  }
  instanceOrder_.push_back(giid);
  InstanceState& instance = instances_[giid];
  instance.at = WallClockMs();
  return instance;
}

Json PageModel::InstanceJson(uint32_t giid, const InstanceState& instance) const {
  Json members = Json::array();
  for (const std::string& m : instance.members) members.push_back(Latin1ToUtf8(m));
  return {{"giid", giid},
          {"at", instance.at},
          {"votingFlags", instance.votingFlags},
          {"creator", instance.creator.empty() ? Json() : Json(Latin1ToUtf8(instance.creator))},
          {"members", members},
          {"votes", Json(instance.votes)},
          {"results", instance.results}};
}

Json PageModel::InstanceUpdate(uint32_t giid) {
  return {{"kind", "instance"}, {"instance", InstanceJson(giid, instances_[giid])}};
}

Json PageModel::Instance(uint32_t giid, uint32_t votingFlags, const std::string& creator) {
  InstanceState& instance = Find(giid);
  instance.votingFlags = votingFlags;
  instance.creator = creator;
  Joined(giid, creator);
  return InstanceUpdate(giid);
}

Json PageModel::Joined(uint32_t giid, const std::string& player) {
  InstanceState& instance = Find(giid);
  auto& members = instance.members;
  if (!player.empty() && members.size() < kPageMembers &&
      std::find(members.begin(), members.end(), player) == members.end())
    members.push_back(player);
  return InstanceUpdate(giid);
}

Json PageModel::Vote(uint32_t giid, uint32_t vote, const std::string& voter) {
  InstanceState& instance = Find(giid);
  instance.votes.push_back({{"at", WallClockMs()}, {"voter", Latin1ToUtf8(voter)}, {"vote", vote}});
  Bound(&instance.votes, kPageVotesPerInstance);
  return InstanceUpdate(giid);
}

Json PageModel::Results(uint32_t giid, uint32_t vote, const std::vector<PageRecord>& players) {
  InstanceState& instance = Find(giid);
  instance.results = {{"at", WallClockMs()}, {"vote", vote}, {"players", Records(players)}};
  return WithMe(InstanceUpdate(giid), players);
}

Json PageModel::Online(uint32_t total, const std::vector<PageRecord>& players) {
  online_ = {{"total", total}, {"players", Records(players)}};
  return WithMe({{"kind", "online"}, {"online", online_}}, players);
}

Json PageModel::Ratings(const std::vector<PageRecord>& players) {
  ratings_ = Records(players);
  return WithMe({{"kind", "ratings"}, {"ratings", ratings_}}, players);
}

// A list of ratings that names the player signed in brings that player's new rating too.
Json PageModel::WithMe(Json update, const std::vector<PageRecord>& players) {
  for (const PageRecord& p : players) {
    if (!me_["player"].is_string() || me_["player"] != Latin1ToUtf8(p.name)) continue;
    me_["rating"] = p.rating;
    update["me"] = me_;
  }
  return update;
}

Json PageModel::Game(bool connected, int connection) {
  game_ = {{"connected", connected}, {"connection", connection}, {"at", WallClockMs()}};
  return {{"kind", "game"}, {"game", game_}};
}

Json PageModel::GameLine(const std::string& dir, const std::string& line) {
  Json entry = {{"at", WallClockMs()}, {"dir", dir}, {"line", Latin1ToUtf8(line)}};
  gameLines_.push_back(entry);
  Bound(&gameLines_, kPageGameLines);
  return {{"kind", "game-line"}, {"line", entry}};
}

}  // namespace mp
