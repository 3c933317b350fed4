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

// Upper case as the invariant locale has it: the same for every user, as the file
// system's own table is, so that a Turkish "i" folds like any other. Empty for empty
// text, or when the text cannot be mapped.
std::wstring UpperCaseName(std::wstring_view text);

// Whether two paths are written alike as the file system reads them: letter case aside
// (ordinal, as NTFS folds it) and "/" taken for "\". For paths that may no longer exist;
// SameFile tells apart files that do.
bool SamePathText(std::wstring_view a, std::wstring_view b);

}  // namespace zelk
