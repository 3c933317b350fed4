#pragma once
// Generated once by make_search_vectors.py with the development keys (tools/dev-keys).

#include <string_view>

namespace zelk::search_vectors {

// Acceptable until 2099, dated 2025-06-01T00:00:00Z; signed with the primary key.
inline constexpr std::string_view kCurrentManifest =
    "{\n"
    "  \"date\": \"2025-06-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kCurrentSignature = "MxzmImeJsPGYJRS0LLKpxTO3SwGGerNI0k22htLN7r0wjQn4kiAmmt1Q22iVdayeZ+whQalCdjnR3HFXFhy7xw==";

// Acceptable until 2099, dated 2025-07-01T00:00:00Z; signed with the secondary key.
inline constexpr std::string_view kBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kBetaSignature = "LXo5bI/3qovo4DOwUazgn2+RrfUxvEEXv3oS8xbkynExk2xUFsm4nbiyai6Npwyg03BDgdXKvQ5vIsCAO+edOg==";

// As Beta, and signed for the beta channel ("channel": "beta").
inline constexpr std::string_view kLabelledBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"channel\": \"beta\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kLabelledBetaSignature = "g2PEhlsjKGpk+hcqaKuAfZomZzN9WYzjTIrYfzAP1fhB+yiAAtk/Uo+jtsTS7fKRQpC4oAd4BHWUL49N81sRHg==";

// Expired since 2020-02-01T00:00:00Z.
inline constexpr std::string_view kExpiredManifest =
    "{\n"
    "  \"date\": \"2020-01-01T00:00:00Z\",\n"
    "  \"expires\": \"2020-02-01T00:00:00Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kExpiredSignature = "gEyxqkzIL7Le1wIvfvCEPA3kUefPzfEax3YvBUk/kK3ZdwEuq3dGCmwqTJbyOw2S1HZh5VDPzq1ZryN/jYgJnA==";

// Validly signed, but not a JSON object.
inline constexpr std::string_view kNotAnObjectManifest =
    "[\"date\", \"2025-06-01T00:00:00Z\"]\n";
inline constexpr std::string_view kNotAnObjectSignature = "o2BmXVzNjqTSH4a4+5sMoaf8KyQU3OORyTp+nQhnjVozIYs3L7eL3gHT/72DqgYc/tDypEKeDXHA0OhXmAKHYA==";

// As Current, with a second file: lib/data.bin, "data v2".
inline constexpr std::string_view kTwoFilesManifest =
    "{\n"
    "  \"date\": \"2025-06-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11},\n"
    "    {\"path\": \"lib/data.bin\", \"sha256\": \"5f4be870850f48178d52a2dd9254287c68109e43ade1e4df82a7f98736b23007\", \"size\": 7}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kTwoFilesSignature = "JLTKov+GO7uJ6i0OA+TT+fzVB86xPn9EFoLj6lYvnjO6mPw5sgss7ZKaruzDipUciaTaunQtZ+soqaxmRGDJBQ==";

}  // namespace zelk::search_vectors
