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
inline constexpr std::string_view kCurrentSignature = "jhZx2jeccBYkJ5+G78dGr/R1cWU8WUvMgaDTyKeqQX+Y0vuTaypj+Z6xvhtj1QEcuofUUJIxxcz6EOm5CpNlEw==";

// Acceptable until 2099, dated 2025-07-01T00:00:00Z; signed with the secondary key.
inline constexpr std::string_view kBetaManifest =
    "{\n"
    "  \"date\": \"2025-07-01T00:00:00Z\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kBetaSignature = "DV9oqRR4iil2JE7T3gvEXhUMCVjq4nJZ9+15QTFJlBnUsJHwzw5zOkqNKmWvJgb3O984h429deFnyKrWKdjjQg==";

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
inline constexpr std::string_view kLabelledBetaSignature = "IJzMu7aMdFNYDXaaY1OxSfkVO5qvxLFU91CTa2kFRypSi42oTgmDIX/Ei1azoJWlhc4IrWd2o5bhn9WfD54tJg==";

// As Current, and signed for the release channel ("channel": "release").
inline constexpr std::string_view kLabelledReleaseManifest =
    "{\n"
    "  \"date\": \"2025-06-01T00:00:00Z\",\n"
    "  \"channel\": \"release\",\n"
    "  \"expires\": \"2099-12-31T23:59:59Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kLabelledReleaseSignature = "TALWPbBi6nTw4xtOUrP6Z4yidaQby7371UK0fG+N1MsDlHEuKWvWQUqjR0BaiVeddV8fMYG8JKZobf2AOMAu0Q==";

// Expired since 2020-02-01T00:00:00Z.
inline constexpr std::string_view kExpiredManifest =
    "{\n"
    "  \"date\": \"2020-01-01T00:00:00Z\",\n"
    "  \"expires\": \"2020-02-01T00:00:00Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": \"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kExpiredSignature = "+Y+u/tiNxtrrk5QAzhZ2nBIeXuGsRPcgEZYYlrq2YdXPxswSLLmFfAFSYxPnIEJVTErPQConcZ7kKZjvK6E53Q==";

// Validly signed, but not a JSON object.
inline constexpr std::string_view kNotAnObjectManifest =
    "[\"date\", \"2025-06-01T00:00:00Z\"]\n";
inline constexpr std::string_view kNotAnObjectSignature = "jKN9/q2eES1TVOU+zm/dkThT/ebbgVHVAK2MiFZroSjtvnBLJygwjvKCSGMLJZ1NdeB4JxVqOqan3YIcZ9K+pg==";

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
inline constexpr std::string_view kTwoFilesSignature = "9eU7EOoGhD3xCgzYdtQfd9K2Whls6m2/HZLejf/9pNEzW7uVLpoFZnln5B8zFB4oG4TrmAe3Uova7CUH5Ag3tA==";

}  // namespace zelk::search_vectors
