// trivial_get <base URL>: a program that does nothing but fetch <base>/manifest.json
// and <base>/manifest.sig over WinHTTP, as the baseline of an up-to-date Zelk run (the
// cost of starting a Wine process and of two loopback GETs). Exit code 0 when both
// answered 200 with a body, 1 otherwise, 2 for bad arguments. Driven by bench/run.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "baseline.h"

namespace zelk::bench {
namespace {

bool Fetch(HINTERNET connection, const Server& server, const std::wstring& suffix) {
    UniqueInternet request = Get(connection, server, suffix);
    if (!request) {
        return false;
    }
    std::vector<std::uint8_t> body;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            return false;
        }
        if (available == 0) {
            return !body.empty();
        }
        const std::size_t previous = body.size();
        body.resize(previous + available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), body.data() + previous, available, &read)) {
            return false;
        }
        body.resize(previous + read);
    }
}

int Run() {
    const std::vector<std::wstring> args = Arguments();
    Server server;
    if (args.size() != 2 || !CrackBase(args[1], server)) {
        return 2;
    }
    Connection connection;
    if (!Connect(server, connection)) {
        return 1;
    }
    const bool ok = Fetch(connection.connection.get(), server, L"/manifest.json") &&
                    Fetch(connection.connection.get(), server, L"/manifest.sig");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace zelk::bench

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return zelk::bench::Run();
}
