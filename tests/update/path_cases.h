#pragma once
// Release paths with the verdict of the path rules and, where the index may hold
// such a spelling, the path Windows resolves it to ("" when it is never touched).
// One table for the unit test and the fuzz target: the fuzzer checks its own model
// of the rules against every row and builds its inputs around the rows' names.

#include <string_view>

#include "update/path_rules.h"

namespace zelk::testing {

struct PathCase {
    std::string_view path;  // UTF-8
    PathVerdict verdict;
    std::string_view resolved;
};

using enum PathVerdict;

inline constexpr PathCase kPathCases[] = {
    {"ZelkLauncher.exe", Usable, "ZelkLauncher.exe"},
    {"lib/a.dll", Usable, "lib\\a.dll"},
    {"lib\\a.dll", Usable, "lib\\a.dll"},
    {"dir/.hidden", Usable, "dir\\.hidden"},
    {".config/x", Usable, ".config\\x"},
    {"a.b/c", Usable, "a.b\\c"},
    {"caf\xC3\xA9/th\xC3\xA9.txt", Usable, "caf\xC3\xA9\\th\xC3\xA9.txt"},
    {"with space/a b.txt", Usable, "with space\\a b.txt"},
    {" leading", Usable, " leading"},
    {"COM10", Usable, "COM10"},  // only one digit makes a port
    {"COMA.txt", Usable, "COMA.txt"},
    {"console", Usable, "console"},
    {"LPT", Usable, "LPT"},
    {"NULL.txt", Usable, "NULL.txt"},
    {"CONOUT", Usable, "CONOUT"},
    {"x/CON1", Usable, "x\\CON1"},
    {"nul-device/aux-port", Usable, "nul-device\\aux-port"},
    {"COM\xC2\xB4", Usable, "COM\xC2\xB4"},  // an acute accent, not a superscript digit

    {"", Empty, ""},
    {"\\abs.txt", Rooted, ""},
    {"/abs.txt", Rooted, ""},
    {"\\\\server\\share\\x", Rooted, ""},
    {"app/../escape.txt", ParentStep, ""},
    {"a..b", ParentStep, ""},
    {"..", ParentStep, ""},
    {"x/..", ParentStep, ""},
    {"C:x", ForbiddenCharacter, ""},
    {"C:\\x", ForbiddenCharacter, ""},
    {"data.txt:hidden", ForbiddenCharacter, ""},
    {"a<b", ForbiddenCharacter, ""},
    {"a>b", ForbiddenCharacter, ""},
    {"say \"hi\"", ForbiddenCharacter, ""},
    {"a|b", ForbiddenCharacter, ""},
    {"what?.txt", ForbiddenCharacter, ""},
    {"*.txt", ForbiddenCharacter, ""},
    {"a\nb", ForbiddenCharacter, ""},
    {"a\r", ForbiddenCharacter, ""},
    {"\tx", ForbiddenCharacter, ""},
    {"a\x1f", ForbiddenCharacter, ""},
    {"a//b", EmptyName, "a\\b"},
    {"d//x", EmptyName, "d\\x"},
    {"dir/", EmptyName, "dir"},
    {"a\\/b", EmptyName, "a\\b"},
    {".", DotName, ""},
    {"./keep.txt", DotName, "keep.txt"},
    {"d/./x", DotName, "d\\x"},
    {"keep.txt.", TrailingDotOrSpace, "keep.txt"},
    {"keep.txt ", TrailingDotOrSpace, "keep.txt"},
    {"keep.txt. .", TrailingDotOrSpace, "keep.txt"},
    {"d./x", TrailingDotOrSpace, "d\\x"},
    {"d /x", TrailingDotOrSpace, ""},  // a folder that really ends with a space
    {". /x", TrailingDotOrSpace, ""},
    {"COM1", DeviceName, ""},
    {"com1", DeviceName, ""},
    {"COM0", DeviceName, ""},
    {"LPT9.log", DeviceName, ""},
    {"AUX", DeviceName, ""},
    {"aux.txt", DeviceName, ""},
    {"Aux.tar.gz", DeviceName, ""},
    {"con", DeviceName, ""},
    {"con .txt", DeviceName, ""},
    {"PRN.", TrailingDotOrSpace, ""},  // resolves to PRN, a device
    {"nul", DeviceName, ""},
    {"lib/NUL.dll", DeviceName, ""},
    {"NUL/x.txt", DeviceName, ""},
    {"CONIN$", DeviceName, ""},
    {"conout$.txt", DeviceName, ""},
    {"COM\xC2\xB9", DeviceName, ""},
    {"lpt\xC2\xB2.txt", DeviceName, ""},
    {"LPT\xC2\xB3", DeviceName, ""},
};

}  // namespace zelk::testing
