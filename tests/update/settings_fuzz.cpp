// libFuzzer target for the launcher's settings file as the bootstrapper reads it.
// Beyond what the sanitizers catch, it checks that the channel is always one the
// update servers have, that each setting comes from a well-formed object's key of
// the right type or is its default, judged on the JSON value directly, and that
// the input taken as a channel name is kept only when it is one of the three.

#include "json/json.h"
#include "update/state_text.h"
#include "support/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace {

using zelk::JsonType;
using zelk::JsonValue;

using zelk::testing::Check;

// The member with that key when the value is an object that has it.
const JsonValue* Member(const JsonValue& value, const char* key) {
    if (value.type != JsonType::Object) {
        return nullptr;
    }
    const auto found = value.object.find(key);
    return found == value.object.end() ? nullptr : &found->second;
}

// The whole input as the channel's value, so that every byte string meets the
// channel rule, not only those inside a well-formed file.
void CheckChannelValue(std::string_view channel) {
    std::string text = R"({"autoUpdate":false,"channel":")";
    for (char c : channel) {
        if (c == '"' || c == '\\') {
            text += '\\';
        }
        text += c;
    }
    text += R"("})";
    const zelk::Settings settings = zelk::ParseSettings(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const bool known = channel == "release" || channel == "beta" || channel == "latest";
    Check(settings.channel == (known ? channel : "release"), "channel rule broken for a value");
    Check(!settings.autoUpdate, "autoUpdate lost beside an odd channel");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zelk::Settings settings = zelk::ParseSettings(bytes);
    Check(
        settings.channel == "release" || settings.channel == "beta" || settings.channel == "latest",
        "a channel outside release, beta and latest");

    JsonValue json;
    const bool parsed = zelk::parseJson(bytes, json);
    std::string channel = "release";
    bool autoUpdate = true;
    if (parsed) {
        const JsonValue* value = Member(json, "channel");
        if (value && value->type == JsonType::String &&
            (value->string == "beta" || value->string == "latest")) {
            channel = value->string;
        }
        value = Member(json, "autoUpdate");
        if (value && value->type == JsonType::Boolean) {
            autoUpdate = value->boolean;
        }
    }
    Check(settings.channel == channel, "channel not taken from a well-formed object");
    Check(settings.autoUpdate == autoUpdate, "autoUpdate not taken from a well-formed object");

    // The launcher may save its settings with a byte-order mark: that never parses.
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        Check(settings.channel == "release" && settings.autoUpdate,
              "a file with a byte-order mark gave more than defaults");
    }
    CheckChannelValue(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
