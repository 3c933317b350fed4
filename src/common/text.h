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

// Names as Windows compares them, letter case aside: upper case by the file system's rules
// (LCMapStringEx's default casing, in the invariant locale), the same for every user, so
// that a Turkish "i" folds like any other. Every comparison of paths and names goes through
// it. Empty for empty text, or when the text cannot be mapped.
std::wstring UpperCaseName(std::wstring_view text);

// Whether two paths are written alike as the file system reads them: letter case aside
// (UpperCaseName) and "/" taken for "\". For paths that may no longer exist; SameFile
// tells apart files that do.
bool SamePathText(std::wstring_view a, std::wstring_view b);

}  // namespace zelk
