#include "page_access.h"

#include <cstdio>

#include "os.h"

namespace mp {

namespace {

// Compares in time that depends on the lengths only, so that answers don't tell how much of
// a guessed token was right.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned difference = 0;
  for (size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned>(static_cast<uint8_t>(a[i]) ^ static_cast<uint8_t>(b[i]));
  return difference == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes %XX escapes (and '+' for a blank); false for a broken escape.
bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      *out += ' ';
    } else if (text[i] != '%') {
      *out += text[i];
    } else {
      int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
      int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
      if (low < 0) return false;
      *out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
}

PageVerdict Refuse(int status, const std::string& reason) {
  PageVerdict verdict;
  verdict.status = status;
  verdict.reason = reason;
  return verdict;
}

}  // namespace

PageAccess MakePageAccess(const std::string& host, uint16_t port, const std::string& token) {
  PageAccess access;
  access.token = token;
  std::string suffix = ":" + std::to_string(port);
  std::string literal = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  access.hosts = {literal + suffix};
  // localhost is the machine itself without asking any name server, so it can't be rebound.
  if (host == "127.0.0.1" || host == "::1") access.hosts.push_back("localhost" + suffix);
  return access;
}

PageVerdict CheckPageRequest(const PageAccess& access, const PageRequest& request) {
  const std::string& target = request.target;
  if (target.empty() || target[0] != '/' || target.size() > 2048)
    return Refuse(400, "the request's target is not a path");
  bool ourHost = false;
  for (const std::string& host : access.hosts) ourHost = ourHost || request.host == host;
  if (!ourHost) return Refuse(403, "the Host header does not name this page's address");

  size_t question = target.find('?');
  PageVerdict verdict;
  std::string token = request.tokenHeader;
  if (!Unescape(target.substr(0, question), &verdict.path))
    return Refuse(400, "a broken %-escape in the path");
  std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  for (size_t start = 0; start <= query.size() && !query.empty();) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    std::string value;
    if (pair.compare(0, 6, "token=") == 0 && !Unescape(pair.substr(6), &value))
      return Refuse(400, "a broken %-escape in the query");
    if (pair.compare(0, 6, "token=") == 0) token = value;
    start = end + 1;
  }
  if (token.empty() || !SameSecret(token, access.token))
    return Refuse(403, "this page needs the token that meetpoint printed with its address");

  bool reads = request.method == "GET" || request.method == "HEAD";
  if (request.upgrade || !reads || !request.origin.empty()) {
    bool ourOrigin = false;
    for (const std::string& host : access.hosts)
      ourOrigin = ourOrigin || request.origin == "http://" + host;
    if (!ourOrigin) return Refuse(403, "the request comes from another site (Origin)");
  }
  if (!reads) return Refuse(405, "the page takes GET only; it changes things over its WebSocket");
  if (request.upgrade != (verdict.path == "/ws"))
    return Refuse(request.upgrade ? 404 : 426,
                  request.upgrade ? "no WebSocket there" : "/ws is for a WebSocket");
  return verdict;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "::1") return true;
  unsigned parts[4];
  char end = 0;
  if (sscanf(host.c_str(), "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &end) !=
      4)
    return false;
  for (unsigned part : parts) {
    if (part > 255) return false;
  }
  return parts[0] == 127 && host.find_first_not_of("0123456789.") == std::string::npos;
}

std::string NewPageToken() {
  uint8_t bytes[16];
  if (!RandomBytes(bytes, sizeof bytes)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (uint8_t b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

}  // namespace mp
