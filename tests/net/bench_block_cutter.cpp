// bench_block_cutter [MiB]: cuts MiB (default 1024) of pseudo-random bytes held in
// memory into blocks, fed 1 MiB at a time as a file read would feed them, three times,
// and prints the best throughput by the processor time the cutting took (on a shared
// machine, wall time measures the neighbours as well). The client cuts its local copy of
// a file this way before a differential download. Built natively, run by
// tools/bench-blocks.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <span>
#include <vector>

#include "net/block_cutter.h"

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    std::vector<std::uint8_t> bytes(mib << 20);
    std::uint64_t state = 1;
    for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8) {
        const std::uint64_t value = zelk::SplitMix64(state);
        for (int i = 0; i < 8; ++i) {
            bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }
    double best = 0;
    std::size_t blocks = 0;
    for (int run = 0; run < 3; ++run) {
        const std::clock_t start = std::clock();
        zelk::BlockCutter cutter;
        std::vector<std::uint64_t> ends;
        const std::span<const std::uint8_t> all(bytes);
        for (std::size_t at = 0; at < all.size(); at += 1 << 20) {
            zelk::CutBlocks(cutter,
                            all.subspan(at, std::min<std::size_t>(1 << 20, all.size() - at)), ends);
        }
        zelk::FinishBlocks(cutter, ends);
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        const double rate = static_cast<double>(bytes.size()) / 1e6 / seconds;
        best = rate > best ? rate : best;
        blocks = ends.size();
    }
    std::printf(
        "cutter: %llu MiB in %zu blocks (%.1f KiB on average), best of 3: %.0f MB/s\n",
        static_cast<unsigned long long>(mib), blocks,
        blocks ? static_cast<double>(bytes.size()) / 1024.0 / static_cast<double>(blocks) : 0.0,
        best);
    return 0;
}
