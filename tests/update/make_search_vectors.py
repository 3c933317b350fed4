#!/usr/bin/python3
"""Writes search_vectors.h: manifests signed once with the development keys, for the
manifest search's tests. Their expiry lies far ahead (or long past), so they keep
their verdict whatever day the tests run. Run from anywhere:
    tests/update/make_search_vectors.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tools"))
sys.path.insert(0, str(HERE.parent / "integrity"))

import publish  # noqa: E402
from make_vectors import c_string  # noqa: E402

FILES = [publish.manifest_entry("ZelkLauncher.exe", b"MZ launcher")]
CURRENT = publish.format_manifest({"date": "2025-06-01T00:00:00Z",
                                   "expires": "2099-12-31T23:59:59Z", "files": FILES})
BETA = publish.format_manifest({"date": "2025-07-01T00:00:00Z",
                                "expires": "2099-12-31T23:59:59Z", "files": FILES})
LABELLED_BETA = publish.format_manifest({"date": "2025-07-01T00:00:00Z", "channel": "beta",
                                         "expires": "2099-12-31T23:59:59Z", "files": FILES})
EXPIRED = publish.format_manifest({"date": "2020-01-01T00:00:00Z",
                                   "expires": "2020-02-01T00:00:00Z", "files": FILES})
NOT_AN_OBJECT = b'["date", "2025-06-01T00:00:00Z"]\n'
LABELLED_RELEASE = publish.format_manifest({"date": "2025-06-01T00:00:00Z", "channel": "release",
                                            "expires": "2099-12-31T23:59:59Z", "files": FILES})
TWO_FILES = publish.format_manifest({
    "date": "2025-06-01T00:00:00Z", "expires": "2099-12-31T23:59:59Z",
    "files": FILES + [publish.manifest_entry("lib/data.bin", b"data v2")]})

VECTORS = [
    ("Current", CURRENT, "primary",
     "Acceptable until 2099, dated 2025-06-01T00:00:00Z; signed with the primary key."),
    ("Beta", BETA, "secondary",
     "Acceptable until 2099, dated 2025-07-01T00:00:00Z; signed with the secondary key."),
    ("LabelledBeta", LABELLED_BETA, "primary",
     "As Beta, and signed for the beta channel (\"channel\": \"beta\")."),
    ("LabelledRelease", LABELLED_RELEASE, "primary",
     "As Current, and signed for the release channel (\"channel\": \"release\")."),
    ("Expired", EXPIRED, "primary", "Expired since 2020-02-01T00:00:00Z."),
    ("NotAnObject", NOT_AN_OBJECT, "primary", "Validly signed, but not a JSON object."),
    ("TwoFiles", TWO_FILES, "primary",
     "As Current, with a second file: lib/data.bin, \"data v2\"."),
]


def main():
    blocks = []
    for name, data, key, what in VECTORS:
        signature = publish.sign_bytes(data, key)
        assert publish.verify_bytes(data, signature, key)
        blocks.append(f"""// {what}
inline constexpr std::string_view k{name}Manifest =
    {c_string(data)};
inline constexpr std::string_view k{name}Signature = "{signature}";
""")
    header = """#pragma once
// Generated once by make_search_vectors.py with the development keys (tools/dev-keys).

#include <string_view>

namespace zelk::search_vectors {

""" + "\n".join(blocks) + """
}  // namespace zelk::search_vectors
"""
    (HERE / "search_vectors.h").write_text(header, encoding="utf-8")


if __name__ == "__main__":
    main()
