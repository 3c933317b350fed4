#pragma once
// Test support shared by every test program: fresh scratch folders under the
// temporary folder, and whole-file reads and writes for checking results.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace zelk::testing {

// A new empty folder under the temporary folder, or empty when none can be made.
inline std::filesystem::path MakeScratchFolder(std::wstring_view label) {
    static std::atomic<int> counter{0};
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (;;) {
        const std::filesystem::path candidate =
            base / (L"zelk-" + std::wstring(label) + L"-" + std::to_wstring(GetCurrentProcessId()) +
                    L"-" + std::to_wstring(++counter));
        if (std::filesystem::create_directories(candidate, error)) {
            return candidate;
        }
        if (error) {
            return {};
        }
    }
}

inline void RemoveTree(const std::filesystem::path& path) {
    if (!path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
}

// A scratch folder removed with everything in it at the end of its scope.
class ScratchDir {
public:
    ScratchDir() : path_(MakeScratchFolder(L"test")) {}
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() { RemoveTree(path_); }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

// Writes the file whole, creating its folders; false when that failed.
inline bool WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The whole content, or "<missing>" when the file cannot be read (so that a missing
// file never looks like an empty one).
inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "<missing>";
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace zelk::testing
