#pragma once
// What the benchmark's baseline programs share: their arguments, and the WinHTTP steps
// of one session and one connection per run, one request per resource, no options
// beyond the defaults.

#include <string>
#include <vector>

#include "net/winhttp_handle.h"

namespace zelk::bench {

// The command line split as CommandLineToArgvW does; argument 0 is the program.
std::vector<std::wstring> Arguments();

struct Server {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // the base URL's path, without a trailing slash
    bool secure = false;
};

// Splits an http or https base URL such as "http://127.0.0.1:8080/updates".
bool CrackBase(const std::wstring& url, Server& server);

// One session and one connection to the server, for every request of a run. The
// session has the same proxy setting as the program under test, so both take Wine's
// same path. Empty holders when either cannot be opened.
struct Connection {
    UniqueInternet session;  // closed after the connection, as declared before it
    UniqueInternet connection;
};
bool Connect(const Server& server, Connection& connection);

// Sends a GET for server.path + suffix and waits for the answer; an empty holder
// unless the status is 200.
UniqueInternet Get(HINTERNET connection, const Server& server, const std::wstring& suffix);

}  // namespace zelk::bench
