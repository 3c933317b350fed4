#pragma once
// A second reading of the path rules, written from their description rather than
// from the code: names split with std::string, letters upper-cased one by one, every
// device name spelled out. The fuzz targets hold JudgePath and ResolvedPath to it.

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "update/path_rules.h"

namespace zelk::testing {

inline std::vector<std::string> SplitNames(const std::string& path) {
    std::vector<std::string> names(1);
    for (char c : path) {
        if (c == '/' || c == '\\') {
            names.emplace_back();
        } else {
            names.back() += c;
        }
    }
    return names;
}

inline bool ModelDevice(const std::string& name) {
    static const std::set<std::string> devices = [] {
        std::set<std::string> all = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
        for (const char* port : {"COM", "LPT"}) {
            for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9",
                                      "\xC2\xB2", "\xC2\xB3"}) {
                all.insert(std::string(port) + digit);
            }
        }
        return all;
    }();
    std::string base = name.substr(0, name.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    for (char& c : base) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return devices.count(base) != 0;
}

inline PathVerdict ModelVerdict(const std::string& path) {
    if (path.empty()) {
        return PathVerdict::Empty;
    }
    if (path[0] == '/' || path[0] == '\\') {
        return PathVerdict::Rooted;
    }
    if (path.find("..") != std::string::npos) {
        return PathVerdict::ParentStep;
    }
    if (path.find_first_of("<>:\"|?*") != std::string::npos) {
        return PathVerdict::ForbiddenCharacter;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return PathVerdict::ForbiddenCharacter;
        }
    }
    for (const std::string& name : SplitNames(path)) {
        if (name.empty()) {
            return PathVerdict::EmptyName;
        }
        if (name == ".") {
            return PathVerdict::DotName;
        }
        if (name.back() == '.' || name.back() == ' ') {
            return PathVerdict::TrailingDotOrSpace;
        }
        if (ModelDevice(name)) {
            return PathVerdict::DeviceName;
        }
    }
    return PathVerdict::Usable;
}

// Windows' resolution of a relative path below a folder, or "" for a path that is
// never touched.
inline std::string ModelResolved(const std::string& path) {
    const PathVerdict verdict = ModelVerdict(path);
    if (verdict == PathVerdict::Empty || verdict == PathVerdict::Rooted ||
        verdict == PathVerdict::ParentStep || verdict == PathVerdict::ForbiddenCharacter) {
        return "";
    }
    std::vector<std::string> names = SplitNames(path);
    const bool folder = names.back().empty();  // the path ends with a separator
    std::string resolved;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string name = names[i];
        if (name.empty() || name == ".") {
            continue;
        }
        if (i + 1 == names.size() && !folder) {
            name.erase(name.find_last_not_of(". ") + 1);
        } else if (name.back() == '.') {
            name.pop_back();
        }
        resolved += (resolved.empty() ? "" : "\\") + name;
    }
    return ModelVerdict(resolved) == PathVerdict::Usable ? resolved : "";
}

}  // namespace zelk::testing
