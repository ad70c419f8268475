#include "platform/posix/errors.h"

#include <errno.h>

#include "platform/platform.h"

namespace {
thread_local int tLastError = 0;

// Windows Sockets codes without a name in platform.h.
const int kWsaEbadf = 10009;
const int kWsaEacces = 10013;
const int kWsaEfault = 10014;
const int kWsaEalready = 10037;
const int kWsaEmsgsize = 10040;
const int kWsaEopnotsupp = 10045;
const int kWsaEafnosupport = 10047;
const int kWsaEaddrnotavail = 10049;
const int kWsaEnetdown = 10050;
const int kWsaEnetunreach = 10051;
const int kWsaEconnaborted = 10053;
const int kWsaEnobufs = 10055;
const int kWsaEisconn = 10056;
const int kWsaEtimedout = 10060;
const int kWsaEhostunreach = 10065;

int WsaError(int err) {
  static const struct {
    int err;
    int wsa;
  } kErrors[] = {
      {EINTR, PLAT_WSAEINTR},
      {EBADF, kWsaEbadf},
      {EACCES, kWsaEacces},
      {EFAULT, kWsaEfault},
      {EINVAL, PLAT_WSAEINVAL},
      {EMFILE, PLAT_WSAEMFILE},
      {ENFILE, PLAT_WSAEMFILE},
      {EAGAIN, PLAT_WSAEWOULDBLOCK},
      {EINPROGRESS, PLAT_WSAEWOULDBLOCK},
      {EALREADY, kWsaEalready},
      {ENOTSOCK, PLAT_WSAENOTSOCK},
      {EMSGSIZE, kWsaEmsgsize},
      {EOPNOTSUPP, kWsaEopnotsupp},
      {EAFNOSUPPORT, kWsaEafnosupport},
      {EADDRINUSE, PLAT_WSAEADDRINUSE},
      {EADDRNOTAVAIL, kWsaEaddrnotavail},
      {ENETDOWN, kWsaEnetdown},
      {ENETUNREACH, kWsaEnetunreach},
      {ECONNABORTED, kWsaEconnaborted},
      {ECONNRESET, PLAT_WSAECONNRESET},
      {ENOBUFS, kWsaEnobufs},
      {EISCONN, kWsaEisconn},
      {ENOTCONN, PLAT_WSAENOTCONN},
      {EPIPE, PLAT_WSAESHUTDOWN},
      {ETIMEDOUT, kWsaEtimedout},
      {ECONNREFUSED, PLAT_WSAECONNREFUSED},
      {EHOSTUNREACH, kWsaEhostunreach},
  };
  for (const auto& e : kErrors) {
    if (e.err == err) return e.wsa;
  }
  return PLAT_WSAEINVAL;
}
}  // namespace

namespace posix {

void SetLastError(int code) { tLastError = code; }

int Fail(int code) {
  tLastError = code;
  return PLAT_SOCKET_ERROR;
}

int FailWithErrno(int err) { return Fail(WsaError(err)); }

}  // namespace posix

int PlatSocketLastError() { return tLastError; }
