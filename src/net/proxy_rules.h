#pragma once
// Which proxy a request to one server goes through, from what the user's and the
// machine's settings say, and when a proxy that failed is worth going around. Free of
// Windows headers: the settings are read and the discovery is run in net/proxy.cpp.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

// The proxy settings of the user (Internet settings) and of the machine (WinHTTP's
// default proxy, as "netsh winhttp set proxy" writes it), read once per run.
struct ProxySettings {
    bool autoDetect = false;     // "Automatically detect settings": WPAD
    std::wstring autoConfigUrl;  // the PAC script's address
    std::wstring manualProxy;    // the user's own proxy list, and the hosts it is not for
    std::wstring manualBypass;
    std::wstring defaultProxy;  // the machine's, and its bypass list
    std::wstring defaultBypass;

    bool Discovers() const { return autoDetect || !autoConfigUrl.empty(); }
    bool Any() const { return Discovers() || !manualProxy.empty() || !defaultProxy.empty(); }
};

struct ProxyChoice {
    std::wstring proxy;  // "host:port"; empty: direct
    std::string via;     // what decided it, for the log
};

// The first proxy of a proxy list that serves scheme ("http" or "https"), as
// "host:port" (port 80 when the entry names none); empty when none does. A list is
// entries separated by ';' or blanks, each "host[:port]", optionally behind
// "scheme=" (only for that scheme) and "http://"; "socks=" entries serve nothing
// here (WinHTTP has no SOCKS).
std::wstring ProxyForScheme(std::wstring_view list, std::wstring_view scheme);

// Whether a bypass list names the server: entries separated by ';', ',' or blanks,
// each a host pattern ('*' for any run of characters, letter case aside) with an
// optional scheme in front and port behind, or "<local>" for every host name without
// a dot.
bool BypassesProxy(std::wstring_view bypass, std::wstring_view host, std::uint16_t port);

// The proxy of one server, in this order: what discovery said (discovered: the proxy
// list it gave, empty for direct; nullopt when it failed, ran out of time or did not
// run), the user's manual proxy unless its bypass list names the server, the
// machine's default proxy likewise, else direct.
ProxyChoice ChooseProxy(const ProxySettings& settings,
                        const std::optional<std::wstring>& discovered, std::wstring_view scheme,
                        std::wstring_view host, std::uint16_t port);

// Whether a request that went through a proxy failed at the proxy itself (it could
// not be reached or resolved, or answered 502 or 504 for the server), so that the
// same request is worth trying once without it.
bool ProxyFailed(std::uint32_t status, std::uint32_t error);

}  // namespace zelk
