#include "update/manifest_rules.h"

#include <cstdio>
#include <utility>

namespace zelk {

bool IsTimestamp(std::string_view text) {
    static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string FormatTimestamp(unsigned year, unsigned month, unsigned day, unsigned hour,
                            unsigned minute, unsigned second) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02uT%02u:%02u:%02uZ", year, month, day, hour,
                  minute, second);
    return buffer;
}

bool ValidateManifestAt(const JsonValue& manifest, std::string_view lastDate, std::string_view now,
                        std::string& message) {
    const std::string date = manifest.get("date").asString("");
    const std::string expires = manifest.get("expires").asString("");
    if (!IsTimestamp(date) || !IsTimestamp(expires)) {
        message = "manifeste sans date d'expiration";
        return false;
    }
    if (std::string_view(expires) < now) {  // still valid during its last second
        message = "manifeste périmé (" + expires + ") : plateforme ou horloge du PC à vérifier";
        return false;
    }
    if (!lastDate.empty() && std::string_view(date) < lastDate) {
        message = "manifeste plus ancien que la version installée : refusé";
        return false;
    }
    return true;
}

bool ChannelMatches(const JsonValue& manifest, std::string_view channel) {
    const auto found = manifest.object.find("channel");
    if (manifest.type != JsonType::Object || found == manifest.object.end()) {
        return true;
    }
    // A value of another type names no channel at all: never this one.
    return found->second.type == JsonType::String && found->second.string == channel;
}

std::uint64_t ToByteCount(double number) {
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (!(number > -1.0) || number >= kTwoTo64) {  // also catches NaN
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(number);  // truncates toward zero
}

std::vector<ManifestEntry> ReadManifestEntries(const JsonValue& manifest) {
    std::vector<ManifestEntry> entries;
    for (const JsonValue& element : manifest.get("files").array) {
        ManifestEntry entry{element.get("path").asString(""), element.get("sha256").asString(""),
                            ToByteCount(element.get("size").asNumber(0.0)),
                            element.get("blocks").asString("")};
        if (!IsDigestText(entry.blocks)) {
            entry.blocks.clear();
        }
        if (IsValidManifestEntry(std::string_view(entry.path), entry.sha256)) {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

BootstrapperRecord ReadBootstrapperRecord(const JsonValue& manifest) {
    const JsonValue& record = manifest.get("bootstrapper");
    std::string sha256 = record.get("sha256").asString("");
    if (!IsDigestText(sha256)) {
        return {};
    }
    return {std::move(sha256), ToByteCount(record.get("size").asNumber(0.0))};
}

}  // namespace zelk
