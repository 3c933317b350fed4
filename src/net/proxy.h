#pragma once
// The way out to every server a run talks to. The user's and the machine's proxy
// settings are read once; each server's proxy is chosen once (ChooseProxy) and kept for
// the session; and since WinHTTP takes the proxy from the session (Wine ignores a
// proxy set on a request), each way out (a proxy, or direct) has a WinHTTP session of
// its own.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/proxy_rules.h"
#include "net/winhttp_handle.h"

namespace zelk {

// Discovery (WPAD, or fetching and running the PAC script) may take seconds. Past this
// it is given up for the server, and for every later one of the run: the next setting
// in the order decides.
inline constexpr std::uint32_t kProxyDiscoveryMs = 5000;

// The user's Internet settings and WinHTTP's default proxy (under Wine, the latter
// falls back to the http_proxy environment variable).
ProxySettings ReadProxySettings();

// What discovery gives for url: the proxy list (empty for direct), or nullopt when it
// failed or did not end within boundMs (timedOut then), or cancel was set. It runs on
// a thread of its own with a WinHTTP session of its own, which is left to end on its
// own when its time is up: WinHTTP cannot interrupt it.
std::optional<std::wstring> DiscoverProxy(const ProxySettings& settings, const std::wstring& url,
                                          std::uint32_t boundMs, const std::atomic<bool>* cancel,
                                          bool& timedOut);

struct ProxyRoutes;

// Reads the settings the first time a route is needed; tests hand in their own.
std::shared_ptr<ProxyRoutes> NewProxyRoutes(std::optional<ProxySettings> settings = std::nullopt);

// How one server is reached: the WinHTTP session its requests open in (null when
// WinHTTP could not open one) and the proxy it goes through (empty: direct).
struct ProxyRoute {
    HINTERNET session = nullptr;
    std::wstring proxy;
};

// The route of the server of url (scheme, host and port as cracked from it): chosen
// the first time, with a line in the log saying which proxy and why, then the same
// for the rest of the session. Safe from several threads.
ProxyRoute RouteFor(ProxyRoutes& routes, const std::wstring& url, std::wstring_view scheme,
                    std::wstring_view host, std::uint16_t port, const std::atomic<bool>* cancel);

// The server's proxy failed (status and error of the request, for the log): the
// server is reached directly from now on.
ProxyRoute GoDirect(ProxyRoutes& routes, std::wstring_view scheme, std::wstring_view host,
                    std::uint16_t port, std::uint32_t status, std::uint32_t error);

}  // namespace zelk
