"""tools/publish.py: layout, manifest form, signatures, idempotence and refusals."""

import base64
import datetime
import hashlib
import itertools
import json
import os
import pathlib
import random
import re
import subprocess
import sys

import numpy as np
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import publish  # noqa: E402

DATE = "2025-06-01T12:00:00Z"
EXPIRES = "2025-07-01T12:00:00Z"
SOURCE_FILES = {
    "ZelkLauncher.exe": b"MZ launcher",
    "b/z.txt": b"z",
    "b/a.txt": b"same",
    "a.txt": b"same",
    "données/é.json": "{\"é\": 1}".encode("utf-8"),
    "empty": b"",
}


def make_source(folder, files=SOURCE_FILES):
    for path, data in files.items():
        (folder / path).parent.mkdir(parents=True, exist_ok=True)
        (folder / path).write_bytes(data)
    return folder


def snapshot(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.fixture
def source(tmp_path):
    return make_source(tmp_path / "source")


def test_release_layout_and_manifest(tmp_path, source):
    exe = tmp_path / "Zelk.exe"
    exe.write_bytes(b"MZ bootstrapper")
    folder = publish.publish(source, tmp_path / "out", "beta", "secondary", exe, DATE, EXPIRES)
    assert folder == tmp_path / "out" / "beta"

    manifest_bytes = (folder / "manifest.json").read_bytes()
    manifest = json.loads(manifest_bytes.decode("utf-8"))
    assert list(manifest) == ["date", "expires", "channel", "bootstrapper", "files"]
    assert manifest["channel"] == "beta"
    assert manifest["date"] == DATE and manifest["expires"] == EXPIRES
    assert manifest["bootstrapper"] == {"sha256": publish.sha256_hex(b"MZ bootstrapper"),
                                        "size": 15}
    assert [f["path"] for f in manifest["files"]] == sorted(SOURCE_FILES)
    for entry in manifest["files"]:
        assert list(entry) == ["path", "sha256", "size"]
        data = SOURCE_FILES[entry["path"]]
        assert entry["sha256"] == publish.sha256_hex(data) and entry["size"] == len(data)
    # Raw UTF-8 in the manifest, not \u escapes.
    assert "données/é.json".encode("utf-8") in manifest_bytes

    store = snapshot(folder / "files")
    expected = set(SOURCE_FILES.values()) | {b"MZ bootstrapper"}
    assert sorted(store.values()) == sorted(expected)  # equal contents are stored once
    assert all(name == publish.sha256_hex(data) for name, data in store.items())

    text = (folder / "manifest.sig").read_bytes()
    assert text.isascii() and b"\n" not in text and b"-" not in text
    raw = base64.b64decode(text, validate=True)
    assert len(raw) == 64
    order = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
    assert 0 < int.from_bytes(raw[:32], "big") < order
    assert 0 < int.from_bytes(raw[32:], "big") < order
    assert publish.verify_bytes(manifest_bytes, text, "secondary")
    assert not publish.verify_bytes(manifest_bytes, text, "primary")


def test_manifest_without_bootstrapper_and_without_files(tmp_path):
    (tmp_path / "source").mkdir()
    folder = publish.publish(tmp_path / "source", tmp_path / "out", date=DATE, expires=EXPIRES)
    assert (folder / "manifest.json").read_bytes() == (
        b'{\n  "date": "2025-06-01T12:00:00Z",\n  "expires": "2025-07-01T12:00:00Z",\n'
        b'  "channel": "release",\n  "files": []\n}\n')
    assert publish.verify_bytes((folder / "manifest.json").read_bytes(),
                                (folder / "manifest.sig").read_text(), "primary")


def test_second_run_leaves_every_byte(tmp_path, source):
    out = tmp_path / "out"
    publish.publish(source, out, date=DATE, expires=EXPIRES)
    first = snapshot(out)
    publish.publish(source, out, date=DATE, expires=EXPIRES)
    assert snapshot(out) == first

    # A changed file makes a new manifest with a new, valid signature; the old content
    # stays in the store for clients that are still fetching it.
    (source / "b" / "z.txt").write_bytes(b"zz")
    folder = publish.publish(source, out, date=DATE, expires=EXPIRES)
    second = snapshot(out)
    assert second["release/manifest.json"] != first["release/manifest.json"]
    assert publish.verify_bytes(second["release/manifest.json"],
                                second["release/manifest.sig"], "primary")
    assert set(first) < set(second)
    assert (folder / "files" / publish.sha256_hex(b"z")).exists()


def test_block_maps_for_files_of_one_mib_and_more(tmp_path, monkeypatch):
    rng = random.Random(4)
    files = {"a.txt": b"a", "below.bin": rng.randbytes((1 << 20) - 1),
             "big.pak": rng.randbytes(3 * (1 << 20) + 5), "one.bin": rng.randbytes(1 << 20)}
    source = make_source(tmp_path / "source", files)
    out = tmp_path / "out"
    folder = publish.publish(source, out, date=DATE, expires=EXPIRES)
    first = snapshot(out)
    entries = json.loads((folder / "manifest.json").read_bytes())["files"]
    assert [list(entry) for entry in entries] == [["path", "sha256", "size"]] * 2 + [
        ["path", "sha256", "size", "blocks"]] * 2
    for entry in entries[2:]:
        data = files[entry["path"]]
        block_map = (folder / "files" / entry["blocks"]).read_bytes()
        assert publish.sha256_hex(block_map) == entry["blocks"]
        sizes, digests = publish.read_block_map(block_map, len(data))
        assert len(sizes) > 1
        offsets = itertools.accumulate([0] + sizes)
        assert digests == [hashlib.sha256(data[at:at + size]).hexdigest()
                           for at, size in zip(offsets, sizes)]

    publish.publish(source, out, date=DATE, expires=EXPIRES)
    assert snapshot(out) == first

    # The manifest's size, "blocks" keys included, is known before anything is stored.
    exact = len(first["release/manifest.json"])
    monkeypatch.setattr(publish, "MANIFEST_CAP", exact - 1)
    with pytest.raises(publish.PublishError, match=f"{exact} bytes"):
        publish.publish(source, tmp_path / "over", date=DATE, expires=EXPIRES)
    assert not (tmp_path / "over").exists()


@pytest.fixture
def vectors(monkeypatch):
    """tests/net/make_block_vectors.py, which writes the client's block test vectors."""
    monkeypatch.syspath_prepend(str(ROOT / "tests" / "net"))
    import make_block_vectors
    return make_block_vectors


@pytest.mark.parametrize("window", [publish._HASH_WINDOW, 4096 + 7])
def test_block_vectors_are_the_publishers(monkeypatch, vectors, window):
    # The client's cutter and map reader are tested against tests/net/block_vectors.h:
    # the publisher must still cut and write what it holds, whatever stretch it hashes
    # at once.
    monkeypatch.setattr(publish, "_HASH_WINDOW", window)
    assert vectors.header_text() == (ROOT / "tests" / "net" / "block_vectors.h").read_text(
        encoding="utf-8")


@pytest.mark.parametrize("window", [5, 64, 129])
def test_every_stretch_is_hashed_as_the_bytes_roll(monkeypatch, vectors, window):
    # Windows that pass the masks, back to back: many stretches start or end on one.
    stream = vectors.splitmix_bytes(vectors.WINDOW_SEED, 1 << 20)
    passing = [stream[end - 63:end + 1] for end in (vectors.STRICT_END, vectors.LOOSE_END)]
    data = (passing[0] + passing[1] + b"x") * 30 + random.Random(5).randbytes(500)
    gear, rolling, expected = publish.gear_table(), 0, ([], [])
    masks = (publish.BLOCK_MASK_STRICT, publish.BLOCK_MASK_LOOSE)
    for position, byte in enumerate(data):
        rolling = ((rolling << 1) + gear[byte]) & ((1 << 64) - 1)
        for found, mask in zip(expected, masks):
            if rolling & mask == 0:
                found.append(position)
    assert len(expected[0]) >= 30 and len(expected[1]) >= 60

    monkeypatch.setattr(publish, "_HASH_WINDOW", window)
    stretches = list(publish._cut_candidates(np.frombuffer(data, dtype=np.uint8), np))
    assert [end for end, _, _ in stretches][-1] == len(data)
    assert [int(p) for _, strict, _ in stretches for p in strict] == expected[0]
    assert [int(p) for _, _, loose in stretches for p in loose] == expected[1]


def test_signature_is_remade_when_it_no_longer_holds(tmp_path, source):
    out = tmp_path / "out"
    folder = publish.publish(source, out, date=DATE, expires=EXPIRES)
    manifest = (folder / "manifest.json").read_bytes()

    (folder / "manifest.sig").write_text(publish.sign_bytes(b"another manifest", "primary"))
    publish.publish(source, out, date=DATE, expires=EXPIRES)
    assert publish.verify_bytes(manifest, (folder / "manifest.sig").read_text(), "primary")

    # Same manifest, other key: the primary signature is not kept.
    publish.publish(source, out, key="secondary", date=DATE, expires=EXPIRES)
    assert publish.verify_bytes(manifest, (folder / "manifest.sig").read_text(), "secondary")

    # A damaged store file is rewritten.
    damaged = folder / "files" / publish.sha256_hex(b"MZ launcher")
    damaged.write_bytes(b"MZ launcheR")
    publish.publish(source, out, key="secondary", date=DATE, expires=EXPIRES)
    assert damaged.read_bytes() == b"MZ launcher"


def test_default_date_is_now_and_expiry_thirty_days_later(tmp_path, source):
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    folder = publish.publish(source, tmp_path / "out")
    after = datetime.datetime.now(datetime.timezone.utc)
    manifest = json.loads((folder / "manifest.json").read_bytes())
    date = publish.parse_timestamp(manifest["date"], "date")
    assert before <= date <= after
    assert publish.parse_timestamp(manifest["expires"], "expiry") - date == datetime.timedelta(
        days=30)


@pytest.mark.parametrize("date, expires", [
    ("2025-06-01 12:00:00Z", EXPIRES),
    ("2025-06-01t12:00:00z", EXPIRES),
    ("2025-06-01T12:00:00+00:00", EXPIRES),
    ("2025-06-01T12:00:00.5Z", EXPIRES),
    ("2025-13-01T12:00:00Z", EXPIRES),
    ("２０２５-06-01T12:00:00Z", EXPIRES),
    (DATE, "2025-05-31T12:00:00Z"),
])
def test_refuses_bad_times(tmp_path, source, date, expires):
    with pytest.raises(publish.PublishError):
        publish.publish(source, tmp_path / "out", date=date, expires=expires)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("files", [
    {"a..b.txt": b"x"},          # the client skips any path with ".."
    {"back\\slash.txt": b"x"},   # a folder separator on Windows
    {"c:drive.txt": b"x"},
    {"what?.txt": b"x"},
    {"dir/CON.txt": b"x"},
    {"trailing.": b"x"},
    {"Same.txt": b"x", "same.TXT": b"y"},  # one file on Windows
])
def test_refuses_names_windows_cannot_hold(tmp_path, files):
    source = make_source(tmp_path / "source", files)
    with pytest.raises(publish.PublishError):
        publish.publish(source, tmp_path / "out", date=DATE, expires=EXPIRES)
    assert not (tmp_path / "out").exists()


def test_refusal_names_every_offending_path(tmp_path):
    files = {"ok.txt": b"x", "lib/COM1.dll": b"x", "lib/lpt\u00b9.log": b"x", "Dup.txt": b"x",
             "dup.TXT": b"y", "name. /x": b"x", "back\\slash": b"x", "q?.txt": b"x",
             "d" * 150 + "/f": b"x", "also/fine.txt": b"x"}
    source = make_source(tmp_path / "source", files)
    done = run_cli("release", source, tmp_path / "out")
    assert done.returncode == 1 and not (tmp_path / "out").exists()
    named = [line.split(":")[0].strip() for line in done.stderr.splitlines()[1:]]
    assert sorted(named) == sorted(["lib/COM1.dll", "lib/lpt\u00b9.log", "dup.TXT", "name. /x",
                                    "back\\slash", "q?.txt", "d" * 150 + "/f"])


def test_refuses_a_manifest_larger_than_clients_accept(tmp_path, monkeypatch):
    # Empty files under long paths: past the limit with about 17,000 entries.
    source = tmp_path / "source"
    (source / ("d" * 100)).mkdir(parents=True)
    for i in range(17_000):
        (source / ("d" * 100) / f"{'n' * 40}{i:05}").touch()
    done = run_cli("release", source, tmp_path / "out")
    assert done.returncode == 1 and not (tmp_path / "out").exists()
    assert "4194304 bytes (4 MiB) that clients accept" in done.stderr, done.stderr

    # The limit itself is accepted, one byte more is not, and the bootstrapper counts.
    small = make_source(tmp_path / "small")
    exe = tmp_path / "Zelk.exe"
    exe.write_bytes(b"MZ bootstrapper")
    exact = len((publish.publish(small, tmp_path / "sized", bootstrapper=exe, date=DATE,
                                 expires=EXPIRES) / "manifest.json").read_bytes())
    monkeypatch.setattr(publish, "MANIFEST_CAP", exact - 1)
    with pytest.raises(publish.PublishError, match=f"{exact} bytes"):
        publish.publish(small, tmp_path / "over", bootstrapper=exe, date=DATE, expires=EXPIRES)
    assert not (tmp_path / "over").exists()
    with pytest.raises(publish.PublishError):
        publish.write_release(tmp_path / "crafted", "release", {"files": ["x" * exact]})
    assert not (tmp_path / "crafted").exists()
    monkeypatch.setattr(publish, "MANIFEST_CAP", exact)
    publish.publish(small, tmp_path / "at", bootstrapper=exe, date=DATE, expires=EXPIRES)


def test_manifest_limit_is_the_clients():
    header = (ROOT / "src" / "update" / "manifest_search.h").read_text()
    client = re.search(r"kManifestCap = (\d+);", header)
    assert client and int(client.group(1)) == publish.MANIFEST_CAP == 4 * 1024 * 1024


@pytest.mark.parametrize("path, usable", [
    ("ZelkLauncher.exe", True), ("lib/a.dll", True), ("COM10", True), ("console.txt", True),
    ("x" * 154, True), ("x" * 155, False), ("d" * 146 + "/f", True), ("d" * 147 + "/f", False),
    ("aux", False), ("Aux.tar.gz", False), ("con .txt", False), ("CONIN$", False),
    ("COM0", False), ("a//b", False), ("./a", False), ("a/", False), ("a.", False),
    ("a ", False), ("a:b", False), ("a..b", False), ("/a", False), ("", False), ("a\tb", False),
])
def test_path_rules_match_the_clients(path, usable):
    # The same verdicts as the client's table (tests/update/path_cases.h).
    assert (publish.path_problem(path) is None) == usable


def test_refuses_unusable_setups(tmp_path, source):
    other_curve = tmp_path / "p384.pem"
    other_curve.write_bytes(ec.generate_private_key(ec.SECP384R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    attempts = [
        dict(out=source / "site"),                 # would publish itself next time
        dict(channel="../escape"),
        dict(channel=""),
        dict(key=other_curve),
        dict(key=tmp_path / "missing.pem"),
        dict(key=source / "ZelkLauncher.exe"),   # not PEM
    ]
    for attempt in attempts:
        arguments = dict(out=tmp_path / "out", date=DATE, expires=EXPIRES) | attempt
        with pytest.raises(publish.PublishError):
            publish.publish(source, **arguments)
        assert not arguments["out"].exists(), attempt


def test_signature_forms():
    text = publish.sign_bytes(b"manifest", "primary")
    assert not publish.verify_bytes(b"manifest ", text, "primary")
    assert not publish.verify_bytes(b"manifest", "not base64", "primary")
    der = publish.sign_der(b"manifest", "primary")
    assert 70 <= len(der) <= 72
    assert not publish.verify_bytes(b"manifest", base64.b64encode(der).decode(), "primary")
    public = publish.public_key_from_hex(publish.public_key_hex("primary"))
    assert publish.verify_bytes(b"manifest", text, public)


def test_write_release_crafts_unusual_releases(tmp_path):
    folder = publish.write_release(tmp_path / "out", "latest", b"{not json", "secondary",
                                   contents={"0" * 64: b"not what the name says"})
    assert (folder / "manifest.json").read_bytes() == b"{not json"
    assert publish.verify_bytes(b"{not json", (folder / "manifest.sig").read_bytes(), "secondary")
    assert (folder / "files" / ("0" * 64)).read_bytes() == b"not what the name says"

    folder = publish.write_release(tmp_path / "out", "beta", {"date": DATE}, "primary",
                                   contents=[b"one", b"two"], signature="garbage")
    assert (folder / "manifest.sig").read_bytes() == b"garbage"
    assert (folder / "manifest.json").read_bytes() == publish.format_manifest({"date": DATE})
    assert {p.name for p in (folder / "files").iterdir()} == {
        publish.sha256_hex(b"one"), publish.sha256_hex(b"two")}


def test_dev_public_keys_match_their_private_halves():
    for name in publish.DEV_KEY_NAMES:
        pub = (publish.DEV_KEYS / f"{name}-DEVELOPMENT-ONLY.pub").read_text().strip()
        assert pub == publish.public_key_hex(name)
        assert "DEVELOPMENT" in publish.dev_key_path(name).read_text()
    assert publish.public_key_hex("primary") != publish.public_key_hex("secondary")


def run_cli(*arguments, env=None):
    return subprocess.run([sys.executable, str(ROOT / "tools" / "publish.py"), *map(str, arguments)],
                          capture_output=True, text=True, env=env)


def test_command_line(tmp_path, source):
    done = run_cli("release", source, tmp_path / "out", "--channel", "beta", "--key", "secondary",
                   "--date", DATE, "--expires", EXPIRES)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(tmp_path / "out" / "beta" / "manifest.json")
    library = publish.publish(source, tmp_path / "library", "beta", "secondary", None, DATE,
                              EXPIRES)
    assert (library / "manifest.json").read_bytes() == (
        tmp_path / "out" / "beta" / "manifest.json").read_bytes()

    refused = run_cli("release", source, tmp_path / "other", "--date", "yesterday")
    assert refused.returncode == 1
    assert refused.stderr.startswith("publish.py: error:") and "Traceback" not in refused.stderr
    assert not (tmp_path / "other").exists()

    assert run_cli("public-key", "primary").stdout.strip() == publish.public_key_hex("primary")


def test_new_keys_are_private_and_never_overwritten(tmp_path, source):
    env = dict(os.environ, SIGNING_PASSWORD="correct horse")
    key = tmp_path / "mine.pem"
    made = run_cli("new-key", key, "--password-env", "SIGNING_PASSWORD", env=env)
    assert made.returncode == 0, made.stderr
    assert key.stat().st_mode & 0o777 == 0o600
    assert made.stdout.strip() == publish.public_key_hex(key, b"correct horse")
    assert b"ENCRYPTED" in key.read_bytes()

    again = run_cli("new-key", key, env=env)
    assert again.returncode == 1 and "exists" in again.stderr

    signed = run_cli("release", source, tmp_path / "out", "--key", key, "--password-env",
                     "SIGNING_PASSWORD", env=env)
    assert signed.returncode == 0, signed.stderr
    folder = tmp_path / "out" / "release"
    assert publish.verify_bytes((folder / "manifest.json").read_bytes(),
                                (folder / "manifest.sig").read_text(), key, b"correct horse")

    without = run_cli("release", source, tmp_path / "out2", "--key", key)
    assert without.returncode == 1 and not (tmp_path / "out2").exists()
