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
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kCurrentSignature =
    "3HGG/Gw+WqCQKKlwdMx6nvzIWaourrjY2v007TaQd1tPsEiM6iVBUl0NWebYyyCLVFmeKEBPrN0p+VPvt803Vw==";

// Acceptable until 2099, dated 2025-07-01T00:00:00Z; signed with the secondary key.
inline constexpr std::string_view kBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kBetaSignature =
    "wCM6PRwIp474MxZupmbLTVwZYgo6mu/YZUwKpHE2YuXx6Jnc16n81pfw64/n8QmGMdeavB6yoIWZASm7OUocPQ==";

// As Beta, and signed for the beta channel ("channel": "beta").
inline constexpr std::string_view kLabelledBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"channel\": \"beta\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kLabelledBetaSignature =
    "6jNLFiKqJCEf5a+9MCcqI9g/2GoStSP+7I8+oaPMRocQqvyIOJiSSOJXfZiEKwiai0G5FnhlBvsIqhk4wWuPAw==";

// Expired since 2020-02-01T00:00:00Z.
inline constexpr std::string_view kExpiredManifest =
    "{\n"
    "  \"date\": \"2020-01-01T00:00:00Z\",\n"
    "  \"expires\": \"2020-02-01T00:00:00Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kExpiredSignature =
    "hHqKl3M8tl8zyReoXshkCtTIqJLtAqittBYT0P6Ad5RU1m5PzvAe33FRDv1a+KEZjd792hwecr65AniPI73lWw==";

// Validly signed, but not a JSON object.
inline constexpr std::string_view kNotAnObjectManifest = "[\"date\", \"2025-06-01T00:00:00Z\"]\n";
inline constexpr std::string_view kNotAnObjectSignature =
    "+ma0h/yEO6Kg7zEPC7Cy+f7KBtDEv4dc5MOpBZqFpVNj0U6aT2PSQt8gUGJ4lZeje9ZBB9iw2EmAEV8DXrAMtA==";

}  // namespace zelk::search_vectors
