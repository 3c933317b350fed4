#include "baseline.h"

#include <shellapi.h>

#include "common/unique.h"

namespace zelk::bench {
namespace {

struct LocalMemoryTraits {  // what CommandLineToArgvW hands out
    using Type = LPWSTR*;
    static Type empty() { return nullptr; }
    static void close(Type p) { LocalFree(p); }
};

}  // namespace

std::vector<std::wstring> Arguments() {
    int count = 0;
    Unique<LocalMemoryTraits> argv(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!argv) {
        return {};
    }
    return std::vector<std::wstring>(argv.get(), argv.get() + count);
}

bool CrackBase(const std::wstring& url, Server& server) {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        return false;
    }
    server.host = host;
    server.port = parts.nPort;
    server.path = path;
    while (!server.path.empty() && server.path.back() == L'/') {
        server.path.pop_back();
    }
    server.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

bool Connect(const Server& server, Connection& connection) {
    connection.session.reset(WinHttpOpen(L"Zelk-bench/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                         WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (connection.session) {
        connection.connection.reset(
            WinHttpConnect(connection.session.get(), server.host.c_str(), server.port, 0));
    }
    return static_cast<bool>(connection.connection);
}

UniqueInternet Get(HINTERNET connection, const Server& server, const std::wstring& suffix) {
    const std::wstring path = server.path + suffix;
    UniqueInternet request(WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              server.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request ||
        !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return {};
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
        return {};
    }
    return request;
}

}  // namespace zelk::bench
