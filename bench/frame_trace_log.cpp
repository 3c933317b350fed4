// The hooks of splash/frame_trace.h as Zelk-trace.exe has them. Each event is stamped
// with QueryPerformanceCounter into an array reserved up front, so that recording
// allocates nothing and takes no lock beyond the status lock its callers hold, and
// the record is written at exit to the file that ZELK_FRAME_TRACE names (nothing is
// written when it is unset), one event a line:
//
//     frequency <counter ticks per second>
//     status <ticks> <version>   SetStatus made this status version (1, 2, ...)
//     frame <ticks> <version>    a frame showing this version reached the window
//     flow <ticks> 0             the update flow ended
//     closed <ticks> 0           the window was destroyed
//     dropped <count>            events past the array's end: the record is incomplete
//
// Version 0 is the status the program starts with.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/win_handles.h"
#include "splash/frame_trace.h"

namespace zelk {
namespace {

enum class Kind : std::uint8_t { Status, Frame, Flow, Closed };

struct Event {
    std::int64_t ticks;
    std::uint32_t version;
    Kind kind;
};

// A 256 MiB download reports progress a few tens of thousands of times; pages of
// the array are only touched as they fill.
constexpr std::size_t kCapacity = std::size_t{1} << 20;
Event events[kCapacity];
std::atomic<std::size_t> eventCount{0};

// Both change under the status lock, so a copied version is exactly what was drawn.
std::atomic<std::uint32_t> statusVersion{0};
std::atomic<std::uint32_t> copiedVersion{0};

void Record(Kind kind, std::uint32_t version) {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const std::size_t slot = eventCount.fetch_add(1, std::memory_order_relaxed);
    if (slot < kCapacity) {
        events[slot] = Event{now.QuadPart, version, kind};
    }
}

std::wstring TracePath() {
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetEnvironmentVariableW(L"ZELK_FRAME_TRACE", path.data(), static_cast<DWORD>(path.size()));
    path.resize(length < path.size() ? length : 0);
    return path;
}

void WriteTrace() {
    const std::wstring path = TracePath();
    if (path.empty()) {
        return;
    }
    static constexpr const char* kNames[] = {"status", "frame", "flow", "closed"};
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    const std::size_t total = eventCount.load();
    const std::size_t kept = total < kCapacity ? total : kCapacity;
    std::string text = "frequency " + std::to_string(frequency.QuadPart) + "\n";
    for (std::size_t i = 0; i < kept; ++i) {
        text += kNames[static_cast<int>(events[i].kind)];
        text += ' ';
        text += std::to_string(events[i].ticks);
        text += ' ';
        text += std::to_string(events[i].version);
        text += '\n';
    }
    text += "dropped " + std::to_string(total - kept) + "\n";
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
}

// Destroyed at exit, after the entry point has joined the worker.
struct WriteAtExit {
    WriteAtExit() = default;
    WriteAtExit(const WriteAtExit&) = delete;
    WriteAtExit& operator=(const WriteAtExit&) = delete;
    ~WriteAtExit() { WriteTrace(); }
} writeAtExit;

}  // namespace

void TraceStatusChanged() {
    Record(Kind::Status, statusVersion.fetch_add(1, std::memory_order_relaxed) + 1);
}

void TraceStatusCopied() {
    copiedVersion.store(statusVersion.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void TraceFrameDrawn() {
    Record(Kind::Frame, copiedVersion.load(std::memory_order_relaxed));
}

void TraceFlowFinished() {
    Record(Kind::Flow, 0);
}

void TraceWindowClosed() {
    Record(Kind::Closed, 0);
}

}  // namespace zelk
