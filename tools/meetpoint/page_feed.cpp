#include "page_feed.h"

#include <algorithm>

namespace mp {

namespace {

std::vector<PageRecord> Records(const std::vector<lobby::Record>& records) {
  std::vector<PageRecord> out;
  for (const lobby::Record& r : records) out.push_back({r.name, r.rating});
  return out;
}

}  // namespace

void PageFeed::GameOpened(int connection) {
  server_->Update([connection](PageModel& m) { return m.Game(true, connection); });
}

void PageFeed::GameEnded(int connection, const std::string& how) {
  server_->Update([connection](PageModel& m) { return m.Game(false, connection); });
  GameLine("info", "game connection " + std::to_string(connection) + " " + how);
}

void PageFeed::GameLine(const std::string& dir, const std::string& line) {
  server_->Update([dir, line](PageModel& m) { return m.GameLine(dir, line); });
}

void PageFeed::LocalPlayers(const Lobby& lobby, const LobbySettings& settings) {
  std::vector<PageRecord> players = {{settings.localPlayer, lobby.Rating(settings.localPlayer)}};
  for (const std::string& name : settings.others) players.push_back({name, lobby.Rating(name)});
  std::vector<PageRecord> ranked = players;
  std::stable_sort(ranked.begin(), ranked.end(), [](const PageRecord& a, const PageRecord& b) {
    return a.rating > b.rating || (a.rating == b.rating && a.name < b.name);
  });
  server_->Update(
      [players](PageModel& m) { return m.Online(static_cast<uint32_t>(players.size()), players); });
  server_->Update([ranked](PageModel& m) { return m.Ratings(ranked); });
  server_->Update([players](PageModel& m) { return m.Me(players[0].name, players[0].rating); });
}

void PageFeed::LocalEvent(const Message& event, const Lobby& lobby, const LobbySettings& settings) {
  uint32_t giid = event.NumberOf("GiID");
  const std::string& me = settings.localPlayer;
  switch (event.type) {
    case kNewGameInstance: {
      uint32_t flags = event.NumberOf("VotingFlags");
      return server_->Update([=](PageModel& m) { return m.Instance(giid, flags, me); });
    }
    case kNewGameJoin:
      if (event.NumberOf("Result") != 1) return;
      return server_->Update([=](PageModel& m) { return m.Joined(giid, me); });
    case kNewGameVote: {
      uint32_t vote = event.NumberOf("Vote");
      std::string voter = event.TextOf("Voter");
      return server_->Update([=](PageModel& m) { return m.Vote(giid, vote, voter); });
    }
    case kNewGameResults: {
      uint32_t vote = event.NumberOf("Vote");
      std::vector<PageRecord> players;
      for (const Field& field : event.fields) {
        if (field.value.kind == ValueKind::kPlayer)
          players.push_back({field.value.text, field.value.number});
      }
      server_->Update([=](PageModel& m) { return m.Results(giid, vote, players); });
      return LocalPlayers(lobby, settings);
    }
    case kIncomingMessage:
      return Chat(event.TextOf("From"), event.TextOf("Text"));
    default:
      return;
  }
}

void PageFeed::Chat(const std::string& from, const std::string& text) {
  server_->Update([from, text](PageModel& m) { return m.Chat(from, text); });
}

void PageFeed::Link(const std::string& state, const std::string& text) {
  server_->Update([state, text](PageModel& m) { return m.Link(state, text); });
}

void PageFeed::FromLobby(const lobby::Message& message) {
  const lobby::Message m = message;
  auto update = [this](std::function<Json(PageModel&)> change) {
    server_->Update(std::move(change));
  };
  switch (m.type) {
    case lobby::kLoggedIn:
      return update([m](PageModel& p) { return p.Me(m.text(0), m.num(1)); });
    case lobby::kError: {
      const lobby::MessageLayout* layout = lobby::LayoutOf(static_cast<uint8_t>(m.num(1)));
      std::string request = layout != nullptr ? layout->name : "";
      return update(
          [m, request](PageModel& p) { return p.Refused(m.text(0), request, m.text(2)); });
    }
    case lobby::kInstance:
      return update([m](PageModel& p) { return p.Instance(m.num(0), m.num(1), m.text(2)); });
    case lobby::kJoined:
      return update([m](PageModel& p) { return p.Joined(m.num(0), m.text(1)); });
    case lobby::kVoteCast:
      return update([m](PageModel& p) { return p.Vote(m.num(0), m.num(1), m.text(2)); });
    case lobby::kFinalResults:
      return update(
          [m](PageModel& p) { return p.Results(m.num(0), m.num(1), Records(m.records(2))); });
    case lobby::kChatLine:
      return Chat(m.text(0), m.text(1));
    case lobby::kOnline:
      return update([m](PageModel& p) { return p.Online(m.num(0), Records(m.records(1))); });
    case lobby::kRatingsTable:
      return update([m](PageModel& p) { return p.Ratings(Records(m.records(0))); });
    default:
      return;
  }
}

}  // namespace mp
