// An event on POSIX systems: an eventfd whose counter is the signalled state. Reading it resets
// it (automatic reset), and poll() can watch several of them together with sockets.
#pragma once

struct PlatEventObject {
  int fd;
};

namespace posix {

// Signals the event (again: a signalled event stays one signal).
void Signal(PlatEventObject* event);
// Resets the event; true when it was signalled.
bool Consume(PlatEventObject* event);

}  // namespace posix
