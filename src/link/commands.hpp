#pragma once
// The one command sequence sent to the device: idle, sensor stream off, filter stream off.

#include <expected>

#include "link/io_error.hpp"
#include "link/port.hpp"

namespace tiltwick {

// Writes the three command packets (30 bytes) when the port holds a serial line that is
// not streaming; otherwise prints why not and sends nothing. Replies are never awaited.
// An error means a write failed part way: the caller treats it as unrecoverable.
std::expected<void, IoError> send_idle_and_streams_off(Port& port);

}  // namespace tiltwick
