// The operator's listener: HTTP/1.1 with Boost.Beast on the server's own event loop, over TLS
// or, on a loopback address only, plain TCP. Every connection is bounded: at most
// kMostConnections at once, a request's head and body within their sizes, and each request
// (the TLS handshake too) within kRequestWithin. What a request means is the route's business.
#pragma once

#include "net.h"
#include <boost/asio/ssl.hpp>
#include <boost/beast/http.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace lobby {

namespace http = boost::beast::http;
using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;
using Respond = std::function<void(HttpResponse)>;
// Answers a request from peer, once, through respond (now or later, on the loop).
using Route =
    std::function<void(const HttpRequest& request, const asio::ip::address& peer, Respond respond)>;

const size_t kMostConnections = 32;
const size_t kLongestHead = 8192;
const size_t kLongestBody = 65536;
const std::chrono::seconds kRequestWithin{10};

class HttpListener {
 public:
  // tls null: plain TCP. Throws like asio's acceptor when it can't listen there.
  HttpListener(asio::io_context& io, const asio::ip::tcp::endpoint& where, asio::ssl::context* tls,
               Route route);
  uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  void Accept();

 private:
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer pause_;
  asio::ssl::context* tls_;
  Route route_;
  std::shared_ptr<size_t> open_ = std::make_shared<size_t>(0);
};

}  // namespace lobby
