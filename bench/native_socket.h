// The system's own socket calls for the benchmark's floors and far end, which must not go
// through the library's platform layer: the socket type and the conversion from the handles
// that RawSocket keeps.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
typedef SOCKET Native;
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
typedef int Native;
#endif

inline Native N(intptr_t handle) { return static_cast<Native>(handle); }
