#pragma once
// The rules a relative path from a release (or from the index of installed files)
// must follow to name exactly one file below the launcher's folder, and the one
// spelling Windows resolves a path to. Free of Windows headers, so that the rules
// are fuzzed natively; they work on UTF-8 (char) and UTF-16 (wchar_t) alike.
//
// Windows reads a name differently from its text in several ways: "COM1", "aux.txt"
// or "CONIN$" open a device wherever they appear; a trailing dot or space is dropped
// ("keep.txt." is keep.txt); "." and empty names disappear ("./a", "d//x"); and a
// path too long for its buffers cannot be opened at all. A release path that any of
// these would change is refused, so that every usable path has exactly one spelling
// (apart from letter case and "/" versus "\").

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelk {

// Why a path is refused; the first rule broken, in this order.
enum class PathVerdict {
    Usable,
    Empty,               // ""
    Rooted,              // starts with "\" or "/"
    ParentStep,          // ".." anywhere, also inside a name such as a..b
    ForbiddenCharacter,  // a control character or one of < > : " | ? *
    EmptyName,           // "a//b", a trailing separator
    DotName,             // "." as a name
    TrailingDotOrSpace,  // a name ending with "." or " "
    DeviceName,          // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and ¹²³), CONIN$, CONOUT$
};

// The longest path Windows opens without the "\\?\" form (MAX_PATH less its
// terminating zero), and the longest folder CreateDirectoryW makes (it keeps room
// for an 8.3 name below it).
inline constexpr std::size_t kLongestOpenablePath = 259;
inline constexpr std::size_t kLongestCreatableFolder = 247;
// A file is written as its name + ".tmp" first, then renamed.
inline constexpr std::size_t kTemporarySuffixLength = 4;

namespace path_rules_detail {

template <typename Char>
constexpr bool IsSeparator(Char c) {
    return c == Char('\\') || c == Char('/');
}

template <typename Char>
constexpr Char AsciiUpper(Char c) {
    return (c >= Char('a') && c <= Char('z')) ? Char(c - Char('a') + Char('A')) : c;
}

template <typename Char>
bool EqualsAsciiUpper(std::basic_string_view<Char> text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (AsciiUpper(text[i]) != Char(upper[i])) {
            return false;
        }
    }
    return true;
}

// One digit as Windows accepts it after COM or LPT: 0-9, or a superscript 1, 2 or 3
// (U+00B9, U+00B2, U+00B3; two bytes each in UTF-8).
template <typename Char>
bool IsPortDigit(std::basic_string_view<Char> rest) {
    if (rest.size() == 1 && rest[0] >= Char('0') && rest[0] <= Char('9')) {
        return true;
    }
    if constexpr (sizeof(Char) == 1) {
        return rest.size() == 2 && static_cast<unsigned char>(rest[0]) == 0xC2 &&
               (static_cast<unsigned char>(rest[1]) == 0xB9 ||
                static_cast<unsigned char>(rest[1]) == 0xB2 ||
                static_cast<unsigned char>(rest[1]) == 0xB3);
    } else {
        return rest.size() == 1 &&
               (rest[0] == Char(0xB9) || rest[0] == Char(0xB2) || rest[0] == Char(0xB3));
    }
}

// A device name opens the device whatever follows its first dot, and spaces before
// that dot are dropped too ("con .txt" is CON).
template <typename Char>
bool IsDeviceName(std::basic_string_view<Char> name) {
    std::basic_string_view<Char> base = name.substr(0, name.find(Char('.')));
    while (!base.empty() && base.back() == Char(' ')) {
        base.remove_suffix(1);
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsAsciiUpper(base, device)) {
            return true;
        }
    }
    if (base.size() < 4) {
        return false;
    }
    const std::basic_string_view<Char> prefix = base.substr(0, 3);
    return (EqualsAsciiUpper(prefix, "COM") || EqualsAsciiUpper(prefix, "LPT")) &&
           IsPortDigit(base.substr(3));
}

template <typename Char>
bool IsForbidden(Char c) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    return unit < 0x20 || c == Char('<') || c == Char('>') || c == Char(':') || c == Char('"') ||
           c == Char('|') || c == Char('?') || c == Char('*');
}

}  // namespace path_rules_detail

template <typename Char>
PathVerdict JudgePath(std::basic_string_view<Char> path) {
    using namespace path_rules_detail;
    if (path.empty()) {
        return PathVerdict::Empty;
    }
    if (IsSeparator(path.front())) {
        return PathVerdict::Rooted;
    }
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        if (path[i] == Char('.') && path[i + 1] == Char('.')) {
            return PathVerdict::ParentStep;
        }
    }
    for (Char c : path) {
        if (IsForbidden(c)) {
            return PathVerdict::ForbiddenCharacter;
        }
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        const std::basic_string_view<Char> name = path.substr(start, end - start);
        if (name.empty()) {
            return PathVerdict::EmptyName;
        }
        if (name.size() == 1 && name[0] == Char('.')) {
            return PathVerdict::DotName;
        }
        if (name.back() == Char('.') || name.back() == Char(' ')) {
            return PathVerdict::TrailingDotOrSpace;
        }
        if (IsDeviceName(name)) {
            return PathVerdict::DeviceName;
        }
        if (end == path.size()) {
            return PathVerdict::Usable;
        }
        start = end + 1;
    }
}

template <typename Char>
bool IsSafeRelativePath(std::basic_string_view<Char> path) {
    return JudgePath(path) == PathVerdict::Usable;
}

// Whether a usable path, placed below a folder of folderLength characters (code
// units: UTF-16 on Windows) and a separator, can be written there: the file with its
// temporary suffix within what Windows opens, its folder within what it creates.
template <typename Char>
bool FitsBelow(std::size_t folderLength, std::basic_string_view<Char> path) {
    using namespace path_rules_detail;
    std::size_t lastSeparator = std::basic_string_view<Char>::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsSeparator(path[i])) {
            lastSeparator = i;
        }
    }
    const std::size_t full = folderLength + 1 + path.size();
    if (full + kTemporarySuffixLength > kLongestOpenablePath) {
        return false;
    }
    return lastSeparator == std::basic_string_view<Char>::npos ||
           folderLength + 1 + lastSeparator <= kLongestCreatableFolder;
}

// The path as Windows resolves it when it is given below a folder, with "\" between
// names: "/" is a separator, runs of separators and "." names disappear, a name that
// ends with one dot loses it, and the last name loses every trailing dot and space
// (unless the path ends with a separator). Empty when the text could name something
// outside the folder or the resolved path is not usable itself (a device, say): such
// a path is never compared with another, written or removed.
template <typename Char>
std::basic_string<Char> ResolvedPath(std::basic_string_view<Char> path) {
    using namespace path_rules_detail;
    const PathVerdict raw = JudgePath(path);
    if (raw == PathVerdict::Empty || raw == PathVerdict::Rooted || raw == PathVerdict::ParentStep ||
        raw == PathVerdict::ForbiddenCharacter) {
        return {};
    }
    const bool endsWithSeparator = IsSeparator(path.back());
    std::basic_string<Char> resolved;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        std::basic_string_view<Char> name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || (name.size() == 1 && name[0] == Char('.'))) {
            continue;
        }
        if (end == path.size() && !endsWithSeparator) {
            while (!name.empty() && (name.back() == Char('.') || name.back() == Char(' '))) {
                name.remove_suffix(1);
            }
        } else if (name.back() == Char('.')) {
            name.remove_suffix(1);
        }
        if (!resolved.empty()) {
            resolved += Char('\\');
        }
        resolved += name;
    }
    if (JudgePath(std::basic_string_view<Char>(resolved)) != PathVerdict::Usable) {
        return {};
    }
    return resolved;
}

}  // namespace zelk
