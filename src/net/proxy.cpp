#include "net/proxy.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "common/log_text.h"
#include "common/run_log.h"

namespace zelk {
namespace {

constexpr wchar_t kUserAgent[] = L"Zelk-Boot/1.0";
// The session of servers for which nothing at all is set: where WinHTTP resolves
// proxies itself (Windows 8.1 and later), it keeps doing so.
constexpr wchar_t kSystemRoute[] = L"*";
constexpr std::uint32_t kPollMs = 250;

// Strings WinHTTP hands over, to be freed with GlobalFree.
std::wstring Take(wchar_t*& text) {
    std::wstring copy = text != nullptr ? text : L"";
    if (text != nullptr) {
        GlobalFree(text);
        text = nullptr;
    }
    return copy;
}

std::wstring ServerKey(std::wstring_view scheme, std::wstring_view host, std::uint16_t port) {
    std::wstring key(scheme);
    key += L"://";
    for (wchar_t c : host) {
        key += c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    }
    return key + L":" + std::to_wstring(port);
}

// What a discovery thread hands back, owned by it and by its caller.
struct Discovery {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    std::optional<std::wstring> answer;
    DWORD error = 0;
};

void Discover(const std::shared_ptr<Discovery>& state, const std::wstring& url, bool autoDetect,
              const std::wstring& script) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = (autoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) |
                      (script.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
    options.dwAutoDetectFlags =
        autoDetect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
    options.lpszAutoConfigUrl = script.empty() ? nullptr : script.c_str();
    // A PAC script behind NTLM or Negotiate is fetched with the user's own logon.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    std::optional<std::wstring> answer;
    DWORD error = 0;
    {
        // Its own session: nothing of the caller's is touched if it is left behind.
        const UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                                 0));
        if (session && WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &info)) {
            std::wstring proxies = Take(info.lpszProxy);
            Take(info.lpszProxyBypass);
            answer = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? proxies : L"";
        } else {
            error = GetLastError();
        }
    }
    std::lock_guard<std::mutex> hold(state->lock);
    state->done = true;
    state->answer = std::move(answer);
    state->error = error;
    state->changed.notify_all();
}

// Which proxy each server goes through, and the WinHTTP session of each way out.
struct Server {
    std::wstring proxy;
    bool system = false;  // nothing set anywhere: the system's own resolution
};

}  // namespace

struct ProxyRoutes {
    std::mutex lock;  // the members below
    std::optional<ProxySettings> settings;
    bool discoveryGivenUp = false;
    std::map<std::wstring, Server> servers;
    std::map<std::wstring, UniqueInternet> sessions;  // by proxy; "" direct, kSystemRoute

    std::mutex resolving;  // one server's proxy chosen at a time: each once
};

namespace {

// The session of a way out, opened the first time. Under the routes' lock.
HINTERNET SessionFor(ProxyRoutes& routes, const Server& server) {
    const std::wstring key = server.system ? kSystemRoute : server.proxy;
    UniqueInternet& session = routes.sessions[key];
    if (!session) {
        if (server.system) {
            session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        }
        if (!session && server.proxy.empty()) {  // also Windows before 8.1
            session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                      WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        } else if (!session) {
            // The bypass list was applied when the proxy was chosen.
            session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                      server.proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
        }
    }
    return session.get();
}

}  // namespace

ProxySettings ReadProxySettings() {
    ProxySettings settings;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        settings.autoDetect = user.fAutoDetect != FALSE;
        settings.autoConfigUrl = Take(user.lpszAutoConfigUrl);
        settings.manualProxy = Take(user.lpszProxy);
        settings.manualBypass = Take(user.lpszProxyBypass);
    }
    WINHTTP_PROXY_INFO machine{};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        std::wstring proxy = Take(machine.lpszProxy);
        std::wstring bypass = Take(machine.lpszProxyBypass);
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            settings.defaultProxy = std::move(proxy);
            settings.defaultBypass = std::move(bypass);
        }
    }
    return settings;
}

std::optional<std::wstring> DiscoverProxy(const ProxySettings& settings, const std::wstring& url,
                                          std::uint32_t boundMs, const std::atomic<bool>* cancel,
                                          bool& timedOut) {
    timedOut = false;
    std::shared_ptr<Discovery> state;
    try {
        state = std::make_shared<Discovery>();
        std::thread([state, url, autoDetect = settings.autoDetect,
                     script = settings.autoConfigUrl] {
            Discover(state, url, autoDetect, script);
        }).detach();
    } catch (const std::exception&) {  // bad_alloc, system_error: no discovery
        return std::nullopt;
    }
    const std::uint64_t start = GetTickCount64();
    std::unique_lock<std::mutex> hold(state->lock);
    while (!state->done) {
        if (cancel != nullptr && cancel->load()) {
            return std::nullopt;
        }
        if (GetTickCount64() - start >= boundMs) {
            timedOut = true;
            return std::nullopt;
        }
        state->changed.wait_for(hold, std::chrono::milliseconds(kPollMs));
    }
    if (!state->answer) {
        Log("proxy discovery for ", url, ": error ", state->error);
    }
    return state->answer;
}

std::shared_ptr<ProxyRoutes> NewProxyRoutes(std::optional<ProxySettings> settings) {
    auto routes = std::make_shared<ProxyRoutes>();
    routes->settings = std::move(settings);
    return routes;
}

ProxyRoute RouteFor(ProxyRoutes& routes, const std::wstring& url, std::wstring_view scheme,
                    std::wstring_view host, std::uint16_t port, const std::atomic<bool>* cancel) {
    const std::wstring key = ServerKey(scheme, host, port);
    const auto known = [&]() -> std::optional<ProxyRoute> {
        std::lock_guard<std::mutex> hold(routes.lock);
        const auto found = routes.servers.find(key);
        if (found == routes.servers.end()) {
            return std::nullopt;
        }
        return ProxyRoute{SessionFor(routes, found->second), found->second.proxy};
    };
    if (auto route = known()) {
        return *route;
    }
    std::lock_guard<std::mutex> resolving(routes.resolving);
    if (auto route = known()) {
        return *route;  // chosen by another thread meanwhile
    }
    ProxySettings settings;
    bool discover = false;
    {
        std::lock_guard<std::mutex> hold(routes.lock);
        if (!routes.settings) {
            routes.settings = ReadProxySettings();
        }
        settings = *routes.settings;
        discover = settings.Discovers() && !routes.discoveryGivenUp;
    }
    std::optional<std::wstring> discovered;
    bool timedOut = false;
    if (discover) {
        discovered = DiscoverProxy(settings, url, kProxyDiscoveryMs, cancel, timedOut);
        if (cancel != nullptr && cancel->load()) {
            // Not chosen: the request ends now anyway.
            std::lock_guard<std::mutex> hold(routes.lock);
            return {SessionFor(routes, Server{}), L""};
        }
    }
    const ProxyChoice choice = ChooseProxy(settings, discovered, scheme, host, port);
    const std::string givenUp =
        timedOut ? LogMessage(", discovery given up after ", kProxyDiscoveryMs / 1000, " s") : "";
    Log("proxy for ", key, ": ", choice.proxy.empty() ? std::wstring(L"none") : choice.proxy, " (",
        choice.via, givenUp, ")");
    std::lock_guard<std::mutex> hold(routes.lock);
    routes.discoveryGivenUp = routes.discoveryGivenUp || timedOut;
    const Server& server = routes.servers[key] = Server{choice.proxy, !settings.Any()};
    return {SessionFor(routes, server), server.proxy};
}

ProxyRoute GoDirect(ProxyRoutes& routes, std::wstring_view scheme, std::wstring_view host,
                    std::uint16_t port, std::uint32_t status, std::uint32_t error) {
    const std::wstring key = ServerKey(scheme, host, port);
    std::lock_guard<std::mutex> hold(routes.lock);
    Server& server = routes.servers[key];
    if (!server.proxy.empty()) {
        Log("proxy ", server.proxy, " for ", key, " failed (", DescribeHttpFailure(status, error),
            "): direct from now on");
    }
    server = Server{};
    return {SessionFor(routes, server), L""};
}

}  // namespace zelk
