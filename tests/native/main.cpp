// Runs every registered native test and prints "N passed, M failed"; non-zero exit on failure.

#include "check.hpp"

int main() {
    int passed = 0;
    int failed = 0;
    for (const auto& test : native_test::registry()) {
        native_test::current_failures() = 0;
        test.body();
        if (native_test::current_failures() == 0) {
            ++passed;
        } else {
            ++failed;
            std::fprintf(stderr, "FAILED: %s\n", test.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
