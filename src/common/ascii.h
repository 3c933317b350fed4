#pragma once
// Letter case folded for A to Z only. Names the program compares this way (its own
// files, process names, the zelk:// scheme) are ASCII; folding more would make the
// answer depend on the platform's case tables.

#include <string_view>

namespace zelk {

constexpr wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c;
}

constexpr bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace zelk
