// bare_install <base URL> <list file> <target folder>: the least that a platform loop
// does to install a release the way Zelk does it, as the baseline of Zelk's bench-mode
// install. For each file of the list (lines "<sha256> <size> <name>"), one after the
// other over one connection: a WinHTTP GET of <base>/files/<sha256> read block by
// block into one buffer kept for the whole run, each read asking for what
// WinHttpQueryDataAvailable reports and at most kBlock, as Zelk reads; each block
// hashed (one CNG hash object per file) and written to <name>.tmp in the target folder
// as it arrives, then the digest compared and the file renamed over <name>. Nothing is
// flushed, resumed or recorded. Exit code 0 when every file arrived whole with its
// digest, 1 otherwise, 2 for bad arguments. Driven by bench/run.

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "baseline.h"
#include "common/text.h"
#include "common/win_handles.h"

#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace zelk::bench {
namespace {

struct Entry {
    std::string digest;
    std::uint64_t size = 0;
    std::string name;
};

// Zelk's own read size (kChunkBytes, src/net/http_client.cpp), asked for the same way:
// a ratio against this loop must measure the design, not the size of a read. bench/run
// prints both sizes.
constexpr DWORD kBlock = 1u << 20;

struct HashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type h) { BCryptDestroyHash(h); }
};

std::vector<Entry> ReadList(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::vector<Entry> entries;
    Entry entry;
    while (in >> entry.digest >> entry.size >> entry.name) {
        entries.push_back(entry);
    }
    return entries;
}

std::string Hex(const std::uint8_t (&digest)[32]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// Streams one file to <name>.tmp, hashing as it goes, and renames it when it is whole.
bool Install(HINTERNET connection, const Server& server, const Entry& entry,
             const std::wstring& folder, std::uint8_t* buffer) {
    UniqueInternet request = Get(connection, server, L"/files/" + Utf8ToWide(entry.digest));
    Unique<HashTraits> hash;
    if (!request || !BCRYPT_SUCCESS(BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, hash.put(), nullptr,
                                                     0, nullptr, 0, 0))) {
        return false;
    }
    const std::wstring target = folder + L"\\" + Utf8ToWide(entry.name);
    const std::wstring temporary = target + L".tmp";
    {
        UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        for (std::uint64_t received = 0; received < entry.size;) {
            DWORD available = 0;
            DWORD read = 0;
            DWORD written = 0;
            if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0 ||
                !WinHttpReadData(request.get(), buffer, std::min(available, kBlock), &read) ||
                read == 0 || !BCRYPT_SUCCESS(BCryptHashData(hash.get(), buffer, read, 0)) ||
                !WriteFile(file.get(), buffer, read, &written, nullptr) || written != read) {
                return false;  // a read or write error, or a body shorter than announced
            }
            received += read;
        }
    }
    std::uint8_t digest[32] = {};
    return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, sizeof(digest), 0)) &&
           Hex(digest) == entry.digest &&
           MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

int Run() {
    const std::vector<std::wstring> args = Arguments();
    Server server;
    if (args.size() != 4 || !CrackBase(args[1], server)) {
        return 2;
    }
    const std::vector<Entry> entries = ReadList(args[2]);
    if (entries.empty()) {
        return 2;
    }
    Connection connection;
    if (!Connect(server, connection)) {
        return 1;
    }
    const std::unique_ptr<std::uint8_t[]> buffer =
        std::make_unique_for_overwrite<std::uint8_t[]>(kBlock);
    for (const Entry& entry : entries) {
        if (!Install(connection.connection.get(), server, entry, args[3], buffer.get())) {
            return 1;
        }
    }
    return 0;
}

}  // namespace
}  // namespace zelk::bench

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return zelk::bench::Run();
}
