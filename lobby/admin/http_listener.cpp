#include "http_listener.h"

#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <optional>

namespace lobby {

namespace beast = boost::beast;

namespace {

HttpResponse Plain(http::status status, const std::string& text) {
  HttpResponse response(status, 11);
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.body() = text;
  response.keep_alive(false);
  return response;
}

// One connection: requests read and answered in turn, each within its deadline.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
 public:
  template <class... Args>
  Connection(const Route& route, std::shared_ptr<size_t> open, asio::ip::address peer,
             Args&&... args)
      : stream_(std::forward<Args>(args)...), route_(route), open_(std::move(open)), peer_(peer) {
    ++*open_;
  }
  ~Connection() { --*open_; }

  void Start() {
    auto self = this->shared_from_this();
    beast::get_lowest_layer(stream_).expires_after(kRequestWithin);
    if constexpr (std::is_same<Stream, beast::tcp_stream>::value) {
      Read();
    } else {
      stream_.async_handshake(asio::ssl::stream_base::server, [self](ErrorCode ec) {
        if (!ec) self->Read();
      });
    }
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(kLongestHead);
    parser_->body_limit(kLongestBody);
    beast::get_lowest_layer(stream_).expires_after(kRequestWithin);
    auto self = this->shared_from_this();
    http::async_read(stream_, buffer_, *parser_, [self](ErrorCode ec, size_t) {
      if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
          ec == asio::error::operation_aborted || ec == asio::error::eof ||
          ec == asio::error::connection_reset)
        return self->Close();
      if (ec) return self->Write(Plain(http::status::bad_request, "bad request: " + ec.message()));
      HttpRequest request = self->parser_->release();
      self->keepAlive_ = request.keep_alive();
      // The route answers on the loop, now or after the store has.
      self->route_(request, self->peer_,
                   [self](HttpResponse response) { self->Write(std::move(response)); });
    });
  }

  void Write(HttpResponse response) {
    response_ = std::move(response);
    response_.keep_alive(keepAlive_ && response_.keep_alive());
    response_.prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(kRequestWithin);
    auto self = this->shared_from_this();
    http::async_write(stream_, response_, [self](ErrorCode ec, size_t) {
      if (ec || !self->response_.keep_alive()) return self->Close();
      self->Read();
    });
  }

  void Close() {
    ErrorCode ec;
    beast::get_lowest_layer(stream_).socket().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(stream_).close();
  }

  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpResponse response_;
  Route route_;
  std::shared_ptr<size_t> open_;
  asio::ip::address peer_;
  bool keepAlive_ = false;
};

}  // namespace

HttpListener::HttpListener(asio::io_context& io, const asio::ip::tcp::endpoint& where,
                           asio::ssl::context* tls, Route route)
    : acceptor_(io, where), pause_(io), tls_(tls), route_(std::move(route)) {}

void HttpListener::Accept() {
  acceptor_.async_accept([this](ErrorCode ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, say: rest a moment rather than spin on the error.
      pause_.expires_after(std::chrono::milliseconds(100));
      pause_.async_wait([this](ErrorCode e) {
        if (!e) Accept();
      });
      return;
    }
    ErrorCode peerError;
    asio::ip::tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (!peerError && *open_ < kMostConnections) {
      if (tls_ != nullptr) {
        std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
            route_, open_, peer.address(), std::move(socket), *tls_)
            ->Start();
      } else {
        std::make_shared<Connection<beast::tcp_stream>>(route_, open_, peer.address(),
                                                        std::move(socket))
            ->Start();
      }
    }
    // A refused or failed connection closes as its socket goes; accepting goes on.
    Accept();
  });
}

}  // namespace lobby
