#include "page_server.h"

#include "net.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "page_access.h"
#include "ui_files.h"

namespace mp {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A request's head and body at most; a page sends small ones.
const uint32_t kMaxRequestHeader = 8192;
const uint32_t kMaxRequestBody = 4096;
// The longest message a page may send over its WebSocket.
const size_t kMaxPageMessage = 4096;
// A request must arrive whole within this; so must each answer be taken.
const int kRequestSeconds = 10;
// Updates waiting for a page that does not read them; past that the page is closed (it
// reloads and gets a snapshot).
const size_t kMaxWaitingUpdates = 1000;
// Commands waiting for the main loop; past that pages are told to wait.
const size_t kMaxWaitingCommands = 100;

// Only this page's own files, scripts and styles; no inline script, nothing from elsewhere, no
// framing by other sites.
const char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

class WebSocketSession;

}  // namespace

struct PageServer::Impl {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(io)};
  tcp::acceptor acceptor{io};
  PageAccess access;
  PageModel model;
  std::string address;
  std::set<std::shared_ptr<WebSocketSession>> pages;
  std::atomic<size_t> open{0};
  std::mutex mutex;
  std::vector<PageCommand> commands;
  std::thread thread;

  explicit Impl(const PageModel& m) : model(m) {}

  void Accept();
  void Serve(tcp::socket socket);
  void Opened(const std::shared_ptr<WebSocketSession>& page);
  void Closed(const std::shared_ptr<WebSocketSession>& page);
  void Received(const std::shared_ptr<WebSocketSession>& page, const std::string& message);
};

namespace {

// One open page: updates go out in order, one write at a time; its messages are commands.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(beast::tcp_stream stream, PageServer::Impl* server)
      : ws_(std::move(stream)), server_(server) {}

  void Run(const http::request<http::string_body>& request) {
    beast::get_lowest_layer(ws_).expires_never();
    // Pings when idle, and a close when a page stops answering them.
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, "meetpoint");
    }));
    ws_.read_message_max(kMaxPageMessage);
    auto self = shared_from_this();
    ws_.async_accept(request, [self](beast::error_code ec) {
      if (ec) return;
      self->server_->Opened(self);
      self->Read();
    });
  }

  void Send(const std::shared_ptr<const std::string>& text) {
    if (closed_) return;
    if (outbox_.size() >= kMaxWaitingUpdates) return Close();
    outbox_.push_back(text);
    if (outbox_.size() == 1) Write();
  }

 private:
  void Read() {
    auto self = shared_from_this();
    ws_.async_read(buffer_, [self](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      std::string message = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      if (self->ws_.got_binary()) {
        self->Send(std::make_shared<const std::string>(
            Dump({{"kind", "problem"}, {"text", "messages are JSON text"}})));
      } else {
        self->server_->Received(self, message);
      }
      self->Read();
    });
  }

  void Write() {
    auto self = shared_from_this();
    ws_.text(true);
    ws_.async_write(asio::buffer(*outbox_.front()), [self](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      self->outbox_.pop_front();
      if (!self->outbox_.empty()) self->Write();
    });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    outbox_.clear();
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
    server_->Closed(shared_from_this());
  }

  websocket::stream<beast::tcp_stream> ws_;
  PageServer::Impl* server_;
  beast::flat_buffer buffer_;
  std::deque<std::shared_ptr<const std::string>> outbox_;
  bool closed_ = false;
};

// One HTTP connection: requests in turn, each checked before it is answered; a WebSocket
// request hands the connection to a WebSocketSession.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, PageServer::Impl* server)
      : stream_(std::move(socket)), server_(server) {}

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestHeader);
    parser_->body_limit(kMaxRequestBody);
    stream_.expires_after(std::chrono::seconds(kRequestSeconds));
    auto self = shared_from_this();
    http::async_read(stream_, buffer_, *parser_, [self](beast::error_code ec, size_t) {
      if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
          ec == asio::error::eof || ec == asio::error::connection_reset) {
        return self->Close();
      }
      // Anything else is a request that is not HTTP, or too large.
      if (ec) return self->Answer(400, "a malformed request: " + ec.message(), "", false);
      self->Handle();
    });
  }

 private:
  void Handle() {
    const http::request<http::string_body>& request = parser_->get();
    PageRequest asked;
    asked.method = std::string(request.method_string());
    asked.target = std::string(request.target());
    asked.host = std::string(request[http::field::host]);
    asked.origin = std::string(request[http::field::origin]);
    asked.tokenHeader = std::string(request[kTokenHeader]);
    asked.upgrade = websocket::is_upgrade(request);
    PageVerdict verdict = CheckPageRequest(server_->access, asked);
    if (verdict.status != 200) return Answer(verdict.status, verdict.reason, "", false);
    if (asked.upgrade) {
      std::make_shared<WebSocketSession>(std::move(stream_), server_)->Run(parser_->release());
      return;
    }
    const UiFile* file = FindUiFile(verdict.path == "/" ? "/index.html" : verdict.path);
    if (file == nullptr) return Answer(404, "no such file", "", request.keep_alive());
    std::string body(reinterpret_cast<const char*>(file->data), file->size);
    // The page's own links carry the token, so that it needs no cookie.
    for (size_t at = body.find("__TOKEN__"); at != std::string::npos;
         at = body.find("__TOKEN__", at))
      body.replace(at, 9, server_->access.token);
    Answer(200, body, file->type, request.keep_alive() && asked.method == "GET",
           asked.method == "HEAD");
  }

  void Answer(int status, const std::string& body, const std::string& type, bool keepAlive,
              bool head = false) {
    auto response =
        std::make_shared<http::response<http::string_body>>(static_cast<http::status>(status), 11);
    response->set(http::field::server, "meetpoint");
    response->set(http::field::content_type, type.empty() ? "text/plain; charset=utf-8" : type);
    response->set(http::field::cache_control, "no-store");
    response->set("Content-Security-Policy", kSecurityPolicy);
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->set("Referrer-Policy", "no-referrer");
    response->keep_alive(keepAlive);
    response->body() = status == 200 ? body : body + "\n";
    response->prepare_payload();
    if (head) response->body().clear();
    stream_.expires_after(std::chrono::seconds(kRequestSeconds));
    auto self = shared_from_this();
    http::async_write(stream_, *response,
                      [self, response, keepAlive](beast::error_code ec, size_t) {
                        if (ec || !keepAlive) return self->Close();
                        self->Read();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  PageServer::Impl* server_;
  beast::flat_buffer buffer_;
  boost::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void PageServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) std::make_shared<HttpSession>(std::move(socket), this)->Read();
    Accept();
  });
}

void PageServer::Impl::Opened(const std::shared_ptr<WebSocketSession>& page) {
  pages.insert(page);
  open = pages.size();
  page->Send(std::make_shared<const std::string>(Dump(model.Snapshot())));
  std::lock_guard<std::mutex> lock(mutex);
  commands.emplace_back();  // kOpened
}

void PageServer::Impl::Closed(const std::shared_ptr<WebSocketSession>& page) {
  pages.erase(page);
  open = pages.size();
}

void PageServer::Impl::Received(const std::shared_ptr<WebSocketSession>& page,
                                const std::string& message) {
  PageCommand command;
  std::string problem;
  bool full = false;
  if (ParsePageCommand(message, &command, &problem)) {
    std::lock_guard<std::mutex> lock(mutex);
    full = commands.size() >= kMaxWaitingCommands;
    if (!full) commands.push_back(command);
  }
  if (full) problem = "meetpoint is busy; try again in a moment";
  if (!problem.empty())
    page->Send(std::make_shared<const std::string>(Dump({{"kind", "problem"}, {"text", problem}})));
}

std::unique_ptr<PageServer> PageServer::Start(const std::string& host, uint16_t port,
                                              const PageModel& model, std::string* error) {
  std::unique_ptr<PageServer> server(new PageServer());
  server->impl_ = std::make_unique<Impl>(model);
  Impl& impl = *server->impl_;
  beast::error_code ec;
  asio::ip::address address = asio::ip::make_address(host, ec);
  if (ec || !address.is_loopback()) {
    *error = "the page listens on a loopback address only, not " + host;
    return nullptr;
  }
  std::string token = NewPageToken();
  if (token.empty()) {
    *error = "no random source for the page's token";
    return nullptr;
  }
  tcp::endpoint endpoint(address, port);
  impl.acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl.acceptor.bind(endpoint, ec);
  if (!ec) impl.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "can't listen for the page on " + host + " port " + std::to_string(port) + ": " +
             ec.message();
    return nullptr;
  }
  uint16_t bound = impl.acceptor.local_endpoint().port();
  impl.access = MakePageAccess(host, bound, token);
  impl.address = "http://" + impl.access.hosts[0] + "/?token=" + token;
  impl.Accept();
  impl.thread = std::thread([&impl] {
    // A fault in one request must not take the page away for the rest of the run.
    for (;;) {
      try {
        impl.io.run();
        return;
      } catch (const std::exception& e) {
        fprintf(stderr, "!! page server: %s\n", e.what());
      }
    }
  });
  return server;
}

PageServer::~PageServer() {
  if (impl_ == nullptr || !impl_->thread.joinable()) return;
  Impl* impl = impl_.get();
  asio::post(impl->io, [impl] {
    beast::error_code ignored;
    impl->acceptor.close(ignored);
    impl->work.reset();
    impl->io.stop();
  });
  impl_->thread.join();
}

const std::string& PageServer::Address() const { return impl_->address; }

void PageServer::Update(std::function<Json(PageModel&)> change) {
  Impl* impl = impl_.get();
  asio::post(impl->io, [impl, change] {
    Json update = change(impl->model);
    if (update.is_null()) return;
    auto text = std::make_shared<const std::string>(Dump(update));
    auto pages = impl->pages;  // a page that can't keep up leaves the set meanwhile
    for (const auto& page : pages) page->Send(text);
  });
}

std::vector<PageCommand> PageServer::Take() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<PageCommand> taken;
  taken.swap(impl_->commands);
  return taken;
}

size_t PageServer::OpenPages() const { return impl_->open; }

}  // namespace mp
