// Limits of the server process.
//
// Each recorded line holds its record file open, and each network
// transcoder its shell and data sockets besides: 100 NET2 transcoders of six
// lines take about 1010 descriptors, right at the soft limit of 1024 that a
// shell or a systemd unit gives by default, while the hard limit is far
// higher. The server raises its soft limit to the hard one at start. Every
// wait on a descriptor uses poll, never select, so descriptors above 1023
// are safe. Call from the main thread before other threads open files.
#pragma once

#include <cstdint>

namespace zorv {

// Raises the soft limit of open files to the hard limit; returns the soft
// limit in force afterwards (the old one when it could not be raised).
uint64_t RaiseOpenFileLimit();

}  // namespace zorv
