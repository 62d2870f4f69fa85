// epoch_ms and wall_clock_ms: milliseconds since the Unix epoch as 64 bits, also on targets
// whose time_t and long are 32 bits wide (readings past 2038 and past 2^32 seconds must not
// wrap), nanoseconds truncated, readings before the epoch refused with how far before.

#include <chrono>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "client/wall_clock.hpp"

using tiltwick::epoch_ms;
using tiltwick::wall_clock_ms;

namespace {

struct Reading {
    std::int64_t seconds;
    std::int64_t nanoseconds;
    std::uint64_t milliseconds;
};

struct Before {
    std::int64_t seconds;
    std::int64_t nanoseconds;
    const char* distance;  // as the error text writes it
};

}  // namespace

TEST(epoch_ms_is_exact_for_readings_past_32_bit_seconds) {
    constexpr Reading readings[] = {
        {0, 0, 0},
        {2147483647, 999999999, 2147483647999ULL},          // last second a signed 32-bit time_t holds
        {2147483648, 0, 2147483648000ULL},                  // first second past it (2038-01-19)
        {2147483648LL + 12345, 999999999, 2147495993999ULL},
        {4102444800, 999999999, 4102444800999ULL},          // 2100-01-01
        {4294967296LL + 1, 500000000, 4294967297500ULL},    // past an unsigned 32-bit count
        {253402300799LL, 999999999, 253402300799999ULL},    // 9999-12-31T23:59:59.999
    };
    for (const auto& r : readings) {
        const auto ms = epoch_ms(r.seconds, r.nanoseconds);
        REQUIRE(ms.has_value());
        if (*ms != r.milliseconds) {
            std::fprintf(stderr, "  epoch_ms(%lld, %lld) = %llu, expected %llu\n", static_cast<long long>(r.seconds),
                         static_cast<long long>(r.nanoseconds), static_cast<unsigned long long>(*ms),
                         static_cast<unsigned long long>(r.milliseconds));
        }
        CHECK(*ms == r.milliseconds);
    }
}

TEST(epoch_ms_truncates_the_nanoseconds_part) {
    constexpr Reading readings[] = {
        {1, 999999, 1000},        // just under a millisecond: not rounded up
        {0, 1999999, 1},
        {0, 1000000, 1},
        {7, 999999999, 7999},     // just under the next second
        {2147483648LL, 999999, 2147483648000ULL},
    };
    for (const auto& r : readings) {
        const auto ms = epoch_ms(r.seconds, r.nanoseconds);
        REQUIRE(ms.has_value());
        CHECK(*ms == r.milliseconds);
    }
}

TEST(epoch_ms_refuses_readings_before_the_epoch_saying_how_far) {
    constexpr Before readings[] = {
        {-1, 0, "1.000000000"},
        {-2, 500000000, "1.500000000"},          // -2 s + 0.5 s reads 1.5 s before
        {-1, 999999999, "0.000000001"},
        {-2147483648LL - 5, 0, "2147483653.000000000"},  // wider than a 32-bit long
    };
    for (const auto& r : readings) {
        const auto ms = epoch_ms(r.seconds, r.nanoseconds);
        REQUIRE(!ms.has_value());
        const std::string expected = std::string("the clock reads ") + r.distance + " s before the Unix epoch";
        if (ms.error() != expected) std::fprintf(stderr, "  got \"%s\"\n  want \"%s\"\n", ms.error().c_str(), expected.c_str());
        CHECK(ms.error() == expected);
    }
}

TEST(wall_clock_ms_agrees_with_the_system_clock) {
    using namespace std::chrono;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const auto now = wall_clock_ms();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    REQUIRE(now.has_value());
    CHECK(*now > 1577836800000ULL);  // after 2020-01-01: not a wrapped or truncated count
    CHECK(static_cast<long long>(*now) >= static_cast<long long>(before) - 1);
    CHECK(static_cast<long long>(*now) <= static_cast<long long>(after) + 1);
}
