#!/usr/bin/python3
"""Writes signature_vectors.h: manifests signed once with the development keys.

ECDSA signatures are randomised, so a new run gives other (equally valid) bytes;
the committed header is what the tests use. Run from anywhere:
    tests/integrity/make_vectors.py
"""

import base64
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tools"))

import publish  # noqa: E402

MANIFEST_A = publish.format_manifest({
    "date": "2025-03-01T08:00:00Z",
    "expires": "2025-03-31T08:00:00Z",
    "bootstrapper": {"sha256": publish.sha256_hex(b"MZ bootstrapper"), "size": 15},
    "files": [
        publish.manifest_entry("ZelkLauncher.exe", b"MZ launcher"),
        publish.manifest_entry("données/paramètres.json", b"{}"),
    ],
})
MANIFEST_B = publish.format_manifest({
    "date": "2025-04-01T08:00:00Z",
    "expires": "2025-05-01T08:00:00Z",
    "files": [publish.manifest_entry("ZelkLauncher.exe", b"MZ launcher 2")],
})
# Signed as served: carriage returns are part of the signed bytes.
MANIFEST_CRLF = MANIFEST_B.replace(b"\n", b"\r\n")


def c_bytes(data):
    rows = [data[i:i + 16] for i in range(0, len(data), 16)]
    return ",\n    ".join(", ".join(f"0x{byte:02x}" for byte in row) for row in rows)


def c_string(data):
    """Adjacent literals, one per line of data; octal escapes (never more than three
    digits) for every byte outside printable ASCII, so the bytes are exact."""
    pieces = []
    for line in data.splitlines(keepends=True):
        text = ""
        for byte in line:
            character = chr(byte)
            if byte in (0x0A, 0x0D):
                text += "\\n" if byte == 0x0A else "\\r"
            elif character in '"\\':
                text += "\\" + character
            elif 0x20 <= byte < 0x7F:
                text += character
            else:
                text += f"\\{byte:03o}"
        pieces.append(f'"{text}"')
    return "\n    ".join(pieces)


def main():
    a_primary = publish.sign_bytes(MANIFEST_A, "primary")
    a_secondary = publish.sign_bytes(MANIFEST_A, "secondary")
    a_der = base64.b64encode(publish.sign_der(MANIFEST_A, "primary")).decode()
    b_primary = publish.sign_bytes(MANIFEST_B, "primary")
    crlf_secondary = publish.sign_bytes(MANIFEST_CRLF, "secondary")
    for data, text, key in ((MANIFEST_A, a_primary, "primary"),
                            (MANIFEST_A, a_secondary, "secondary"),
                            (MANIFEST_B, b_primary, "primary"),
                            (MANIFEST_CRLF, crlf_secondary, "secondary")):
        assert publish.verify_bytes(data, text, key)

    def key_array(name):
        return bytes.fromhex(publish.public_key_hex(name))

    header = f"""#pragma once
// Generated once by make_vectors.py with the development keys (tools/dev-keys).

#include <array>
#include <cstdint>
#include <string_view>

namespace zelk::vectors {{

// The development public keys, X then Y.
inline constexpr std::array<std::uint8_t, 64> kDevPrimaryKey = {{
    {c_bytes(key_array("primary"))}}};
inline constexpr std::array<std::uint8_t, 64> kDevSecondaryKey = {{
    {c_bytes(key_array("secondary"))}}};

// A manifest as the publisher writes it (LF line ends, UTF-8 path):
/*
{MANIFEST_A.decode()}*/
inline constexpr std::string_view kManifestA =
    {c_string(MANIFEST_A)};
inline constexpr std::string_view kSignatureAPrimary = "{a_primary}";
inline constexpr std::string_view kSignatureASecondary = "{a_secondary}";
// The primary signature of manifest A in DER form, Base64.
inline constexpr std::string_view kDerSignatureA =
    "{a_der}";

// Another manifest, signed with the primary key.
inline constexpr std::string_view kManifestB =
    {c_string(MANIFEST_B)};
inline constexpr std::string_view kSignatureBPrimary = "{b_primary}";

// Manifest B with CR LF line ends, signed as such with the secondary key.
inline constexpr std::string_view kManifestCrlf =
    {c_string(MANIFEST_CRLF)};
inline constexpr std::string_view kSignatureCrlfSecondary = "{crlf_secondary}";

}}  // namespace zelk::vectors
"""
    (HERE / "signature_vectors.h").write_text(header, encoding="utf-8")


if __name__ == "__main__":
    main()
