// The shared store: several servers keep one lobby in one Redis. Accounts, ratings, instances
// and their members, outcomes, history and accusations are Redis keys (docs/lobby.md lists
// them); events go out on one pub/sub channel that every server reads. A finished game's
// ratings change in one optimistic transaction (WATCH, MULTI, EXEC) that is tried again when
// another server changed a rating meanwhile. A lost connection is made again on the next call;
// the subscriber reconnects on its own thread with back-off.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace lobby {

// hostPort: "HOST:PORT".
std::unique_ptr<Store> OpenRedisStore(const std::string& hostPort, std::string* error);

}  // namespace lobby
