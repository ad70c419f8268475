#include "acceptor.h"

#include <cerrno>

#include "server.h"

namespace lobby {

namespace {

// How long accepting rests after running out of descriptors or socket memory.
const Ms kOutOfDescriptorsPause{100};

bool OutOfResources(const ErrorCode& ec) {
  if (ec.category() != boost::system::system_category()) return false;
  switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace

Acceptor::Acceptor(asio::io_context& io, const asio::ip::tcp::endpoint& where, Server& server)
    : acceptor_(io, where), pause_(io), server_(server) {}

void Acceptor::Accept() {
  acceptor_.async_accept([this](ErrorCode ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      server_.Accept(std::move(socket));
      return Accept();
    }
    // A connection that went before it was taken is no trouble; anything else gets a pause, so
    // that no error can make the loop spin.
    bool pause = ec != asio::error::connection_aborted;
    LogEntry entry;
    entry.level = OutOfResources(ec) ? LogLevel::kError : LogLevel::kWarning;
    entry.event = "accept-failed";
    entry.detail = ec.message() + (pause ? "; pausing accepts for 100 ms" : "");
    failures_.Log(entry);
    if (!pause) return Accept();
    pause_.expires_after(kOutOfDescriptorsPause);
    pause_.async_wait([this](ErrorCode e) {
      if (!e) Accept();
    });
  });
}

}  // namespace lobby
