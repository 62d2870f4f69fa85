#pragma once
// The buffered client: the consumer end of a bounded queue and a detached reader thread.

#include <pthread.h>

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "client/bounded_queue.hpp"
#include "client/queue_entry.hpp"
#include "link/io_error.hpp"

namespace tiltwick {

struct OutOfMemory {};
struct SpawnFailure {
    IoError error;  // why the thread could not be started
};

class BufferedAHRSClient {
public:
    // Creates the queue (capacity `buffer_size`, reserved now) and starts the reader thread.
    static std::expected<BufferedAHRSClient, std::variant<OutOfMemory, SpawnFailure>> start(
        std::string serial_device, std::uint32_t baud_rate, std::uint32_t buffer_size, bool verbose);

    BufferedAHRSClient(BufferedAHRSClient&& other) noexcept
        : consumer_(std::move(other.consumer_)), thread_(other.thread_), owns_thread_(std::exchange(other.owns_thread_, false)) {}
    BufferedAHRSClient& operator=(BufferedAHRSClient&&) = delete;
    // Lets the thread go on detached; it ends at its next put, which fails.
    ~BufferedAHRSClient();

    // Everything queued when the call starts, oldest first; never waits.
    std::vector<QueueEntry> take();

private:
    BufferedAHRSClient(BoundedQueue<QueueEntry>::Consumer consumer, pthread_t thread)
        : consumer_(std::move(consumer)), thread_(thread) {}

    BoundedQueue<QueueEntry>::Consumer consumer_;
    pthread_t thread_;
    bool owns_thread_ = true;
};

}  // namespace tiltwick
