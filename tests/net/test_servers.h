#pragma once
// Where the loopback servers of the net suite listen. A ctest fixture
// (net_servers.py) starts them and writes their base URLs into the file named by
// ZELK_NET_SERVERS; this reads it.

#include <cstdint>
#include <string>
#include <vector>

namespace zelk::testing {

struct TestServers {
    std::wstring http;            // nginx, plain http on a free port, store under /updates
    std::wstring https;           // the same store over https, CA trusted by the prefix
    std::wstring httpsUntrusted;  // https with a certificate from a CA nobody trusts
    std::wstring fault;           // the scripted fault server (paths in servers.py)
};

// Empty strings when the fixture did not run; ServersOrFail reports that.
const TestServers& Servers();
bool ServersOrFail();

// The bytes the servers build for (size, seed): byte i is (i * 31 + seed) % 251.
std::vector<std::uint8_t> Pattern(std::size_t size, int seed);

// Paths the fault server has seen so far, in order.
std::vector<std::string> FaultLog();

// This test's name and this run's id, to tag its request paths in the shared server
// logs: only this run's requests carry it.
std::string TestTag();

std::wstring Wide(const std::string& ascii);

}  // namespace zelk::testing
