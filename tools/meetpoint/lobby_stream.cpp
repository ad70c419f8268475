#include "lobby_stream.h"

namespace mp {

namespace {

// Plain TCP, for a lobby server on the same machine (the relay refuses it elsewhere).
class PlainStream : public LobbyStream {
 public:
  explicit PlainStream(asio::io_context& io) : socket_(io) {}
  asio::ip::tcp::socket& Socket() override { return socket_; }
  void AsyncHandshake(const std::string&, HandshakeHandler done) override {
    asio::post(socket_.get_executor(), [done] { done(TlsFailure::kNone, ""); });
  }
  void AsyncReadSome(asio::mutable_buffer buffer, Handler done) override {
    socket_.async_read_some(buffer, std::move(done));
  }
  void AsyncWrite(asio::const_buffer buffer, Handler done) override {
    asio::async_write(socket_, buffer, std::move(done));
  }

 private:
  asio::ip::tcp::socket socket_;
};

}  // namespace

std::shared_ptr<LobbyStream> MakeLobbyStream(asio::io_context& io,
                                             const std::shared_ptr<LobbyTls>& tls) {
  if (tls == nullptr) return std::make_shared<PlainStream>(io);
  return MakeTlsStream(io, tls);
}

}  // namespace mp
