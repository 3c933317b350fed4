#include "update/state_files.h"

#include <cstdint>
#include <span>
#include <string_view>

#include "common/text.h"
#include "install/file_helpers.h"
#include "update/manifest_search.h"
#include "update/state_text.h"

namespace zelk {
namespace {

// No state file of a real installation comes near this; a larger one is damaged or
// planted, and is treated as unreadable rather than loaded whole.
constexpr std::uint64_t kLargestStateFile = 16u << 20;

bool ReadText(const std::filesystem::path& path, std::string& text) {
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(path, bytes, kLargestStateFile)) {
        return false;
    }
    text =
        FromTextMode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return true;
}

bool WriteText(const std::filesystem::path& path, std::string_view text) {
    const std::string bytes = ToTextMode(text);
    return WriteFileAtomically(
        path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace

Settings ReadSettings(const std::filesystem::path& settingsFile) {
    std::vector<std::uint8_t> bytes;
    if (!ReadWholeFile(settingsFile, bytes, kLargestStateFile)) {
        return {};
    }
    return ParseSettings(bytes);
}

std::string ReadLastDate(const std::filesystem::path& manifestMarker) {
    std::string text;
    return ReadText(manifestMarker, text) ? ParseLastDate(text) : std::string();
}

InstalledIndex ReadInstalledIndex(const std::filesystem::path& installedMarker) {
    InstalledIndex index;
    std::string text;
    if (ReadText(installedMarker, text)) {
        for (auto& [digest, path] : ParseIndexText(text)) {
            index[Utf8ToWide(path)] = std::move(digest);  // a later line wins
        }
    }
    return index;
}

bool WriteInstalledIndex(const std::filesystem::path& installedMarker,
                         const std::vector<ManifestFile>& allFiles) {
    std::vector<IndexLine> lines;
    lines.reserve(allFiles.size());
    for (const ManifestFile& file : allFiles) {
        lines.push_back({file.sha256, file.size, WideToUtf8(file.path)});
    }
    return WriteText(installedMarker, FormatIndexText(lines));
}

IndexJournal OpenIndexJournal(const std::filesystem::path& installedMarker) {
    // Appends only, so a reader never sees an earlier line change; shared with readers.
    // Never a link: the record of what is installed is never written elsewhere.
    IndexJournal journal{OpenOwnFile(installedMarker, FILE_APPEND_DATA | GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, true)};
    if (!journal.file) {
        return journal;
    }
    // A last line without its line end (cut short, or edited by hand) must not run into
    // the first appended one.
    LARGE_INTEGER size{};
    if (GetFileSizeEx(journal.file.get(), &size) && size.QuadPart > 0) {
        LARGE_INTEGER last{};
        last.QuadPart = size.QuadPart - 1;
        char byte = 0;
        DWORD read = 0;
        if (SetFilePointerEx(journal.file.get(), last, nullptr, FILE_BEGIN) &&
            ReadFile(journal.file.get(), &byte, 1, &read, nullptr) && read == 1 && byte != '\n') {
            DWORD written = 0;
            WriteFile(journal.file.get(), "\r\n", 2, &written, nullptr);
        }
    }
    return journal;
}

namespace {

bool AppendText(const IndexJournal& journal, const std::vector<IndexLine>& lines) {
    if (!journal.file) {
        return false;
    }
    const std::string text = ToTextMode(FormatIndexText(lines));
    DWORD written = 0;
    return text.size() <= MAXDWORD &&
           WriteFile(journal.file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr) &&
           written == text.size();
}

}  // namespace

bool AppendIndexLine(const IndexJournal& journal, const ManifestFile& file) {
    return AppendText(journal, {{file.sha256, file.size, WideToUtf8(file.path)}});
}

bool ForgetInstalled(const IndexJournal& journal, const std::vector<std::wstring>& paths) {
    if (paths.empty()) {
        return true;
    }
    std::vector<IndexLine> lines;
    lines.reserve(paths.size());
    for (const std::wstring& path : paths) {
        lines.push_back({kNoDigest, 0, WideToUtf8(path)});
    }
    return AppendText(journal, lines) && FlushFileBuffers(journal.file.get());
}

bool WritePendingSwitch(const InstallPaths& paths, const PendingSwitch& pending) {
    return WriteFileAtomically(paths.pendingSignature, pending.signature) &&
           WriteFileAtomically(paths.pendingManifest, pending.manifest);
}

bool IsSwitchPending(const InstallPaths& paths) {
    return PathExists(paths.pendingManifest);
}

PendingSwitch ReadPendingSwitch(const InstallPaths& paths) {
    // As large as the manifests and signatures the search accepts, no larger.
    PendingSwitch pending;
    if (!ReadWholeFile(paths.pendingManifest, pending.manifest, kManifestCap) ||
        !ReadWholeFile(paths.pendingSignature, pending.signature, kSignatureCap)) {
        return {};
    }
    return pending;
}

bool ClearPendingSwitch(const InstallPaths& paths) {
    // The manifest first: once it is gone, no switch is pending, whatever follows.
    if (!RemoveOwnFile(paths.pendingManifest) && PathExists(paths.pendingManifest)) {
        return false;
    }
    RemoveOwnFile(paths.pendingSignature);
    return true;
}

bool WriteLastDate(const std::filesystem::path& manifestMarker, const std::string& date) {
    return WriteText(manifestMarker, date + "\n");
}

}  // namespace zelk
