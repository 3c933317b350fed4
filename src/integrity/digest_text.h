#pragma once
// The one rule for a SHA-256 digest written as text: exactly 64 characters, each a
// digit or a lower-case letter a to f. Every digest that comes from outside (a manifest,
// the index of installed files, a partial download's file name) passes it before it is
// used at all: a digest becomes a file name and a URL, so anything else in that place
// ("..\", a drive, a "%") would name another file or another resource. Free of Windows
// headers; for UTF-8 and UTF-16 text alike.

#include <cstddef>
#include <string_view>

namespace zelk {

inline constexpr std::size_t kDigestTextLength = 64;

namespace digest_text_detail {

template <typename Char>
constexpr bool IsDigestText(std::basic_string_view<Char> text) {
    if (text.size() != kDigestTextLength) {
        return false;
    }
    for (const Char c : text) {
        if (!((c >= Char('0') && c <= Char('9')) || (c >= Char('a') && c <= Char('f')))) {
            return false;
        }
    }
    return true;
}

}  // namespace digest_text_detail

constexpr bool IsDigestText(std::string_view text) {
    return digest_text_detail::IsDigestText(text);
}
constexpr bool IsDigestText(std::wstring_view text) {
    return digest_text_detail::IsDigestText(text);
}

}  // namespace zelk
