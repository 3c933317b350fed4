#include "test_servers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <windows.h>

#include "common/text.h"
#include "net/http_client.h"

namespace zelk::testing {
namespace {

TestServers Load() {
    TestServers servers;
    const char* file = std::getenv("ZELK_NET_SERVERS");
    if (file == nullptr || *file == '\0') {
        return servers;
    }
    // The fixture hands over a Unix path; Wine maps / to Z:.
    std::string path = std::string("Z:") + file;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::wstring value = Utf8ToWide(line.substr(equals + 1));
        if (key == "HTTP") {
            servers.http = value;
        } else if (key == "HTTPS") {
            servers.https = value;
        } else if (key == "HTTPS_UNTRUSTED") {
            servers.httpsUntrusted = value;
        } else if (key == "FAULT") {
            servers.fault = value;
        }
    }
    return servers;
}

}  // namespace

const TestServers& Servers() {
    static const TestServers servers = Load();
    return servers;
}

bool ServersOrFail() {
    const TestServers& s = Servers();
    if (s.http.empty() || s.https.empty() || s.httpsUntrusted.empty() || s.fault.empty()) {
        ADD_FAILURE() << "no test servers: run through ctest (fixture net_servers), "
                         "ZELK_NET_SERVERS names their file";
        return false;
    }
    return true;
}

std::vector<std::uint8_t> Pattern(std::size_t size, int seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + static_cast<std::size_t>(seed)) % 251);
    }
    return bytes;
}

std::vector<std::string> FaultLog() {
    std::vector<std::uint8_t> text;
    std::vector<std::string> paths;
    if (!httpGet(Servers().fault + L"/_log", text, {}, 64 << 20)) {
        ADD_FAILURE() << "cannot read the fault server's log";
        return paths;
    }
    std::istringstream lines(std::string(text.begin(), text.end()));
    std::string line;
    while (std::getline(lines, line)) {
        paths.push_back(line);
    }
    return paths;
}

std::string TestTag() {
    // The servers outlive one run of the tests (a second run, a filtered rerun), and
    // their logs keep every earlier request: the run's own id keeps each count to the
    // requests this run made.
    static const std::string run =
        std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name() + "." + run;
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace zelk::testing
