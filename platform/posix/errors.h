// The calling thread's last error on the POSIX side, kept in Windows numbering: Windows keeps
// one slot for the socket calls and the event creation, and so does this.
#pragma once

namespace posix {

// Windows system error codes that the POSIX side gives.
const int kErrorTooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
const int kErrorAccessDenied = 5;      // ERROR_ACCESS_DENIED
const int kErrorInvalidHandle = 6;     // ERROR_INVALID_HANDLE
const int kErrorNotEnoughMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
const int kErrorOutOfMemory = 14;      // ERROR_OUTOFMEMORY

// Stores code as the calling thread's last error.
void SetLastError(int code);
// Stores the Windows Sockets code for errno value err, and returns PLAT_SOCKET_ERROR.
int FailWithErrno(int err);
// Stores code (Windows Sockets numbering) and returns PLAT_SOCKET_ERROR.
int Fail(int code);

}  // namespace posix
