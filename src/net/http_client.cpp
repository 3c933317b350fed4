#include "net/http_client.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <optional>

#include "net/winhttp_handle.h"

namespace zelk {
namespace {

constexpr wchar_t kUserAgent[] = L"Zelk-Boot/1.0";
constexpr DWORD kHostUnits = 256;
constexpr DWORD kPathUnits = 2048;

// Each phase of a request is bounded; 30 s without data ends a stalled download.
constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kReceiveTimeoutMs = 30000;

// Makes room for `needed` bytes. Growth doubles for amortised appends but never
// goes past maxBytes, so a body capped at N never holds more than N bytes.
// An allocation failure is a failed download, not a crash.
bool makeRoom(std::vector<std::uint8_t>& body, std::uint64_t needed, std::uint64_t maxBytes) {
    try {
        if (needed > body.capacity()) {
            const std::uint64_t doubled = 2 * static_cast<std::uint64_t>(body.capacity());
            body.reserve(static_cast<std::size_t>(std::min(std::max(needed, doubled), maxBytes)));
        }
        body.resize(static_cast<std::size_t>(needed));
    } catch (const std::exception&) {  // bad_alloc, or length_error past max_size()
        return false;
    }
    return true;
}

bool reserveOnce(std::vector<std::uint8_t>& body, std::uint64_t bytes) {
    try {
        body.reserve(static_cast<std::size_t>(bytes));
    } catch (const std::exception&) {  // bad_alloc, or length_error past max_size()
        return false;
    }
    return true;
}

// A response header's value; "?" when it is present but too long to matter here.
std::optional<std::wstring> header(HINTERNET request, DWORD which) {
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            return std::wstring(L"?");
        }
        return std::nullopt;
    }
    return std::wstring(text, size / sizeof(wchar_t));
}

// The body length the server announced, when the bytes read can be held against
// it: not for chunked bodies, nor for encoded ones that WinHTTP may have decoded.
std::optional<std::uint64_t> announcedLength(HINTERNET request) {
    if (header(request, WINHTTP_QUERY_TRANSFER_ENCODING)) {
        return std::nullopt;
    }
    const auto encoding = header(request, WINHTTP_QUERY_CONTENT_ENCODING);
    if (encoding && _wcsicmp(encoding->c_str(), L"identity") != 0) {
        return std::nullopt;
    }
    const auto text = header(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (!text || text->empty() || text->size() > 19) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    for (wchar_t c : *text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return length;
}

// Reads the response into body; the request's status is already 200. Returns 0 or
// the error that ended the read.
DWORD readBody(HINTERNET request, std::vector<std::uint8_t>& body, const ProgressCallback& progress,
               std::uint64_t maxBytes, std::uint64_t reserveBytes) {
    body.clear();
    const std::optional<std::uint64_t> announced = announcedLength(request);
    // One allocation at the final size, never a doubling copy: the caller's
    // expected size, else the announced length. Both stay within the cap.
    const std::uint64_t reservation = reserveBytes != 0 ? reserveBytes : announced.value_or(0);
    if (reservation != 0 && !reserveOnce(body, std::min(reservation, maxBytes))) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return GetLastError();
        }
        if (available == 0) {
            // WinHTTP also ends the data quietly when the server closes early:
            // a body shorter than announced is a cut transfer, not a success.
            return !announced || body.size() == *announced ? 0 : ERROR_HANDLE_EOF;
        }
        const std::uint64_t previous = body.size();
        // Checked before reading, so an oversized response is abandoned early.
        if (available > maxBytes || previous > maxBytes - available) {
            return ERROR_FILE_TOO_LARGE;
        }
        if (!makeRoom(body, previous + available, maxBytes)) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        DWORD read = 0;
        const bool ok = WinHttpReadData(request, body.data() + previous, available, &read);
        const DWORD error = ok ? 0 : GetLastError();
        body.resize(static_cast<std::size_t>(previous + (ok ? read : 0)));
        if (!ok) {
            return error;
        }
        if (progress) {
            progress(body.size());
        }
    }
}

HttpResult Failed(DWORD error, DWORD status = 0) {
    return {false, status, error != 0 ? error : ERROR_GEN_FAILURE};
}

}  // namespace

HttpResult httpGet(const std::wstring& url, std::vector<std::uint8_t>& body,
                   const ProgressCallback& progress, std::uint64_t maxBytes,
                   std::uint64_t reserveBytes) {
    wchar_t host[kHostUnits] = {};
    wchar_t path[kPathUnits] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostUnits;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathUnits;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        return Failed(GetLastError());
    }

    // Declared in opening order, so they close request, connection, session.
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return Failed(GetLastError());
    }
    WinHttpSetTimeouts(session.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       kReceiveTimeoutMs);
    // Not every WinHTTP offers decoding (Wine refuses the option); the request
    // then simply goes out without Accept-Encoding.
    DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_DECOMPRESSION, &decompression,
                     sizeof(decompression));

    UniqueInternet connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    if (!connection) {
        return Failed(GetLastError());
    }
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure));
    if (!request) {
        return Failed(GetLastError());
    }
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return Failed(GetLastError());
    }

    // Starts at 0 so that a failed query counts as a wrong status.
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
        return {false, status, 0};
    }
    const DWORD error = readBody(request.get(), body, progress, maxBytes, reserveBytes);
    return {error == 0, status, error};
}

}  // namespace zelk
