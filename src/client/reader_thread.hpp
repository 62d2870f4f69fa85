#pragma once
// The buffered client's background reader: opens its own port, reads, decodes, stamps and
// queues packets until one of its fatal conditions ends it. It never touches Python.

#include <cstdint>
#include <string>

#include "client/bounded_queue.hpp"
#include "client/queue_entry.hpp"

namespace tiltwick {

struct ReaderSettings {
    std::string serial_device;
    std::uint32_t baud_rate;
    bool verbose;
};

// Runs on the reader thread until one of its fatal conditions, which it reports, ends it.
void run_reader(ReaderSettings settings, BoundedQueue<QueueEntry>::Producer producer);

}  // namespace tiltwick
