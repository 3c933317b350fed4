#include "net/http_client.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zelk {
namespace {

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

// A caller checks the bounds of its request this often while it waits.
constexpr DWORD kPollMs = 250;

// The part of a request its thread is in, for the bound of the wait.
enum class Phase { Sending, Waiting, Reading };

// What one request thread shares with the threads that hand it requests, owned by
// both: the thread keeps it to its end. A caller hands over one request and waits
// within the request's bounds; when one runs out it marks the request abandoned and
// returns, and the thread, once its blocked call comes back, ends without touching
// anything of the caller's. A thread that completed its request waits for the next.
struct Worker {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;

    // Under the lock: whether there is a request to run, and what became of its caller.
    bool hasJob = false;
    bool abandoned = false;  // its caller has gone: wanted and sink are no more
    bool quit = false;       // the session has ended: no more requests
    // The request, set by its caller before it hands it over; the thread closes it.
    UniqueInternet request;
    std::wstring headers;
    std::uint64_t maxBytes = 0;
    const AnswerCheck* wanted = nullptr;
    const ChunkSink* sink = nullptr;
    // Under the lock. What the thread reports.
    Phase phase = Phase::Sending;
    std::uint64_t movedAt = 0;  // when the request last moved on: a phase, or bytes
    std::uint64_t received = 0;
    std::uint32_t status = 0;
    bool done = false;
    HttpResult result;

    // The thread's own: the block every request it runs reads into.
    std::unique_ptr<std::uint8_t[]> buffer;
};

class Locked {
public:
    explicit Locked(Worker& worker) : lock_(worker.lock) { AcquireSRWLockExclusive(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK& lock_;
};

// The blocking calls of one request, on its thread. wanted and sink are called under
// the lock, and only while the caller still waits.
HttpResult Run(Worker& worker) {
    const HINTERNET request = worker.request.get();
    const std::wstring& headers = worker.headers;
    if (!WinHttpSendRequest(request,
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return Failed(GetLastError());
    }
    {
        Locked hold(worker);
        worker.phase = Phase::Waiting;
        worker.movedAt = NowMs();
    }
    if (!WinHttpReceiveResponse(request, nullptr)) {
        return Failed(GetLastError());
    }

    // Starts at 0 so that a failed query counts as a wrong status.
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                        WINHTTP_NO_HEADER_INDEX);
    HttpAnswer answer;
    answer.status = status;
    const Announced announced = AnnouncedLength(request);
    if (!announced.ok) {
        return Failed(ERROR_WINHTTP_INVALID_HEADER, status);
    }
    answer.length = announced.length;
    if (status == 206) {
        if (const auto range = Header(request, WINHTTP_QUERY_CONTENT_RANGE)) {
            answer.range = ParseContentRange(*range);
        }
    }
    {
        Locked hold(worker);
        worker.status = status;
        worker.phase = Phase::Reading;
        worker.movedAt = NowMs();
        if (worker.abandoned || !(*worker.wanted)(answer)) {
            return {false, status, 0};
        }
    }

    if (!worker.buffer) {
        try {
            worker.buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kChunkBytes);
        } catch (const std::exception&) {  // bad_alloc
            return Failed(ERROR_NOT_ENOUGH_MEMORY, status);
        }
    }
    std::uint64_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
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
        if (available > worker.maxBytes || received > worker.maxBytes - available) {
            return Failed(ERROR_FILE_TOO_LARGE, status);
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, worker.buffer.get(), std::min(available, kChunkBytes),
                             &read)) {
            return Failed(GetLastError(), status);
        }
        received += read;
        Locked hold(worker);
        if (worker.abandoned) {
            return Failed(ERROR_CANCELLED, status);
        }
        SetLastError(ERROR_WRITE_FAULT);
        if (read != 0 &&
            !(*worker.sink)(std::span<const std::uint8_t>(worker.buffer.get(), read))) {
            return Failed(GetLastError(), status);
        }
        // After the sink: time spent writing is not a wait for data.
        worker.received = received;
        worker.movedAt = NowMs();
    }
}

// A request thread: runs the requests handed to it, until a caller abandons one or the
// session ends.
void Serve(const std::shared_ptr<Worker>& worker) {
    for (;;) {
        {
            Locked hold(*worker);
            while (!worker->hasJob && !worker->quit) {
                SleepConditionVariableSRW(&worker->changed, &worker->lock, INFINITE, 0);
            }
            if (!worker->hasJob) {
                return;
            }
        }
        const HttpResult result = Run(*worker);
        worker->request.reset();  // its connection goes back to the session's pool
        Locked hold(*worker);
        worker->hasJob = false;
        worker->done = true;
        worker->result = result;
        if (worker->abandoned) {
            return;
        }
        WakeAllConditionVariable(&worker->changed);
    }
}

void Stop(Worker& worker) {
    Locked hold(worker);
    worker.quit = true;
    WakeAllConditionVariable(&worker.changed);
}

}  // namespace

// One request thread, held by the session while it waits for a request and by the
// caller while it runs one.
struct RequestThread {
    std::shared_ptr<Worker> worker;
    std::thread thread;
};

// The request threads of a session that wait for a request. They end with the session,
// which joins them: an idle thread is never stuck.
struct RequestThreads {
    std::mutex lock;
    std::vector<RequestThread> idle;

    RequestThreads() = default;
    RequestThreads(const RequestThreads&) = delete;
    RequestThreads& operator=(const RequestThreads&) = delete;
    ~RequestThreads() {
        for (RequestThread& idler : idle) {
            Stop(*idler.worker);
        }
        for (RequestThread& idler : idle) {
            idler.thread.join();
        }
    }

    // An idle thread, else a new one; no worker when no thread can be started.
    RequestThread Take() {
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!idle.empty()) {
                RequestThread taken = std::move(idle.back());
                idle.pop_back();
                return taken;
            }
        }
        RequestThread started;
        try {
            started.worker = std::make_shared<Worker>();
            started.thread = std::thread([worker = started.worker] { Serve(worker); });
        } catch (const std::exception&) {  // bad_alloc, system_error
            started.worker.reset();
        }
        return started;
    }

    void GiveBack(RequestThread&& done) {
        std::lock_guard<std::mutex> hold(lock);
        try {
            idle.push_back(std::move(done));
        } catch (const std::exception&) {  // no room to keep it: it ends
            Stop(*done.worker);
            done.thread.join();
        }
    }
};

namespace {

// The parts of a URL a request needs.
struct Target {
    wchar_t host[kHostUnits] = {};
    wchar_t path[kPathUnits] = {};
    INTERNET_PORT port = 0;
    bool secure = false;
};

bool Crack(const std::wstring& url, Target& target, DWORD& error) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = target.host;
    parts.dwHostNameLength = kHostUnits;
    parts.lpszUrlPath = target.path;
    parts.dwUrlPathLength = kPathUnits;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        error = GetLastError();
        return false;
    }
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

// Opens the request (calls that never wait for the network) and what its thread sends.
bool Prepare(const ProxyRoute& route, const Target& target, const HttpRequest& how, Worker& worker,
             DWORD& error) {
    if (route.session == nullptr) {
        error = ERROR_INVALID_HANDLE;
        return false;
    }
    // The connection handle only names the server: the session's pool keeps the sockets,
    // so it may close as soon as the request is open.
    UniqueInternet connection(WinHttpConnect(route.session, target.host, target.port, 0));
    if (!connection) {
        error = GetLastError();
        return false;
    }
    const DWORD secure = target.secure ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              secure));
    if (!request) {
        error = GetLastError();
        return false;
    }
    if (!route.proxy.empty()) {
        // The proxy the user's settings chose is trusted with the user's logon (NTLM,
        // Negotiate); a direct request never offers it to a server.
        DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof(logon));
    }
    if (how.anyRedirect) {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    }
    // Per request, so that every request of the shared session has its own bounds. The
    // wait for the headers has a time-out of its own (90 s unless set).
    const int receive = static_cast<int>(how.limits.receiveTimeoutMs);
    WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs,
                       receive);
    DWORD responseTimeout = how.limits.receiveTimeoutMs;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    worker.headers.clear();
    if (how.current) {
        // HTTP/1.0 caches know only the second.
        worker.headers = L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    }
    if (how.offset != 0 || how.last != UINT64_MAX) {
        // Byte offsets name the file as stored, so a range is asked for without any
        // content encoding (no decoding is requested for it).
        worker.headers +=
            how.last != UINT64_MAX ? RangeHeader(how.offset, how.last) : RangeHeader(how.offset);
    } else {
        // Not every WinHTTP offers decoding (Wine refuses the option); the request
        // then simply goes out without Accept-Encoding.
        DWORD decompression = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
        WinHttpSetOption(request.get(), WINHTTP_OPTION_DECOMPRESSION, &decompression,
                         sizeof(decompression));
    }
    worker.request = std::move(request);
    return true;
}

// How long a request may stay in one phase without moving on. WinHTTP's own time-outs
// end each wait on Windows; this makes sure of it where a wait would last longer: Wine
// gives the headers as long as each of their bytes comes within the receive time-out.
std::uint64_t PhaseBoundMs(Phase phase, const RequestLimits& limits) {
    constexpr std::uint64_t kConnectedMs = kResolveTimeoutMs + kConnectTimeoutMs + kSendTimeoutMs;
    // Sending includes a TLS handshake, which waits for data too.
    return phase == Phase::Sending ? kConnectedMs + limits.receiveTimeoutMs
                                   : limits.receiveTimeoutMs;
}

// Hands the request to its thread and waits until it is done, or until a bound runs out
// or the caller cancels: the request is then abandoned (true in abandoned).
HttpResult Await(Worker& worker, const HttpRequest& how, const AnswerCheck& wanted,
                 const ChunkSink& sink, std::uint64_t sent, bool& abandoned) {
    TransferPace pace(how.limits.lowSpeedBytes, how.limits.lowSpeedWindowMs, sent);
    Locked hold(worker);
    worker.maxBytes = how.maxBytes;
    worker.wanted = &wanted;
    worker.sink = &sink;
    worker.phase = Phase::Sending;
    worker.movedAt = sent;
    worker.received = 0;
    worker.status = 0;
    worker.done = false;
    worker.hasJob = true;
    WakeAllConditionVariable(&worker.changed);
    while (!worker.done) {
        SleepConditionVariableSRW(&worker.changed, &worker.lock, kPollMs, 0);
        if (worker.done) {
            break;
        }
        const std::uint64_t now = NowMs();
        DWORD error = 0;
        if (how.cancel != nullptr && how.cancel->load()) {
            error = ERROR_CANCELLED;
        } else if (!pace.Keeps(worker.received, now) ||  // a drip, of headers or of body
                   (how.limits.deadlineMs != 0 && now - sent > how.limits.deadlineMs) ||
                   now - worker.movedAt > PhaseBoundMs(worker.phase, how.limits)) {
            error = ERROR_WINHTTP_TIMEOUT;
        }
        if (error != 0) {
            worker.abandoned = true;  // never waited for: it ends once its call comes back
            abandoned = true;
            return Failed(error, worker.status);
        }
    }
    abandoned = false;
    worker.done = false;
    return worker.result;
}

}  // namespace

HttpSession OpenHttpSession(std::optional<ProxySettings> proxies) {
    HttpSession session;
    try {
        session.routes = NewProxyRoutes(std::move(proxies));
        session.threads = std::make_shared<RequestThreads>();
    } catch (const std::exception&) {  // bad_alloc: its requests fail
    }
    return session;
}

namespace {

// One attempt of a request, along one route.
HttpResult FetchAlong(const HttpSession& session, const ProxyRoute& route, const Target& target,
                      const HttpRequest& how, const AnswerCheck& wanted, const ChunkSink& sink) {
    const std::uint64_t sent = NowMs();
    RequestThread runner = session.threads->Take();
    if (!runner.worker) {
        return Failed(ERROR_NOT_ENOUGH_MEMORY);
    }
    DWORD error = 0;
    if (!Prepare(route, target, how, *runner.worker, error)) {
        session.threads->GiveBack(std::move(runner));
        return Failed(error);
    }
    bool abandoned = false;
    const HttpResult result = Await(*runner.worker, how, wanted, sink, sent, abandoned);
    if (abandoned) {
        runner.thread.detach();  // it ends on its own once its call comes back
    } else {
        session.threads->GiveBack(std::move(runner));
    }
    return result;
}

}  // namespace

HttpResult httpFetch(const HttpSession& session, const HttpRequest& how, const AnswerCheck& wanted,
                     const ChunkSink& sink) {
    if (!session.routes || !session.threads) {
        return Failed(ERROR_INVALID_HANDLE);
    }
    Target target;
    DWORD error = 0;
    if (!Crack(how.url, target, error)) {
        return Failed(error);
    }
    const wchar_t* scheme = target.secure ? L"https" : L"http";
    const ProxyRoute route =
        RouteFor(*session.routes, how.url, scheme, target.host, target.port, how.cancel);
    const HttpResult result = FetchAlong(session, route, target, how, wanted, sink);
    // A failed proxy never got an answer from the server to the sink: the request can
    // simply be made again.
    if (route.proxy.empty() || !ProxyFailed(result.status, result.error) ||
        (how.cancel != nullptr && how.cancel->load())) {
        return result;
    }
    const ProxyRoute direct =
        GoDirect(*session.routes, scheme, target.host, target.port, result.status, result.error);
    return FetchAlong(session, direct, target, how, wanted, sink);
}

HttpResult httpGet(const HttpSession& session, const std::wstring& url,
                   std::vector<std::uint8_t>& body, const ProgressCallback& progress,
                   std::uint64_t maxBytes, const RequestLimits& limits,
                   std::uint64_t reserveBytes) {
    HttpRequest how;
    how.url = url;
    how.maxBytes = maxBytes;
    how.limits = limits;
    how.current = true;
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
