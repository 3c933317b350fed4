// libFuzzer target for the path rules: the verdict on a release path, the length
// rule and the resolution Windows gives a path. Beyond what the sanitizers catch, it
// holds each against a model written apart from the code (path_model.h), checks
// that UTF-8 and UTF-16 agree, that a usable path is its own resolution and that a
// resolution is usable and stable. Inputs are built around the names of the shared
// table of cases, so that device names, dots and separators meet often.

#include "update/path_rules.h"
#include "path_cases.h"
#include "path_model.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using zelk::PathVerdict;
using zelk::testing::Check;

// Valid UTF-8 decoded to code points, or false (then only the UTF-8 side is held).
bool Decode(const std::string& utf8, std::wstring& wide) {
    wide.clear();
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : 0;
        if (length == 0 || i + length > utf8.size()) {
            return false;
        }
        unsigned point = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            point = point << 6 | (next & 0x3F);
        }
        if ((length == 2 && point < 0x80) || (length == 3 && point < 0x800)) {
            return false;  // overlong: the same character has a shorter form
        }
        wide += static_cast<wchar_t>(point);
        i += length;
    }
    return true;
}

std::string WithBackslashes(std::string path) {
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

void CheckPath(const std::string& path, std::size_t folderLength) {
    const PathVerdict verdict = zelk::JudgePath(std::string_view(path));
    Check(verdict == zelk::testing::ModelVerdict(path), "a verdict unlike the model's");
    const std::string resolved = zelk::ResolvedPath(std::string_view(path));
    Check(resolved == zelk::testing::ModelResolved(path), "a resolution unlike the model's");
    if (verdict == PathVerdict::Usable) {
        Check(resolved == WithBackslashes(path), "a usable path is not its own resolution");
    }
    if (!resolved.empty()) {
        Check(zelk::IsSafeRelativePath(std::string_view(resolved)), "an unusable resolution");
        Check(zelk::ResolvedPath(std::string_view(resolved)) == resolved,
              "a resolution resolves again to something else");
    }

    std::size_t lastSeparator = std::string::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        lastSeparator = (path[i] == '/' || path[i] == '\\') ? i : lastSeparator;
    }
    const bool fits =
        folderLength + 1 + path.size() + 4 <= 259 &&
        (lastSeparator == std::string::npos || folderLength + 1 + lastSeparator <= 247);
    Check(zelk::FitsBelow(folderLength, std::string_view(path)) == fits, "a length misjudged");

    std::wstring wide;
    if (Decode(path, wide)) {
        Check(zelk::JudgePath(std::wstring_view(wide)) == verdict, "UTF-16 judged unlike UTF-8");
        std::wstring wideResolved;
        Check(Decode(resolved, wideResolved) &&
                  zelk::ResolvedPath(std::wstring_view(wide)) == wideResolved,
              "UTF-16 resolved unlike UTF-8");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    CheckPath(raw, size);
    if (size < 2) {
        return 0;
    }
    // A row of the table before, after or around the rest of the input.
    constexpr std::size_t rows = std::size(zelk::testing::kPathCases);
    const std::string name(zelk::testing::kPathCases[data[0] % rows].path);
    const std::string rest = raw.substr(2);
    switch (data[1] % 4) {
        case 0:
            CheckPath(name + "/" + rest, data[1]);
            break;
        case 1:
            CheckPath(rest + "\\" + name, data[1]);
            break;
        case 2:
            CheckPath(rest + name, data[1]);
            break;
        default:
            CheckPath(rest + "/" + name + "/" + rest, data[1]);
            break;
    }
    return 0;
}
