// BoundedQueue: FIFO of capacity N, waiting puts, the capacity-0 rendezvous, and the two
// ends noticing each other's departure.

#include <atomic>
#include <chrono>
#include <thread>

#include "check.hpp"
#include "client/bounded_queue.hpp"

using namespace tiltwick;
using Queue = BoundedQueue<int>;

namespace {

constexpr auto settle = std::chrono::milliseconds(50);

// Takes one entry, retrying for up to two seconds while the queue is empty.
TakeStatus take_soon(Queue::Consumer& consumer, std::optional<int>& out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const auto status = consumer.try_take(out);
        if (status != TakeStatus::Empty || std::chrono::steady_clock::now() > deadline) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

TEST(capacity_n_is_fifo) {
    auto [producer, consumer] = Queue::create(3);
    std::optional<int> out;
    CHECK(consumer.try_take(out) == TakeStatus::Empty);
    for (int i = 1; i <= 3; ++i) CHECK(producer.put(i));
    for (int i = 1; i <= 3; ++i) {
        out.reset();
        REQUIRE(consumer.try_take(out) == TakeStatus::Taken);
        CHECK(out == i);
    }
    CHECK(consumer.try_take(out) == TakeStatus::Empty);
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
    std::optional<int> out;
    CHECK(consumer.try_take(out) == TakeStatus::Taken);
    CHECK(out == 1);
    putter.join();
    CHECK(returned);
    CHECK(result);
    out.reset();
    CHECK(consumer.try_take(out) == TakeStatus::Taken);
    CHECK(out == 2);
}

TEST(capacity_zero_is_a_rendezvous) {
    auto [producer, consumer] = Queue::create(0);
    std::optional<int> out;
    CHECK(consumer.try_take(out) == TakeStatus::Empty);  // no put waiting
    std::atomic<bool> returned{false};
    bool result = false;
    std::thread putter([&, &p = producer] {
        result = p.put(7);
        returned = true;
    });
    std::this_thread::sleep_for(settle);
    CHECK(!returned);  // the put waits for its entry to be taken
    CHECK(take_soon(consumer, out) == TakeStatus::Taken);
    CHECK(out == 7);
    putter.join();
    CHECK(result);
    out.reset();
    CHECK(consumer.try_take(out) == TakeStatus::Empty);
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
    std::optional<int> out;
    CHECK(consumer.try_take(out) == TakeStatus::Taken);
    CHECK(out == 10);
    out.reset();
    CHECK(consumer.try_take(out) == TakeStatus::Taken);
    CHECK(out == 11);
    out.reset();
    CHECK(consumer.try_take(out) == TakeStatus::Disconnected);
    CHECK(!out.has_value());
}
