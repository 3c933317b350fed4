#include "update/state_text.h"

#include "integrity/digest_text.h"
#include "json/json.h"
#include "update/manifest_rules.h"

namespace zelk {
namespace {

// The C locale's isspace: the whitespace a stream's >> skips.
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

void SkipSpaces(std::string_view line, size_t& at) {
    while (at < line.size() && IsSpace(line[at])) {
        ++at;
    }
}

std::string_view Word(std::string_view line, size_t& at) {
    SkipSpaces(line, at);
    const size_t start = at;
    while (at < line.size() && !IsSpace(line[at])) {
        ++at;
    }
    return line.substr(start, at - start);
}

}  // namespace

Settings ParseSettings(std::span<const std::uint8_t> bytes) {
    Settings settings;
    JsonValue json;
    if (parseJson(bytes, json)) {  // a failed parse leaves a partial value: not used
        settings.channel = json.get("channel").asString("release");
        settings.autoUpdate = json.get("autoUpdate").asBool(true);
    }
    if (settings.channel != "release" && settings.channel != "beta" &&
        settings.channel != "latest") {
        settings.channel = "release";
    }
    return settings;
}

std::string FromTextMode(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            text += bytes[i];
        }
    }
    return text;
}

std::string ToTextMode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') {
            bytes += '\r';
        }
        bytes += c;
    }
    return bytes;
}

std::string ParseLastDate(std::string_view text) {
    const std::string_view line = text.substr(0, text.find('\n'));
    return IsTimestamp(line) ? std::string(line) : std::string();
}

std::vector<std::pair<std::string, std::string>> ParseIndexText(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> entries;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

        size_t at = 0;
        const std::string_view digest = Word(line, at);
        const std::string_view size = Word(line, at);
        SkipSpaces(line, at);
        const std::string_view path = line.substr(at);
        if (digest.empty() || size.empty() || path.empty()) {
            continue;  // a blank or incomplete line
        }
        if (!IsDigestText(digest)) {
            continue;  // damaged: names no content, and the path is not known to be ours
        }
        entries.emplace_back(std::string(digest), std::string(path));
    }
    return entries;
}

std::string FormatIndexText(const std::vector<IndexLine>& lines) {
    std::string text;
    for (const IndexLine& line : lines) {
        text += line.sha256;
        text += ' ';
        text += std::to_string(line.size);
        text += ' ';
        text += line.path;
        text += '\n';
    }
    return text;
}

}  // namespace zelk
