#pragma once
// The launcher's settings (read only) and the bootstrapper's two state files.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/win_handles.h"
#include "install/paths.h"
#include "json/json.h"
#include "update/manifest.h"
#include "update/state_text.h"

namespace zelk {

// Path of an installed file -> its digest, ordered by UTF-16 code units.
using InstalledIndex = std::map<std::wstring, std::string>;

// Defaults when the file is missing, unreadable, malformed or larger than 16 MiB
// (every reader here treats a state file that large as unreadable).
Settings ReadSettings(const std::filesystem::path& settingsFile);

// The installed release's date, or empty when none is known.
std::string ReadLastDate(const std::filesystem::path& manifestMarker);

InstalledIndex ReadInstalledIndex(const std::filesystem::path& installedMarker);

// Both written only once a release is completely in place: index first, then date.
// Each file is replaced atomically, so an interruption leaves the old record whole.
// Both report whether the new record is in place.
bool WriteInstalledIndex(const std::filesystem::path& installedMarker,
                         const std::vector<ManifestFile>& allFiles);
bool WriteLastDate(const std::filesystem::path& manifestMarker, const std::string& date);

// A release being put in place: its manifest and signature exactly as they were accepted.
// They stay on disk from before the first file is replaced until the index and the date
// of the release are written, so that a switch cut short (a kill, a power cut) is
// finished by the next run, offline included, and never launched half done.
struct PendingSwitch {
    std::vector<std::uint8_t> manifest;
    std::vector<std::uint8_t> signature;
};

// Signature first, manifest last: the manifest's presence is what says a switch is
// pending. Each written atomically and flushed. False when either could not be written.
bool WritePendingSwitch(const InstallPaths& paths, const PendingSwitch& pending);

// Whether a switch is pending, and its record (empty fields when unreadable).
bool IsSwitchPending(const InstallPaths& paths);
PendingSwitch ReadPendingSwitch(const InstallPaths& paths);

// Once the release's index and date are written. False when the record stays.
bool ClearPendingSwitch(const InstallPaths& paths);

// The index kept true while an update runs: one line is appended for each file once its
// new content is on disk (never before), and a later line for a path counts over an
// earlier one. An update that is cut short, however, leaves an index that names every
// file it completed, so the next run fetches only the rest. The complete index is
// written in the usual way once the release is in place.
struct IndexJournal {
    UniqueFile file;
};

// Opens the index for appending, creating it when missing. An empty holder when it
// cannot be opened: the files are then recorded only at the end.
IndexJournal OpenIndexJournal(const std::filesystem::path& installedMarker);

// One line, written at once (a cut write leaves at most one broken line, which reads as
// no record or as a path no entry has). False when it could not be written.
bool AppendIndexLine(const IndexJournal& journal, const ManifestFile& file);

// Before files are replaced: records each path with kNoDigest, in one write flushed to
// disk, so that from then on the index vouches for none of them until their new content
// is in place. False when it could not be written.
bool ForgetInstalled(const IndexJournal& journal, const std::vector<std::wstring>& paths);

}  // namespace zelk
