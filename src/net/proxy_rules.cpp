#include "net/proxy_rules.h"

#include <vector>

namespace zelk {
namespace {

// WinHTTP's errors of a proxy that cannot be used at all (winhttp.h).
constexpr std::uint32_t kNameNotResolved = 12007;
constexpr std::uint32_t kCannotConnect = 12029;
constexpr std::uint32_t kConnectionError = 12030;

wchar_t Lower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameText(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::vector<std::wstring_view> Split(std::wstring_view text, std::wstring_view separators) {
    std::vector<std::wstring_view> pieces;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(separators);
        const std::wstring_view piece = text.substr(0, end);
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        if (end == std::wstring_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return pieces;
}

// Drops "scheme://" from the front of an entry; the scheme, lower case, in scheme.
std::wstring_view WithoutScheme(std::wstring_view entry, std::wstring* scheme = nullptr) {
    const std::size_t mark = entry.find(L"://");
    if (mark == std::wstring_view::npos) {
        return entry;
    }
    if (scheme != nullptr) {
        for (wchar_t c : entry.substr(0, mark)) {
            *scheme += Lower(c);
        }
    }
    return entry.substr(mark + 3);
}

// '*' matches any run of characters, letter case aside. Backtracks on the last star
// only: linear enough for the short patterns of a bypass list.
bool Matches(std::wstring_view pattern, std::wstring_view text) {
    std::size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') {
        ++p;
    }
    return p == pattern.size();
}

bool AllDigits(std::wstring_view text) {
    if (text.empty()) {
        return false;
    }
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring ProxyForScheme(std::wstring_view list, std::wstring_view scheme) {
    for (std::wstring_view entry : Split(list, L"; \t\r\n")) {
        const std::size_t equals = entry.find(L'=');
        if (equals != std::wstring_view::npos) {
            if (!SameText(entry.substr(0, equals), scheme)) {
                continue;
            }
            entry.remove_prefix(equals + 1);
        }
        std::wstring named;
        entry = WithoutScheme(entry, &named);
        if (!named.empty() && named != L"http") {
            continue;  // a proxy spoken to over TLS or SOCKS: not one WinHTTP uses
        }
        while (!entry.empty() && entry.back() == L'/') {
            entry.remove_suffix(1);
        }
        if (entry.empty()) {
            continue;
        }
        std::wstring proxy(entry);
        const std::size_t colon = proxy.rfind(L':');
        if (colon == std::wstring::npos || proxy.find(L']', colon) != std::wstring::npos) {
            proxy += L":80";
        }
        return proxy;
    }
    return {};
}

bool BypassesProxy(std::wstring_view bypass, std::wstring_view host, std::uint16_t port) {
    for (std::wstring_view entry : Split(bypass, L";, \t\r\n")) {
        if (SameText(entry, L"<local>")) {
            if (host.find(L'.') == std::wstring_view::npos &&
                host.find(L':') == std::wstring_view::npos) {
                return true;
            }
            continue;
        }
        entry = WithoutScheme(entry);
        const std::size_t colon = entry.rfind(L':');
        if (colon != std::wstring_view::npos && AllDigits(entry.substr(colon + 1)) &&
            entry.find(L']', colon) == std::wstring_view::npos) {
            if (entry.substr(colon + 1) != std::to_wstring(port)) {
                continue;
            }
            entry = entry.substr(0, colon);
        }
        if (!entry.empty() && Matches(entry, host)) {
            return true;
        }
    }
    return false;
}

ProxyChoice ChooseProxy(const ProxySettings& settings,
                        const std::optional<std::wstring>& discovered, std::wstring_view scheme,
                        std::wstring_view host, std::uint16_t port) {
    if (settings.Discovers() && discovered) {
        const char* via = !settings.autoDetect ? "the PAC script"
                          : settings.autoConfigUrl.empty()
                              ? "automatic detection"
                              : "automatic detection or the PAC script";
        return {ProxyForScheme(*discovered, scheme), via};
    }
    const auto named = [&](const std::wstring& list, const std::wstring& bypassList,
                           const char* via) -> std::optional<ProxyChoice> {
        std::wstring proxy = ProxyForScheme(list, scheme);
        if (proxy.empty()) {
            return std::nullopt;
        }
        if (BypassesProxy(bypassList, host, port)) {
            return ProxyChoice{L"", std::string("the bypass list of ") + via};
        }
        return ProxyChoice{std::move(proxy), via};
    };
    if (auto manual = named(settings.manualProxy, settings.manualBypass, "the user's proxy")) {
        return *manual;
    }
    if (auto machine =
            named(settings.defaultProxy, settings.defaultBypass, "WinHTTP's default proxy")) {
        return *machine;
    }
    return {L"", settings.Discovers() ? "no proxy discovered" : "no proxy set"};
}

bool ProxyFailed(std::uint32_t status, std::uint32_t error) {
    if (status == 502 || status == 504) {
        return true;
    }
    return status == 0 &&
           (error == kCannotConnect || error == kNameNotResolved || error == kConnectionError);
}

}  // namespace zelk
