#pragma once
// Owner of WinHTTP handles: sessions, connections and requests alike.

#include <windows.h>
#include <winhttp.h>  // never together with wininet.h: their INTERNET_SCHEME clashes

#include "common/unique.h"

namespace zelk {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type empty() { return nullptr; }
    static void close(Type h) { WinHttpCloseHandle(h); }
};
using UniqueInternet = Unique<InternetHandleTraits>;

}  // namespace zelk
