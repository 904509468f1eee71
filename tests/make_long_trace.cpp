// Writes the trace of a long bench session without waiting for it: FRAMES
// frames (codes 0, 1, 2 ... wrapping at 128) spread evenly over SECONDS
// seconds, their words 1 us apart as on a motherboard port.
//   make-long-trace FILE FRAMES SECONDS
#include "FrameWords.h"

#include "watch/VcdTrace.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make-long-trace FILE FRAMES SECONDS\n");
        return 2;
    }
    const long frames = std::atol(argv[2]);
    const std::uint64_t span = std::strtoull(argv[3], nullptr, 10) * 1'000'000'000ull;
    auto trace = VcdTrace::create(argv[1], "make-long-trace");
    for (long f = 0; f < frames; ++f) {
        const std::uint64_t start = frames > 1 ? span / std::uint64_t(frames - 1) * f : 0;
        std::uint64_t at = start;
        for (const auto word : frameFor(int(f % 128))) {
            trace->recordAt(at, word);
            at += 1000;
        }
    }
    trace->close();
    return 0;
}
