#!/usr/bin/python3
"""Publishes a small release with tools/publish.py, as a publisher would, for the
published_release_test program to verify under Wine.

    publish_fixture.py OUT

Writes OUT/source (the launcher files), OUT/Zelk.exe and, through the command line,
OUT/site/release (signed with the primary development key) and OUT/site/beta
(signed with the secondary one).
"""

import pathlib
import shutil
import subprocess
import sys

PUBLISH = pathlib.Path(__file__).resolve().parents[2] / "tools" / "publish.py"

FILES = {
    "ZelkLauncher.exe": b"MZ" + bytes(range(256)) * 40,
    "données/paramètres.json": '{"langue": "français"}\n'.encode("utf-8"),
    "données/vide.bin": b"",
    "a/b/c/deep.txt": b"deep\r\n",
    "copy-of-deep.txt": b"deep\r\n",  # the same content twice is stored once
}


def main():
    out = pathlib.Path(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    source = out / "source"
    for path, data in FILES.items():
        (source / path).parent.mkdir(parents=True, exist_ok=True)
        (source / path).write_bytes(data)
    bootstrapper = out / "Zelk.exe"
    bootstrapper.write_bytes(b"MZ bootstrapper " * 100)
    for channel, key in (("release", "primary"), ("beta", "secondary")):
        subprocess.run([sys.executable, str(PUBLISH), "release", str(source), str(out / "site"),
                        "--channel", channel, "--key", key, "--bootstrapper", str(bootstrapper),
                        "--date", "2025-06-01T12:00:00Z", "--expires", "2025-07-01T12:00:00Z"],
                       check=True)


if __name__ == "__main__":
    main()
