// Which proxy a server goes through, from settings as users and machines write them,
// and what a failed request tells the user.

#include "net/proxy_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/http_rules.h"

namespace zelk {
namespace {

std::string Narrow(std::wstring_view text) {
    return std::string(text.begin(), text.end());
}

TEST(ProxyForScheme, TheFirstEntryForTheScheme) {
    struct Case {
        const wchar_t* list;
        const wchar_t* scheme;
        const wchar_t* proxy;
    };
    const Case cases[] = {
        {L"proxy:8080", L"https", L"proxy:8080"},
        {L"http=a:1;https=b:2", L"http", L"a:1"},
        {L"http=a:1;https=b:2", L"https", L"b:2"},
        {L"HTTPS=b:2", L"https", L"b:2"},
        {L"ftp=f:21;socks=s:1080", L"http", L""},
        {L"http://p:3128/", L"http", L"p:3128"},
        {L"https=http://p:3128", L"https", L"p:3128"},
        {L"https://tls-proxy:443", L"http", L""},
        {L"p", L"http", L"p:80"},
        {L" ;\tp1:1 p2:2", L"http", L"p1:1"},
        {L"[::1]:8080", L"http", L"[::1]:8080"},
        {L"[::1]", L"http", L"[::1]:80"},
        {L"", L"http", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.list) + " for " + Narrow(c.scheme));
        EXPECT_EQ(ProxyForScheme(c.list, c.scheme), c.proxy);
    }
}

TEST(BypassesProxy, PatternsPortsAndLocalNames) {
    struct Case {
        const wchar_t* bypass;
        const wchar_t* host;
        std::uint16_t port;
        bool bypassed;
    };
    const Case cases[] = {
        {L"<local>", L"intranet", 80, true},
        {L"<local>", L"updates.example.com", 80, false},
        {L"<LOCAL>", L"intranet", 80, true},
        {L"*.example.com", L"cdn.Example.com", 443, true},
        {L"*.example.com", L"example.com", 443, false},
        {L"example.com", L"EXAMPLE.COM", 443, true},
        {L"example.com", L"www.example.com", 443, false},
        {L"127.0.0.1:8080", L"127.0.0.1", 8080, true},
        {L"127.0.0.1:8080", L"127.0.0.1", 80, false},
        {L"https://updates.example.com", L"updates.example.com", 443, true},
        {L"10.*", L"10.1.2.3", 80, true},
        {L"10.*", L"110.1.2.3", 80, false},
        {L"a;b,c d", L"c", 80, true},
        {L"*ample*", L"example.com", 80, true},
        {L"*", L"anything", 80, true},
        {L"", L"anything", 80, false},
        {L";;", L"anything", 80, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.bypass) + " against " + Narrow(c.host) + ":" +
                     std::to_string(c.port));
        EXPECT_EQ(BypassesProxy(c.bypass, c.host, c.port), c.bypassed);
    }
}

TEST(ChooseProxy, DiscoveryThenTheUsersThenTheMachinesThenDirect) {
    ProxySettings everything;
    everything.autoConfigUrl = L"http://wpad/proxy.pac";
    everything.manualProxy = L"manual:3128";
    everything.manualBypass = L"*.intranet";
    everything.defaultProxy = L"machine:8080";
    ProxySettings machineOnly;
    machineOnly.defaultProxy = L"machine:8080";
    machineOnly.defaultBypass = L"<local>";
    ProxySettings ftpOnly = machineOnly;
    ftpOnly.manualProxy = L"ftp=f:21";
    ProxySettings ignored;  // a discovery answer when nothing asks for discovery
    ignored.manualProxy = L"manual:3128";
    struct Case {
        const char* what;
        const ProxySettings& settings;
        std::optional<std::wstring> discovered;
        const wchar_t* host;
        const wchar_t* proxy;
        const char* via;
    };
    const Case cases[] = {
        {"discovered", everything, L"pac:1; pac2:2", L"a.b", L"pac:1", "the PAC script"},
        {"discovered direct", everything, L"", L"a.b", L"", "the PAC script"},
        {"no discovery", everything, std::nullopt, L"a.b", L"manual:3128", "the user's proxy"},
        {"user bypass", everything, std::nullopt, L"x.intranet", L"",
         "the bypass list of the user's proxy"},
        {"machine", machineOnly, std::nullopt, L"a.b", L"machine:8080", "WinHTTP's default proxy"},
        {"machine bypass", machineOnly, std::nullopt, L"local", L"",
         "the bypass list of WinHTTP's default proxy"},
        {"user's for ftp only", ftpOnly, std::nullopt, L"a.b", L"machine:8080",
         "WinHTTP's default proxy"},
        {"not asked for", ignored, L"pac:1", L"a.b", L"manual:3128", "the user's proxy"},
        {"nothing", ProxySettings{}, std::nullopt, L"a.b", L"", "no proxy set"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProxyChoice choice = ChooseProxy(c.settings, c.discovered, L"https", c.host, 443);
        EXPECT_EQ(choice.proxy, c.proxy);
        EXPECT_EQ(choice.via, c.via);
    }
    everything.autoDetect = true;
    EXPECT_EQ(ChooseProxy(everything, std::nullopt, L"http", L"a.b", 80).proxy, L"manual:3128");
    everything.manualProxy.clear();
    everything.defaultProxy.clear();
    EXPECT_EQ(ChooseProxy(everything, std::nullopt, L"http", L"a.b", 80).via,
              "no proxy discovered");
}

TEST(ProxyFailed, OnlyAProxyThatCouldNotCarryTheRequest) {
    EXPECT_TRUE(ProxyFailed(502, 0));
    EXPECT_TRUE(ProxyFailed(504, 0));
    EXPECT_TRUE(ProxyFailed(0, 12029));  // connection refused
    EXPECT_TRUE(ProxyFailed(0, 12007));  // name not resolved
    EXPECT_TRUE(ProxyFailed(0, 12030));  // connection dropped before any answer
    EXPECT_FALSE(ProxyFailed(503, 0));   // the server's own answer, through the proxy
    EXPECT_FALSE(ProxyFailed(407, 0));
    EXPECT_FALSE(ProxyFailed(404, 0));
    EXPECT_FALSE(ProxyFailed(0, 12002));  // slow: going around it would double the wait
    EXPECT_FALSE(ProxyFailed(0, 12175));
    EXPECT_FALSE(ProxyFailed(200, 12030));  // an answer came: it may have been used
}

TEST(NetworkTrouble, EachFailureAndEachSeries) {
    EXPECT_EQ(TroubleOf(407, 0), NetworkTrouble::ProxyCredentials);
    EXPECT_EQ(TroubleOf(503, 0), NetworkTrouble::Unavailable);
    EXPECT_EQ(TroubleOf(429, 0), NetworkTrouble::Unavailable);
    for (const std::uint32_t error :
         {12037u, 12038u, 12045u, 12057u, 12157u, 12169u, 12170u, 12175u, 12179u}) {
        EXPECT_EQ(TroubleOf(0, error), NetworkTrouble::Certificate) << error;
    }
    for (const auto& [status, error] :
         {std::pair{500u, 0u}, {404u, 0u}, {0u, 12029u}, {0u, 12002u}, {0u, 12152u}, {200u, 0u}}) {
        EXPECT_EQ(TroubleOf(status, error), NetworkTrouble::None) << status << " " << error;
    }

    struct Series {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ends;
        NetworkTrouble reason;
    };
    const Series series[] = {
        {{}, NetworkTrouble::None},
        {{{503, 0}, {429, 0}, {503, 0}}, NetworkTrouble::Unavailable},
        {{{503, 0}, {0, 12029}}, NetworkTrouble::None},
        {{{0, 12029}, {503, 0}}, NetworkTrouble::None},
        {{{0, 12029}, {0, 12037}}, NetworkTrouble::Certificate},
        {{{503, 0}, {0, 12175}}, NetworkTrouble::Certificate},
        {{{0, 12037}, {407, 0}}, NetworkTrouble::ProxyCredentials},
        {{{503, 0}, {407, 0}}, NetworkTrouble::ProxyCredentials},
    };
    for (const Series& s : series) {
        TroubleTally tally;
        for (const auto& [status, error] : s.ends) {
            tally.Add(status, error);
        }
        EXPECT_EQ(tally.Reason(), s.reason) << s.ends.size() << " ends";
    }
}

}  // namespace
}  // namespace zelk
