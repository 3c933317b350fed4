#pragma once
// A fuzz target's own rules: a broken one is a finding, as a sanitizer report is.

#include <cstdio>
#include <cstdlib>

namespace zelk::testing {

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "rule broken: %s\n", what);
        std::abort();
    }
}

}  // namespace zelk::testing
