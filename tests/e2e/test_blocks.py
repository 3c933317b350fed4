"""Differential downloads end to end: a file with a block map is built from the blocks
of the installed copy and ranges of the new content, served by nginx with the
production configuration; every surprise fetches the file whole in the same run and the
log says why; a run killed halfway resumes without asking again for the ranges it had
written; a release without maps is fetched as before."""

import hashlib
import pathlib
import random
import time

import pytest

import publish
import servers
from conftest import STANDIN, stamp
from harness import bench, log_messages, start, win_path

LAUNCHER = STANDIN.read_bytes()
PATH = "data/pack.bin"
SIZE = 32 * 1024 * 1024
KIB = 1024
MIB = 1024 * KIB
MAX_BLOCK = 256 * KIB


def pattern(size, seed):
    return random.Random(seed).randbytes(size)


def edited(data, how):
    """(new content, changed bytes, number of edits) of one of the four edits."""
    rng = random.Random(how)
    data = bytearray(data)
    if how == "overwrite":  # 1 MiB overwritten in the middle
        at = len(data) // 2
        data[at:at + MIB] = rng.randbytes(MIB)
        return bytes(data), MIB, 1
    if how == "insert":  # 4 KiB inserted near the start
        at = 100 * KIB
        return bytes(data[:at] + rng.randbytes(4 * KIB) + data[at:]), 4 * KIB, 1
    if how == "sixteen":  # 16 edits of 4 KiB spread over the file
        for i in range(16):
            at = (2 * i + 1) * len(data) // 32
            data[at:at + 4 * KIB] = rng.randbytes(4 * KIB)
        return bytes(data), 16 * 4 * KIB, 16
    assert how == "new"
    return rng.randbytes(len(data)), len(data), 1


def release(data):
    return {"ZelkLauncher.exe": LAUNCHER, PATH: data}


def publish_with_maps(releases, files, seconds=0, **maps):
    """Publishes files with the block map of PATH (maps overrides it)."""
    chosen = {PATH: publish.block_map(files[PATH])}
    chosen.update(maps)
    return releases.publish(files, date=stamp(seconds=seconds), maps=chosen)


def installed(root, path=PATH):
    return (pathlib.Path(root) / "Zelk Application Data" / "app" / path).read_bytes()


def partial_folder(root):
    return pathlib.Path(root) / "Zelk Application Data" / "telechargements"


def content_bytes(requests):
    """Bytes nginx sent for content-store files (maps included)."""
    return sum(r.size for r in requests if "/files/" in r.path)


def block_lines(root):
    return [m for m in log_messages(root) if f"file {PATH}: " in m and "block" in m]


@pytest.fixture
def v1(tmp_path, releases, production_server):
    """v1 installed from nginx (production configuration) below tmp_path/root."""
    root = tmp_path / "root"
    data = pattern(SIZE, 1)
    publish_with_maps(releases, release(data), seconds=-60)
    assert bench(root, production_server.url())[0] == 10
    assert installed(root) == data
    return root, data


@pytest.mark.parametrize("how", ["overwrite", "insert", "sixteen", "new"])
def test_an_edited_file_fetches_only_what_changed(v1, releases, production_server, how):
    root, old = v1
    new, changed, edits = edited(old, how)
    block_map = publish.block_map(new)
    publish_with_maps(releases, release(new))
    before = len(production_server.requests())
    code, report = bench(root, production_server.url())
    assert (code, report[:1]) == (10, ["10"])
    assert installed(root) == new
    asked = production_server.requests()[before:]
    fetched = content_bytes(asked)
    if how == "new":
        # Nothing in common: the plan says whole, which costs the map and the file.
        assert fetched <= len(new) + len(block_map)
        assert any("cheaper whole" in line for line in block_lines(root)), block_lines(root)
        return
    assert fetched <= changed + 2 * MAX_BLOCK * edits + len(block_map), fetched
    assert [r.status for r in asked if "/files/" in r.path].count(206) >= 1
    # v1 came with its map, recorded then: the installed copy needs no cutting.
    assert any("built from blocks" in line and "known by its recorded map" in line
               for line in block_lines(root)), block_lines(root)
    assert not list(partial_folder(root).glob("*.plan"))
    assert [p.name for p in partial_folder(root).iterdir()] == [
        f"{publish.sha256_hex(new)}.blocs"], "the new content's map recorded, the old one's gone"


def test_a_release_without_maps_is_fetched_whole_as_before(v1, releases, production_server):
    root, old = v1
    new, _, _ = edited(old, "overwrite")
    releases.publish(release(new))
    before = len(production_server.requests())
    assert bench(root, production_server.url())[0] == 10
    assert installed(root) == new
    asked = [r for r in production_server.requests()[before:] if "/files/" in r.path]
    assert [(r.path.rsplit("/", 1)[1], r.status, r.size) for r in asked] == [
        (publish.sha256_hex(new), 200, len(new))]
    assert block_lines(root) == []


def mirror(fault, releases, files, routes):
    """The fault server serves the release last published from files, and every map of
    the store, with some content answers replaced (routes: path of the release -> Route)."""
    folder = releases.root / "release"
    for name in ("manifest.json", "manifest.sig"):
        fault.route(f"/updates/release/{name}", servers.body((folder / name).read_bytes()))
    for stored in (folder / "files").iterdir():
        fault.route(f"/updates/release/files/{stored.name}",
                    servers.ranged(servers.body(stored.read_bytes())))
    for path, route in routes.items():
        fault.route(f"/updates/release/files/{publish.sha256_hex(files[path])}", route)
    return fault.url + "/updates"


def change_installed_copy(root):
    """The installed copy changed behind its recorded map, at the same size."""
    with open(pathlib.Path(root) / "Zelk Application Data" / "app" / PATH, "r+b") as copy:
        copy.seek(SIZE // 3)
        copy.write(b"\xff" * 64)


SURPRISES = {
    # name: (maps given to the publisher, the route of the new content, the log's words)
    "map missing": (None, None, "not served (HTTP 404)"),
    "map invalid": (b"ZBLK\x01\x00\x00\x00\x00", None, "is invalid"),
    "installed copy changed": ("good", None, "built from blocks has another digest"),
    "range answered 200": ("good", lambda data: servers.body(data), "answered HTTP 200"),
    "wrong Content-Range": ("good", lambda data: servers.shifted_ranges(data, 4096),
                            "answered HTTP 206 with Content-Range"),
    "block digest differs": ("good", lambda data: servers.flipped_ranges(data),
                             "differs from its digest in the map"),
    # A signed map of another content of the same size: every block it names checks
    # out, the file they make does not.
    "whole digest fails": ("old", None, "built from blocks has another digest"),
}


@pytest.mark.parametrize("surprise", SURPRISES)
def test_a_surprise_fetches_the_file_whole_in_the_same_run(v1, releases, surprise):
    root, old = v1
    new, _, _ = edited(old, "overwrite")
    given, route, words = SURPRISES[surprise]
    block_map = {"good": publish.block_map(new), "old": publish.block_map(old)}.get(given, given)
    publish_with_maps(releases, release(new), **{PATH: block_map})
    digest = publish.sha256_hex(new)
    if surprise == "installed copy changed":
        change_installed_copy(root)
    with servers.FaultServer() as fault:
        routes = {PATH: route(new)} if route else {}
        code, report = bench(root, mirror(fault, releases, release(new), routes))
        whole = [p for p, first, _ in fault.ranges_asked() if p.endswith(digest)]
        plain = [p for _, p in fault.requests() if p.endswith(digest)]
    assert (code, report[:1]) == (10, ["10"])
    assert installed(root) == new
    assert len(plain) - len(whole) == 1, "the file fetched whole once"
    lines = block_lines(root)
    assert any("not built from blocks" in line and words in line for line in lines), lines
    assert not list(partial_folder(root).glob("*.plan"))


def recorded_ranges(root, digest):
    record = partial_folder(root) / f"{digest}.plan"
    if not record.exists():
        return []
    lines = record.read_text().split("\n")[1:-1]
    return [tuple(int(n) for n in line.split()) for line in lines]


@pytest.mark.parametrize("then", ["resume", "tampered"])
def test_killed_halfway_resumes_without_asking_twice(v1, releases, then):
    """Ranges paced by the fault server; the run is killed once two are recorded. The
    next run asks only for the ranges not recorded. With a recorded range changed on
    disk meanwhile, the file's digest at the end fails and it is fetched whole."""
    root, old = v1
    new, _, _ = edited(old, "sixteen")
    publish_with_maps(releases, release(new))
    digest = publish.sha256_hex(new)
    with servers.FaultServer() as fault:
        paced = servers.ranged(servers.trickle(new, 64 * KIB, 0.05))
        url = mirror(fault, releases, release(new), {PATH: paced})
        process = start(["--banc", win_path(root), url])
        deadline = time.monotonic() + 60
        while len(recorded_ranges(root, digest)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        process.kill()
        process.wait(timeout=30)
        held = recorded_ranges(root, digest)
        assert len(held) >= 2, "no range was recorded"
        assert installed(root) == old
        if then == "tampered":
            offset, length = held[0]
            with open(partial_folder(root) / digest, "r+b") as partial:
                partial.seek(offset + length // 2)
                partial.write(b"\0" * 16)
        fault.clear_requests()
        mirror(fault, releases, release(new), {})
        code, report = bench(root, url)
        again = {(first, last) for p, first, last in fault.ranges_asked() if p.endswith(digest)}
        plain = [p for _, p in fault.requests() if p.endswith(digest)]
    assert (code, report[:1]) == (10, ["10"])
    assert installed(root) == new
    if then == "resume":
        assert again and not again & {(o, o + n - 1) for o, n in held}, "a range asked twice"
        assert len(plain) == len(again), "no whole download"
    else:
        assert len(plain) == len(again) + 1, "fetched whole once"
        assert any("another digest" in line for line in block_lines(root))


def test_two_files_built_at_once_share_the_transfers(tmp_path, releases, production_server):
    """Two large files edited: their ranges together never take more than the four
    transfers of a run."""
    root = tmp_path / "root"
    olds = {PATH: pattern(SIZE, 1), "data/other.bin": pattern(SIZE, 2)}
    maps = {path: publish.block_map(data) for path, data in olds.items()}
    releases.publish({"ZelkLauncher.exe": LAUNCHER, **olds}, date=stamp(seconds=-60), maps=maps)
    assert bench(root, production_server.url())[0] == 10
    news = {path: edited(data, "sixteen")[0] for path, data in olds.items()}
    files = {"ZelkLauncher.exe": LAUNCHER, **news}
    releases.publish(files, maps={path: publish.block_map(data) for path, data in news.items()})
    with servers.FaultServer() as fault:
        paced = {path: servers.ranged(servers.trickle(data, 16 * KIB, 0.02))
                 for path, data in news.items()}
        code, report = bench(root, mirror(fault, releases, files, paced))
        most = fault.most_at_once
    assert (code, report[:1]) == (10, ["10"])
    assert all(installed(root, path) == data for path, data in news.items())
    assert len([m for m in log_messages(root) if "built from blocks of" in m]) == 2
    assert 2 <= most <= 4, most
