// The player's page (--ui): an HTTP and WebSocket server on a loopback address, on a thread
// of its own (Boost.Beast on an io_context). It serves the page's files, which are built into
// meetpoint, to requests that pass the access rules (page_access.h), keeps what the page shows
// (page_model.h) and sends each change to every open page over its WebSocket. What the pages
// ask for (sign in, sign up, a chat line) waits in a small locked queue until the main loop
// takes it, as the relay's news do.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "page_command.h"
#include "page_model.h"

namespace mp {

class PageServer {
 public:
  // Listens on host (a loopback address) and port (0: a free one); null with *error set when
  // it can't.
  static std::unique_ptr<PageServer> Start(const std::string& host, uint16_t port,
                                           const PageModel& model, std::string* error);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // The page's address with the token of this run.
  const std::string& Address() const;
  // Applies a change to what the pages show, on the page thread, and sends its update to
  // every open page. Any thread.
  void Update(std::function<Json(PageModel&)> change);
  // What the pages asked for since the last call. Any thread.
  std::vector<PageCommand> Take();
  // How many pages are open now.
  size_t OpenPages() const;

  struct Impl;

 private:
  PageServer() = default;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mp
