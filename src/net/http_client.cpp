#include "net/http_client.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <memory>

namespace zelk {
namespace {

constexpr wchar_t kUserAgent[] = L"Zelk-Boot/1.0";
constexpr DWORD kHostUnits = 256;
constexpr DWORD kPathUnits = 2048;

constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;

// One read moves at most this much: big enough that a fast link costs few calls,
// small enough that a transfer's memory stays the same whatever the file's size.
constexpr DWORD kChunkBytes = 1u << 20;

std::uint64_t NowMs() {
    return GetTickCount64();
}

HttpResult Failed(DWORD error, std::uint32_t status = 0) {
    return {false, status, error != 0 ? error : static_cast<std::uint32_t>(ERROR_GEN_FAILURE)};
}

// A response header's value, whole; empty when absent.
std::optional<std::wstring> Header(HINTERNET request, DWORD which) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    text.resize(size / sizeof(wchar_t));
    return text;
}

// The body length the server announced, when the bytes read can be held against it:
// not for chunked bodies, nor for encoded ones that WinHTTP may have decoded. A length
// that cannot be read at all is a broken answer (nullopt in ok).
struct Announced {
    bool ok = true;
    std::optional<std::uint64_t> length;
};

Announced AnnouncedLength(HINTERNET request) {
    if (Header(request, WINHTTP_QUERY_TRANSFER_ENCODING)) {
        return {};
    }
    const auto encoding = Header(request, WINHTTP_QUERY_CONTENT_ENCODING);
    if (encoding && _wcsicmp(encoding->c_str(), L"identity") != 0) {
        return {};
    }
    const auto text = Header(request, WINHTTP_QUERY_CONTENT_LENGTH);
    if (!text) {
        return {};
    }
    const std::optional<std::uint64_t> length = ParseContentLength(*text);
    return {length.has_value(), length};
}

// Opens, sends and waits for the answer's headers. Empty holder (and the error) when
// any step fails.
UniqueInternet Send(const HttpSession& session, const HttpRequest& how, DWORD& error) {
    wchar_t host[kHostUnits] = {};
    wchar_t path[kPathUnits] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostUnits;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kPathUnits;
    if (!WinHttpCrackUrl(how.url.c_str(), 0, 0, &parts)) {
        error = GetLastError();
        return {};
    }
    // The connection handle only names the server: the session's pool keeps the sockets,
    // so it may close as soon as the request is open.
    UniqueInternet connection(WinHttpConnect(session.handle.get(), host, parts.nPort, 0));
    if (!connection) {
        error = GetLastError();
        return {};
    }
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure));
    if (!request) {
        error = GetLastError();
        return {};
    }
    // Per request, so that every request of the shared session has its own bounds. The
    // wait for the headers has a time-out of its own (90 s unless set): without it a
    // server that accepts and never answers would hold the whole update.
    const int receive = static_cast<int>(how.limits.receiveTimeoutMs);
    WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       receive);
    DWORD responseTimeout = how.limits.receiveTimeoutMs;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    std::wstring headers;
    if (how.offset != 0) {
        // Byte offsets name the file as stored, so a range is asked for without any
        // content encoding (no decoding is requested for it).
        headers = RangeHeader(how.offset);
    } else {
        // Not every WinHTTP offers decoding (Wine refuses the option); the request
        // then simply goes out without Accept-Encoding.
        DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_DECOMPRESSION, &decompression,
                         sizeof(decompression));
    }
    if (!WinHttpSendRequest(request.get(),
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        error = GetLastError();
        return {};
    }
    return request;
}

// The block a thread reads into, kept for the thread's life: a transfer thread fetches
// one file after another, and a fresh megabyte per file would cost more than the read.
std::uint8_t* ReadBuffer() {
    thread_local std::unique_ptr<std::uint8_t[]> buffer;
    if (!buffer) {
        try {
            buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunkBytes);
        } catch (const std::exception&) {  // bad_alloc
            return nullptr;
        }
    }
    return buffer.get();
}

}  // namespace

HttpSession OpenHttpSession() {
    return {UniqueInternet(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0))};
}

HttpResult httpFetch(const HttpSession& session, const HttpRequest& how, const AnswerCheck& wanted,
                     const ChunkSink& sink) {
    if (!session.handle) {
        return Failed(ERROR_INVALID_HANDLE);
    }
    const std::uint64_t started = NowMs();
    DWORD error = 0;
    UniqueInternet request = Send(session, how, error);
    if (!request) {
        return Failed(error);
    }

    // Starts at 0 so that a failed query counts as a wrong status.
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    HttpAnswer answer;
    answer.status = status;
    const Announced announced = AnnouncedLength(request.get());
    if (!announced.ok) {
        return Failed(ERROR_WINHTTP_INVALID_HEADER, status);
    }
    answer.length = announced.length;
    if (status == 206) {
        if (const auto range = Header(request.get(), WINHTTP_QUERY_CONTENT_RANGE)) {
            answer.range = ParseContentRange(*range);
        }
    }
    if (!wanted(answer)) {
        return {false, status, 0};
    }

    std::uint8_t* const buffer = ReadBuffer();
    if (buffer == nullptr) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY, status);
    }
    TransferPace pace(how.limits.lowSpeedBytes, how.limits.lowSpeedWindowMs, NowMs());
    std::uint64_t received = 0;
    for (;;) {
        if (how.cancel != nullptr && how.cancel->load()) {
            return Failed(ERROR_CANCELLED, status);
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            return Failed(GetLastError(), status);
        }
        if (available == 0) {
            // WinHTTP also ends the data quietly when the server closes early: a body
            // shorter than announced is a cut transfer, not a success.
            if (answer.length && received != *answer.length) {
                return Failed(ERROR_HANDLE_EOF, status);
            }
            return {true, status, 0};
        }
        // Checked before reading, so an oversized response is abandoned early.
        if (available > how.maxBytes || received > how.maxBytes - available) {
            return Failed(ERROR_FILE_TOO_LARGE, status);
        }
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer, std::min(available, kChunkBytes), &read)) {
            return Failed(GetLastError(), status);
        }
        received += read;
        SetLastError(ERROR_WRITE_FAULT);
        if (read != 0 && !sink(std::span<const std::uint8_t>(buffer, read))) {
            return Failed(GetLastError(), status);
        }
        const std::uint64_t now = NowMs();
        if (!pace.Keeps(received, now)) {
            return Failed(ERROR_WINHTTP_TIMEOUT, status);  // a drip: as good as a stall
        }
        if (how.limits.deadlineMs != 0 && now - started > how.limits.deadlineMs) {
            return Failed(ERROR_WINHTTP_TIMEOUT, status);
        }
    }
}

HttpResult httpGet(const HttpSession& session, const std::wstring& url,
                   std::vector<std::uint8_t>& body, const ProgressCallback& progress,
                   std::uint64_t maxBytes, const RequestLimits& limits,
                   std::uint64_t reserveBytes) {
    HttpRequest how;
    how.url = url;
    how.maxBytes = maxBytes;
    how.limits = limits;
    bool allocated = true;
    const AnswerCheck wanted = [&](const HttpAnswer& answer) {
        if (answer.status != 200) {
            return false;  // the body stays as it was
        }
        body.clear();
        // One allocation at the final size, never a doubling copy: the caller's
        // expected size, else the announced length. Both stay within the cap.
        const std::uint64_t reservation =
            std::min(reserveBytes != 0 ? reserveBytes : answer.length.value_or(0), maxBytes);
        try {
            body.reserve(static_cast<std::size_t>(reservation));
        } catch (const std::exception&) {  // bad_alloc, or length_error past max_size()
            allocated = false;
            return false;
        }
        return true;
    };
    const ChunkSink append = [&](std::span<const std::uint8_t> chunk) {
        try {
            if (body.size() + chunk.size() > body.capacity()) {
                // Doubling for amortised appends, but never past the cap.
                const std::uint64_t doubled = 2 * static_cast<std::uint64_t>(body.capacity());
                body.reserve(static_cast<std::size_t>(std::min(
                    std::max<std::uint64_t>(body.size() + chunk.size(), doubled), maxBytes)));
            }
            body.insert(body.end(), chunk.begin(), chunk.end());
        } catch (const std::exception&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (progress) {
            progress(body.size());
        }
        return true;
    };
    const HttpResult result = httpFetch(session, how, wanted, append);
    if (!allocated) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY, result.status);
    }
    return result;
}

HttpResult httpGet(const std::wstring& url, std::vector<std::uint8_t>& body,
                   const ProgressCallback& progress, std::uint64_t maxBytes,
                   std::uint64_t reserveBytes) {
    const HttpSession session = OpenHttpSession();
    return httpGet(session, url, body, progress, maxBytes, kDocumentLimits, reserveBytes);
}

}  // namespace zelk
