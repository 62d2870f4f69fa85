#pragma once
// A bounded first-in-first-out queue between one producer and one consumer.
//
// Capacity N >= 1: storage for N entries is reserved up front; a put waits while N are queued.
// Capacity 0: a rendezvous. A put waits until the consumer has taken that very entry, and a
// take that does not wait succeeds only while a put is waiting.
// Each end knows when the other has gone: a put fails at once (also while waiting) once the
// consumer is gone; after the producer has gone, the remaining entries can still be taken and
// then the queue reports Disconnected instead of Empty.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace tiltwick {

enum class TakeStatus { Taken, Empty, Disconnected };

template <class T>
class BoundedQueue {
    struct Shared {
        explicit Shared(std::size_t capacity)
            : capacity(capacity),
              slots(capacity == 0 ? 1 : capacity),
              storage(std::allocator<T>().allocate(slots)) {}
        ~Shared() {
            while (count > 0) pop();
            std::allocator<T>().deallocate(storage, slots);
        }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

        T pop() {
            T value = std::move(storage[head]);
            std::destroy_at(&storage[head]);
            head = (head + 1) % slots;
            --count;
            ++taken;
            return value;
        }

        const std::size_t capacity;
        const std::size_t slots;  // a rendezvous still needs one slot for the entry on offer
        T* const storage;
        std::size_t head = 0;
        std::size_t count = 0;
        std::uint64_t pushed = 0;  // entries ever put, and ever taken: a rendezvous put
        std::uint64_t taken = 0;   // waits until its own entry has been taken
        bool producer_alive = true;
        bool consumer_alive = true;
        std::mutex mutex;
        std::condition_variable room_or_taker;  // wakes a waiting put
    };

public:
    class Producer {
    public:
        Producer(Producer&&) noexcept = default;
        Producer& operator=(Producer&&) noexcept = default;
        ~Producer() {
            if (!shared_) return;
            std::lock_guard lock(shared_->mutex);
            shared_->producer_alive = false;
        }

        // Whether the consumer end still exists.
        bool connected() const {
            std::lock_guard lock(shared_->mutex);
            return shared_->consumer_alive;
        }

        // Waits without limit for room (or for the taker, at capacity 0). Returns false when
        // the consumer is gone, before or during the wait; the value is then dropped.
        bool put(T value) {
            auto& s = *shared_;
            std::unique_lock lock(s.mutex);
            s.room_or_taker.wait(lock, [&] { return !s.consumer_alive || s.count < s.slots; });
            if (!s.consumer_alive) return false;
            std::construct_at(&s.storage[(s.head + s.count) % s.slots], std::move(value));
            ++s.count;
            const std::uint64_t mine = ++s.pushed;
            if (s.capacity == 0) {
                s.room_or_taker.wait(lock, [&] { return !s.consumer_alive || s.taken >= mine; });
                return s.taken >= mine;
            }
            return true;
        }

    private:
        friend class BoundedQueue;
        explicit Producer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
        std::shared_ptr<Shared> shared_;
    };

    class Consumer {
    public:
        Consumer(Consumer&&) noexcept = default;
        Consumer& operator=(Consumer&&) noexcept = default;
        ~Consumer() {
            if (!shared_) return;
            {
                std::lock_guard lock(shared_->mutex);
                shared_->consumer_alive = false;
            }
            shared_->room_or_taker.notify_all();
        }

        // Takes every entry queued at this moment, oldest first, in one step: entries the
        // producer adds meanwhile are left for the next call, so at capacity 0 a call hands
        // over at most the one entry on offer. Never waits.
        TakeStatus take_all(std::vector<T>& out) {
            return take_queued(
                std::numeric_limits<std::size_t>::max(), [&out](std::size_t n) { out.reserve(out.size() + n); },
                [&out](T&& value) { out.push_back(std::move(value)); });
        }

    private:
        friend class BoundedQueue;
        explicit Consumer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

        // Hands up to `limit` of the queued entries to `sink` under one lock (telling `reserve`
        // how many first), then wakes the producer, which may be waiting for room or a taker.
        template <typename Reserve, typename Sink>
        TakeStatus take_queued(std::size_t limit, Reserve&& reserve, Sink&& sink) {
            auto& s = *shared_;
            {
                std::lock_guard lock(s.mutex);
                if (s.count == 0) return s.producer_alive ? TakeStatus::Empty : TakeStatus::Disconnected;
                const std::size_t n = std::min(limit, s.count);
                reserve(n);
                for (std::size_t i = 0; i < n; ++i) sink(s.pop());
            }
            s.room_or_taker.notify_one();
            return TakeStatus::Taken;
        }

        std::shared_ptr<Shared> shared_;
    };

    // Throws std::bad_alloc (or std::length_error) when the storage cannot be reserved.
    static std::pair<Producer, Consumer> create(std::size_t capacity) {
        auto shared = std::make_shared<Shared>(capacity);
        return {Producer(shared), Consumer(shared)};
    }
};

}  // namespace tiltwick
