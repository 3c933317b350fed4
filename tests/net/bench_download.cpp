// bench_download <base URL> <list file>: downloads every file of the list through
// downloadContent (streamed to a file and hashed as it arrives, one session for the
// run) from one server and prints, per group of
// the list, the throughput and the process's peak working set. Each line of the
// list is "<group> <sha256> <size>"; files of a group are contiguous. Exit code 1
// when any download fails. Run by tools/bench-download.

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/content.h"

namespace {

struct Entry {
    std::string group;
    std::string digest;
    std::uint64_t size = 0;
};

double PeakWorkingSetMiB() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return -1;
    }
    return static_cast<double>(counters.PeakWorkingSetSize) / 1048576.0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fputs("usage: bench_download <base URL> <list file>\n", stderr);
        return 2;
    }
    const std::wstring base = argv[1];
    std::ifstream in{std::filesystem::path(argv[2])};
    std::vector<Entry> entries;
    Entry entry;
    while (in >> entry.group >> entry.digest >> entry.size) {
        entries.push_back(entry);
    }
    if (entries.empty()) {
        std::fputs("empty list\n", stderr);
        return 2;
    }
    std::printf("start peak_working_set_mib=%.1f\n", PeakWorkingSetMiB());
    const zelk::HttpSession session = zelk::OpenHttpSession();
    std::error_code ignored;
    const std::filesystem::path partial =
        std::filesystem::temp_directory_path(ignored) /
        (L"zelk-bench-download-" + std::to_wstring(GetCurrentProcessId()));
    bool allGood = true;
    for (std::size_t first = 0; first < entries.size();) {
        std::size_t last = first;
        std::uint64_t bytes = 0;
        int failed = 0;
        const auto start = std::chrono::steady_clock::now();
        for (; last < entries.size() && entries[last].group == entries[first].group; ++last) {
            if (zelk::downloadContent(session, {base}, entries[last].digest, entries[last].size,
                                      partial, {})
                    .ok) {
                bytes += entries[last].size;
            } else {
                ++failed;
            }
            DeleteFileW(partial.c_str());
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf(
            "group=%s files=%zu failed=%d bytes=%llu seconds=%.3f mib_per_s=%.1f "
            "peak_working_set_mib=%.1f\n",
            entries[first].group.c_str(), last - first, failed,
            static_cast<unsigned long long>(bytes), seconds,
            seconds > 0 ? static_cast<double>(bytes) / 1048576.0 / seconds : 0.0,
            PeakWorkingSetMiB());
        std::fflush(stdout);
        allGood = allGood && failed == 0;
        first = last;
    }
    return allGood ? 0 : 1;
}
