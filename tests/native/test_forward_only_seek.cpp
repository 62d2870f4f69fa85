// ForwardOnlySeek: forward moves read and discard in chunks of at most 1024 bytes, each an
// exact read; reads pass straight through.

#include "check.hpp"
#include "fakes.hpp"
#include "link/forward_only_seek.hpp"

using namespace tiltwick;
using native_test::RecordingSource;

namespace {

std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(i);
    return out;
}

}  // namespace

TEST(forward_move_of_2500_reads_chunks_1024_1024_452) {
    RecordingSource source(bytes(3000));
    ForwardOnlySeek stream(source);
    REQUIRE(stream.skip(2500).has_value());
    CHECK((source.requests == std::vector<std::size_t>{1024, 1024, 452}));
    CHECK(source.position == 2500);
    std::uint8_t next[1];
    REQUIRE(read_exact(stream, next).has_value());  // reads pass straight through
    CHECK(next[0] == static_cast<std::uint8_t>(2500));
}

TEST(failing_chunk_keeps_earlier_chunks_consumed) {
    RecordingSource source(bytes(3000));
    source.fail_at = 1500;  // the second chunk fails after 476 of its bytes
    ForwardOnlySeek stream(source);
    const auto moved = stream.skip(2500);
    REQUIRE(!moved.has_value());
    CHECK(moved.error().kind == IoErrorKind::TimedOut);
    CHECK(source.position == 1500);
    CHECK(source.requests.size() == 3);  // 1024, then 1024 served in part, then the failure
    CHECK(source.requests[0] == 1024);
}

TEST(skip_past_the_end_is_end_of_stream) {
    RecordingSource source(bytes(1100));
    ForwardOnlySeek stream(source);
    const auto skipped = stream.skip(2048);
    REQUIRE(!skipped.has_value());
    CHECK(skipped.error().kind == IoErrorKind::UnexpectedEof);
    CHECK(skipped.error().message == "failed to fill whole buffer");
    CHECK(source.position == 1100);
}
