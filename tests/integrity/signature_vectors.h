#pragma once
// Generated once by make_vectors.py with the development keys (tools/dev-keys).

#include <array>
#include <cstdint>
#include <string_view>

namespace zelk::vectors {

// The development public keys, X then Y.
inline constexpr std::array<std::uint8_t, 64> kDevPrimaryKey = {
    0x60, 0x53, 0x13, 0xf4, 0x35, 0xd6, 0xa6, 0x30, 0xda, 0xa3, 0xdf, 0xb4, 0x78, 0x8f, 0x1b, 0x1d,
    0xe9, 0x52, 0x35, 0x6b, 0x61, 0xcf, 0x6a, 0xb4, 0xff, 0x40, 0x51, 0xa5, 0xd7, 0xe3, 0xfa, 0x32,
    0xc0, 0x9f, 0x2b, 0xce, 0xbc, 0xcd, 0x31, 0x4c, 0xff, 0xf2, 0x31, 0x68, 0x28, 0xf5, 0xb8, 0xb5,
    0xd1, 0x05, 0xea, 0x3f, 0x85, 0xfe, 0x69, 0x79, 0x83, 0xca, 0x98, 0xa3, 0x6a, 0x22, 0xa4, 0xff};
inline constexpr std::array<std::uint8_t, 64> kDevSecondaryKey = {
    0xcd, 0x5b, 0x45, 0x81, 0xcd, 0x04, 0x8f, 0x68, 0xab, 0x91, 0x37, 0x10, 0x44, 0xb2, 0xc8, 0x14,
    0xa9, 0x54, 0x7e, 0x8e, 0xd7, 0x3a, 0xf8, 0x14, 0xe8, 0xed, 0xf0, 0x4f, 0x73, 0x15, 0x41, 0x43,
    0xf4, 0xd2, 0x36, 0x5b, 0x57, 0xd7, 0xee, 0xc1, 0xdd, 0xbd, 0xe5, 0xfb, 0x02, 0x01, 0x0e, 0xfe,
    0x3e, 0x73, 0x8b, 0xac, 0xbe, 0xb7, 0xea, 0x36, 0x75, 0x7d, 0x0b, 0xcc, 0xf4, 0xd3, 0x1b, 0x17};

// A manifest as the publisher writes it (LF line ends, UTF-8 path):
/*
{
  "date": "2025-03-01T08:00:00Z",
  "expires": "2025-03-31T08:00:00Z",
  "bootstrapper": {"sha256": "d0c610e37e9f384a782660573d27018b6bfb33daf418c846ce527bc57305c34b",
"size": 15}, "files": [
    {"path": "ZelkLauncher.exe", "sha256":
"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143", "size": 11},
    {"path": "données/paramètres.json", "sha256":
"44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a", "size": 2}
  ]
}
*/
inline constexpr std::string_view kManifestA =
    "{\n"
    "  \"date\": \"2025-03-01T08:00:00Z\",\n"
    "  \"expires\": \"2025-03-31T08:00:00Z\",\n"
    "  \"bootstrapper\": {\"sha256\": "
    "\"d0c610e37e9f384a782660573d27018b6bfb33daf418c846ce527bc57305c34b\", \"size\": 15},\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"ba048a0b0da9721531d3d9d0330df1605dc2e8ab8dcc26116c62d2d99f6b4143\", \"size\": 11},\n"
    "    {\"path\": \"donn\303\251es/param\303\250tres.json\", \"sha256\": "
    "\"44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a\", \"size\": 2}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kSignatureAPrimary =
    "cmS5VA2D7S/mciAyQMDrP71YkdW96E9EFH7NK3jXpvUG83QVCfsND8j5u9/6wN/Mng+NCp5BuDqliGBfyvZGuw==";
inline constexpr std::string_view kSignatureASecondary =
    "73jglAGq35XmsnOiqpPQSFwyCos/89LdVpFqxL4mSoWi2dPTJfVQ67WFpo+feRHAh2fnxnK4gzCqpITy9LfabA==";
// The primary signature of manifest A in DER form, Base64.
inline constexpr std::string_view kDerSignatureA =
    "MEQCIFwcp5+"
    "4udTKV5i1ELDCDvQXx51Apu32ZFcYLyoaTvDrAiAsY89tFfxSUGoGi0hR5Edquwf5Hc5e8vZ3thLM2zSM0w==";

// Another manifest, signed with the primary key.
inline constexpr std::string_view kManifestB =
    "{\n"
    "  \"date\": \"2025-04-01T08:00:00Z\",\n"
    "  \"expires\": \"2025-05-01T08:00:00Z\",\n"
    "  \"files\": [\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"0c365f7c700e54bad0968f9e0c399de5aa02f44275ad9d21a1b13f354bf851be\", \"size\": 13}\n"
    "  ]\n"
    "}\n";
inline constexpr std::string_view kSignatureBPrimary =
    "kdDoouwrfLzxn1jrwoIKhFjf8HLemielwwW5RVu7RixH7BOruzt+la7TOsCjOe0brQe0M0nEf9PwWUpyZpM6Zw==";

// Manifest B with CR LF line ends, signed as such with the secondary key.
inline constexpr std::string_view kManifestCrlf =
    "{\r\n"
    "  \"date\": \"2025-04-01T08:00:00Z\",\r\n"
    "  \"expires\": \"2025-05-01T08:00:00Z\",\r\n"
    "  \"files\": [\r\n"
    "    {\"path\": \"ZelkLauncher.exe\", \"sha256\": "
    "\"0c365f7c700e54bad0968f9e0c399de5aa02f44275ad9d21a1b13f354bf851be\", \"size\": 13}\r\n"
    "  ]\r\n"
    "}\r\n";
inline constexpr std::string_view kSignatureCrlfSecondary =
    "sQRw1esgPua8SeevPv/KDMBRWWKfJD+ys9AfzlHxzEATyVXMSnEVgaO/N5kCp9OTTE2YEg/5MI3QQRT3gmSNCQ==";

}  // namespace zelk::vectors
