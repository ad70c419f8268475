// The embedded store: one SQLite file holds one server's accounts, ratings, instances,
// results history and accusations, so ratings outlive a restart. Events go straight back to
// this server's own handler: a SQLite lobby has one server.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace lobby {

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error);

}  // namespace lobby
