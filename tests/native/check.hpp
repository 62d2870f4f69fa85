#pragma once
// A minimal test registry and CHECK macro for the native tests (no framework needed).

#include <cstdio>
#include <vector>

namespace native_test {

struct TestCase {
    const char* name;
    void (*body)();
};

inline std::vector<TestCase>& registry() {
    static std::vector<TestCase> tests;
    return tests;
}

// Failed checks of the test that is running.
inline int& current_failures() {
    static int failures = 0;
    return failures;
}

struct Register {
    Register(const char* name, void (*body)()) { registry().push_back({name, body}); }
};

}  // namespace native_test

#define TEST(name)                                                                  \
    static void name();                                                             \
    static const native_test::Register register_##name{#name, name};                \
    static void name()

#define CHECK(condition)                                                                        \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "  %s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #condition); \
            ++native_test::current_failures();                                                  \
        }                                                                                       \
    } while (false)

// Checks a condition that later checks depend on; returns from the test when it fails.
#define REQUIRE(condition)                 \
    do {                                   \
        const bool ok_ = (condition);      \
        CHECK(ok_);                        \
        if (!ok_) return;                  \
    } while (false)
