#include "update/manifest.h"

#include <windows.h>

#include "common/text.h"

namespace zelk {

bool ValidateManifest(const JsonValue& manifest, const std::string& lastDate,
                      std::string& message) {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    return ValidateManifestAt(
        manifest, lastDate,
        FormatTimestamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond),
        message);
}

bool IsValidManifestFile(const ManifestFile& file) {
    return file.sha256.size() == 64 && IsSafeRelativePath(std::wstring_view(file.path));
}

std::vector<ManifestFile> ReadManifestFiles(const JsonValue& manifest) {
    std::vector<ManifestFile> files;
    for (const JsonValue& element : manifest.get("files").array) {
        ManifestFile file;
        file.path = Utf8ToWide(element.get("path").asString(""));
        file.sha256 = element.get("sha256").asString("");
        file.size = ToByteCount(element.get("size").asNumber(0.0));
        if (IsValidManifestFile(file)) {
            files.push_back(std::move(file));
        }
    }
    return files;
}

BootstrapperRecord ReadBootstrapperRecord(const JsonValue& manifest) {
    const JsonValue& record = manifest.get("bootstrapper");
    return {record.get("sha256").asString(""), ToByteCount(record.get("size").asNumber(0.0))};
}

}  // namespace zelk
