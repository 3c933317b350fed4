// bare_install <base URL> <list file> <target folder>: the least that a platform loop
// does to install a release, as the baseline of Zelk's bench-mode install. For each
// file of the list (lines "<sha256> <size> <name>"): a WinHTTP GET of
// <base>/files/<sha256> read straight into a buffer allocated once at the file's size,
// one BCryptHash (SHA-256) over it, one write of <name>.tmp in the target folder and
// one rename over <name>. Exit code 0 when every file arrived whole with its digest,
// 1 otherwise, 2 for bad arguments. Driven by bench/run.

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

constexpr DWORD kLargestRead = 1u << 30;
constexpr std::uint64_t kLargestFile = 0xFFFFFFFFu;  // one hash call and one write take a ULONG

std::vector<Entry> ReadList(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path)};
    std::vector<Entry> entries;
    Entry entry;
    while (in >> entry.digest >> entry.size >> entry.name) {
        entries.push_back(entry);
    }
    return entries;
}

// The whole body into buffer, which holds exactly size bytes.
bool Fetch(HINTERNET connection, const Server& server, const Entry& entry, std::uint8_t* buffer) {
    UniqueInternet request = Get(connection, server, L"/files/" + Utf8ToWide(entry.digest));
    if (!request) {
        return false;
    }
    for (std::uint64_t received = 0; received < entry.size;) {
        const DWORD wanted =
            static_cast<DWORD>(std::min<std::uint64_t>(kLargestRead, entry.size - received));
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), buffer + received, wanted, &read) || read == 0) {
            return false;  // a read error, or a body shorter than announced
        }
        received += read;
    }
    return true;
}

bool DigestMatches(const std::uint8_t* buffer, std::uint64_t size, const std::string& expected) {
    std::uint8_t digest[32] = {};
    if (!BCRYPT_SUCCESS(BCryptHash(BCRYPT_SHA256_ALG_HANDLE, nullptr, 0, const_cast<PUCHAR>(buffer),
                                   static_cast<ULONG>(size), digest, sizeof(digest)))) {
        return false;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text == expected;
}

bool Store(const std::wstring& folder, const std::string& name, const std::uint8_t* buffer,
           std::uint64_t size) {
    const std::wstring target = folder + L"\\" + Utf8ToWide(name);
    const std::wstring temporary = target + L".tmp";
    {
        UniqueFile file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), buffer, static_cast<DWORD>(size), &written, nullptr) ||
            written != size) {
            return false;
        }
    }
    return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
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
    for (const Entry& entry : entries) {
        if (entry.size > kLargestFile) {
            return 1;
        }
        // Uninitialised on purpose: the download is the first to touch these pages.
        std::unique_ptr<std::uint8_t[]> buffer =
            std::make_unique_for_overwrite<std::uint8_t[]>(entry.size);
        if (!Fetch(connection.connection.get(), server, entry, buffer.get()) ||
            !DigestMatches(buffer.get(), entry.size, entry.digest) ||
            !Store(args[3], entry.name, buffer.get(), entry.size)) {
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
