#include "client/buffered_client.hpp"

#include <exception>
#include <memory>

#include "client/reader_thread.hpp"
#include "link/diagnostics.hpp"

namespace tiltwick {

namespace {

struct ThreadStart {
    ReaderSettings settings;
    BoundedQueue<QueueEntry>::Producer producer;
};

extern "C" void* reader_main(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    try {
        run_reader(std::move(start->settings), std::move(start->producer));
    } catch (const std::exception& error) {
        report_fatal("the reader thread", error.what());
    }
    return nullptr;
}

}  // namespace

std::expected<BufferedAHRSClient, std::variant<OutOfMemory, SpawnFailure>> BufferedAHRSClient::start(
    std::string serial_device, std::uint32_t baud_rate, std::uint32_t buffer_size, bool verbose) {
    std::unique_ptr<ThreadStart> start;
    std::optional<BoundedQueue<QueueEntry>::Consumer> consumer;
    try {
        auto [producer, queue_consumer] = BoundedQueue<QueueEntry>::create(buffer_size);
        consumer.emplace(std::move(queue_consumer));
        start = std::make_unique<ThreadStart>(
            ThreadStart{ReaderSettings{std::move(serial_device), baud_rate, verbose}, std::move(producer)});
    } catch (const std::bad_alloc&) {
        return std::unexpected(OutOfMemory{});
    } catch (const std::length_error&) {
        return std::unexpected(OutOfMemory{});
    }
    pthread_t thread;
    if (const int error = pthread_create(&thread, nullptr, reader_main, start.get()); error != 0) {
        return std::unexpected(SpawnFailure{IoError::from_errno(error)});
    }
    start.release();  // the thread owns it now
    return BufferedAHRSClient(std::move(*consumer), thread);
}

BufferedAHRSClient::~BufferedAHRSClient() {
    if (owns_thread_) pthread_detach(thread_);
}

std::vector<QueueEntry> BufferedAHRSClient::take() {
    std::vector<QueueEntry> entries;
    consumer_.take_all(entries);
    return entries;
}

}  // namespace tiltwick
