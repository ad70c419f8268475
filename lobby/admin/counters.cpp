#include "counters.h"

#include "protocol.h"
#include "store_queue.h"

namespace lobby {

namespace {

const char* const kResultNames[kLoginResults] = {
    "ok", "wrong_password", "unknown", "banned", "rate_limited", "busy", "store_unavailable"};
const char* const kStateNames[5] = {"handshake", "new", "greeted", "logging_in", "in"};

void Messages(Exposition& out, const char* direction, const uint64_t (&counts)[256]) {
  for (const MessageLayout& layout : AllMessages()) {
    if (counts[layout.type] != 0)
      out.Sample("rallylobby_messages_total", static_cast<double>(counts[layout.type]),
                 {{"direction", direction}, {"type", layout.name}});
  }
}

}  // namespace

std::string Scrape(const LobbyCounters& c, const StoreStats& store, const Snapshot& s) {
  Exposition out;
  out.Family("rallylobby_players_here", "gauge", "Players logged in on this server.");
  out.Sample("rallylobby_players_here", static_cast<double>(s.playersHere));
  if (s.haveLobby) {
    out.Family("rallylobby_players_online", "gauge",
               "Players logged in on every server that shares the store.");
    out.Sample("rallylobby_players_online", static_cast<double>(s.playersOnline));
    out.Family("rallylobby_instances_open", "gauge", "Game instances not finished yet.");
    out.Sample("rallylobby_instances_open", static_cast<double>(s.openInstances));
  }
  out.Family("rallylobby_connections", "gauge", "Open connections, by the stage they are at.");
  for (size_t i = 0; i < 5; ++i)
    out.Sample("rallylobby_connections", static_cast<double>(s.byState[i]),
               {{"state", kStateNames[i]}});
  out.Family("rallylobby_connections_accepted_total", "counter", "Connections taken.");
  out.Sample("rallylobby_connections_accepted_total", static_cast<double>(c.connections));
  out.Family("rallylobby_connections_refused_total", "counter",
             "Connections closed at once: their address had too many open.");
  out.Sample("rallylobby_connections_refused_total", static_cast<double>(c.connectionsRefused));
  out.Family("rallylobby_logins_total", "counter", "Logins, by how they ended.");
  for (size_t i = 0; i < kLoginResults; ++i)
    out.Sample("rallylobby_logins_total", static_cast<double>(c.logins[i]),
               {{"result", kResultNames[i]}});
  out.Family("rallylobby_sign_ups_total", "counter", "Accounts made by players (Register).");
  out.Sample("rallylobby_sign_ups_total", static_cast<double>(c.signUps));
  out.Family("rallylobby_messages_total", "counter",
             "Messages, by type and direction (in: from meetpoints; out: queued to them).");
  Messages(out, "in", c.messagesIn);
  Messages(out, "out", c.messagesOut);
  out.Family("rallylobby_refusals_total", "counter", "Error answers, by the rule broken.");
  for (const auto& rule : c.refusals)
    out.Sample("rallylobby_refusals_total", static_cast<double>(rule.second),
               {{"rule", rule.first}});
  out.Histogram("rallylobby_chat_fanout_seconds",
                "From a chat line's receipt to its last write queued for this server's players.",
                c.chatFanout);
  out.Histogram("rallylobby_store_call_seconds", "The time each store call took.", store.callTime);
  out.Family("rallylobby_store_errors_total", "counter",
             "Store requests that failed: the store said no, was too late, or its queue was full.");
  out.Sample("rallylobby_store_errors_total", static_cast<double>(store.failed),
             {{"kind", "failed"}});
  out.Sample("rallylobby_store_errors_total", static_cast<double>(store.late), {{"kind", "late"}});
  out.Sample("rallylobby_store_errors_total", static_cast<double>(store.full), {{"kind", "full"}});
  out.Family("rallylobby_queued_bytes", "gauge",
             "Bytes of events waiting to be written to players who read slowly.");
  out.Sample("rallylobby_queued_bytes", static_cast<double>(s.queuedBytes));
  ProcessFigures process;
  if (ReadProcessFigures(&process)) {
    out.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.Sample("process_resident_memory_bytes", process.residentBytes);
    out.Family("process_open_fds", "gauge", "Open file descriptors.");
    out.Sample("process_open_fds", process.openDescriptors);
    out.Family("process_max_fds", "gauge", "The most file descriptors the process may open.");
    out.Sample("process_max_fds", process.maxDescriptors);
    out.Family("process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
    out.Sample("process_cpu_seconds_total", process.cpuSeconds);
  }
  return out.Text();
}

}  // namespace lobby
