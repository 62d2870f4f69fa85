#include "client/buffered_client.hpp"

#include <algorithm>
#include <climits>
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

// The reader thread's stack. Its deepest use, measured at the end of every reader thread of the
// buffered-client, fault and serial-line tests, was 13 KiB in a release build and 18 KiB under
// AddressSanitizer: 256 KiB leaves a wide margin and, unlike the default of 8 MiB, keeps hundreds
// of clients within a 32-bit board's address space. ThreadSanitizer's runtime alone takes about
// 800 KiB of a thread's stack, so a build with it keeps the default size.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t reader_stack_size = 0;
#else
constexpr std::size_t reader_stack_size = 256 * 1024;
#endif

// Starts the thread with the stack above; an error number on failure.
int start_reader(pthread_t& thread, ThreadStart* start) {
    pthread_attr_t attributes;
    if (const int error = pthread_attr_init(&attributes); error != 0) return error;
    int error = 0;
    if (reader_stack_size != 0) {
        error = pthread_attr_setstacksize(&attributes, std::max(reader_stack_size, static_cast<std::size_t>(PTHREAD_STACK_MIN)));
    }
    if (error == 0) error = pthread_create(&thread, &attributes, reader_main, start);
    pthread_attr_destroy(&attributes);
    return error;
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
    if (const int error = start_reader(thread, start.get()); error != 0) {
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
