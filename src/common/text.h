#pragma once
// UTF-8 <-> UTF-16 for paths, URLs and texts shown to the user.

#include <string>
#include <string_view>

namespace zelk {

// Invalid sequences become U+FFFD, as MultiByteToWideChar does without flags.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// "/" written as "\": Windows takes both as a separator, so paths are compared so.
std::wstring WithBackslashes(std::wstring text);

}  // namespace zelk
