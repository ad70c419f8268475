#include "auth.h"

#include <sodium.h>

#include <fstream>

namespace lobby {

bool AuthStartup() { return sodium_init() >= 0; }

bool HashPassword(const std::string& password, HashCost cost, std::string* hash) {
  char out[crypto_pwhash_STRBYTES];
  bool minimum = cost == HashCost::kMinimum;
  if (crypto_pwhash_str_alg(
          out, password.data(), password.size(),
          minimum ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE,
          minimum ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE,
          crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return false;  // out of memory
  }
  *hash = out;
  return true;
}

bool CheckPassword(const std::string& password, const std::string& hash) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    *error = "can't read the password file " + path;
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    *error = "the password file " + path + " has an empty first line";
    return false;
  }
  *password = line;
  return true;
}

}  // namespace lobby
