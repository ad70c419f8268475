// Passwords: stored only as argon2id hashes (libsodium's string form, which carries the salt
// and the cost), read from a file's first line, and checked in constant time by libsodium.
#pragma once

#include <string>

namespace lobby {

enum class HashCost { kInteractive, kMinimum };

// False when libsodium can't start.
bool AuthStartup();
// The argon2id hash of a password. kMinimum is for load-test accounts only.
bool HashPassword(const std::string& password, HashCost cost, std::string* hash);
bool CheckPassword(const std::string& password, const std::string& hash);
// The first line of a file, without its line end; false when it can't be read or is empty.
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error);

}  // namespace lobby
