// BoundedQueue: FIFO of capacity N, waiting puts, the capacity-0 rendezvous, and the two
// ends noticing each other's departure.

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "check.hpp"
#include "client/bounded_queue.hpp"

using namespace tiltwick;
using Queue = BoundedQueue<int>;

namespace {

constexpr auto settle = std::chrono::milliseconds(50);

using Taken = std::pair<TakeStatus, std::vector<int>>;

// What one take of everything queued gives.
Taken take_all(Queue::Consumer& consumer) {
    std::vector<int> out;
    const auto status = consumer.take_all(out);
    return {status, out};
}

// The same, retrying for up to two seconds while the queue is empty.
Taken take_soon(Queue::Consumer& consumer) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        auto taken = take_all(consumer);
        if (taken.first != TakeStatus::Empty || std::chrono::steady_clock::now() > deadline) return taken;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

const Taken empty{TakeStatus::Empty, {}};

}  // namespace

TEST(capacity_n_is_fifo) {
    auto [producer, consumer] = Queue::create(3);
    CHECK(take_all(consumer) == empty);
    for (int i = 1; i <= 3; ++i) CHECK(producer.put(i));
    CHECK((take_all(consumer) == Taken{TakeStatus::Taken, {1, 2, 3}}));
    CHECK(take_all(consumer) == empty);
}

TEST(put_waits_while_full_and_resumes_after_a_take) {
    auto [producer, consumer] = Queue::create(1);
    CHECK(producer.put(1));
    std::atomic<bool> returned{false};
    bool result = false;
    std::thread putter([&, &p = producer] {
        result = p.put(2);
        returned = true;
    });
    std::this_thread::sleep_for(settle);
    CHECK(!returned);
    CHECK((take_all(consumer) == Taken{TakeStatus::Taken, {1}}));
    putter.join();
    CHECK(returned);
    CHECK(result);
    CHECK((take_all(consumer) == Taken{TakeStatus::Taken, {2}}));
}

TEST(capacity_zero_is_a_rendezvous) {
    auto [producer, consumer] = Queue::create(0);
    CHECK(take_all(consumer) == empty);  // no put waiting
    std::atomic<bool> returned{false};
    bool result = false;
    std::thread putter([&, &p = producer] {
        result = p.put(7);
        returned = true;
    });
    std::this_thread::sleep_for(settle);
    CHECK(!returned);  // the put waits for its entry to be taken
    CHECK((take_soon(consumer) == Taken{TakeStatus::Taken, {7}}));
    putter.join();
    CHECK(result);
    CHECK(take_all(consumer) == empty);
}

TEST(consumer_drop_wakes_a_waiting_put_which_fails) {
    for (std::size_t capacity : {0, 1}) {
        auto [producer, consumer] = Queue::create(capacity);
        if (capacity == 1) CHECK(producer.put(1));
        std::optional<Queue::Consumer> held(std::move(consumer));
        std::atomic<bool> returned{false};
        bool result = true;
        std::thread putter([&, &p = producer] {
            result = p.put(2);
            returned = true;
        });
        std::this_thread::sleep_for(settle);
        CHECK(!returned);
        held.reset();
        putter.join();
        CHECK(!result);
        CHECK(!producer.put(3));  // fails at once from now on
    }
}

TEST(producer_drop_leaves_entries_then_disconnected) {
    auto [producer, consumer] = Queue::create(4);
    {
        std::optional<Queue::Producer> held(std::move(producer));
        CHECK(held->put(10));
        CHECK(held->put(11));
    }
    CHECK((take_all(consumer) == Taken{TakeStatus::Taken, {10, 11}}));
    CHECK((take_all(consumer) == Taken{TakeStatus::Disconnected, {}}));
}
