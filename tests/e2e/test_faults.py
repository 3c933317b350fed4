"""Faults injected into an update, one row a test: a broken network answer, a forged
or stale manifest, an untrusted certificate, a kill at a random moment, a full disk,
a file held open. After each, every file of the installation is whole (its old or its
new content), the launcher's folder holds exactly the old release or exactly the new
one unless a switch is pending (and then no launcher counts as installed), the state
files never vouch for what is not on disk, a run with no network never starts a
launcher on a mix, and a run against a healthy server completes the update without
fetching again any content that was already whole on disk.

The tally of the whole module (faults injected, runs recovered, files found
corrupted, hangs) is written to fault-matrix.txt in the build tree."""

import base64
import collections
import hashlib
import os
import pathlib
import random
import shutil
import subprocess
import time

import pytest

import publish
import servers
from conftest import HOLD_FILE, STANDIN, stamp
from harness import (BUILD_DIR, NO_DIGEST, SOURCE_DIR, bench, index_records, installation,
                     start, untrue_records, win_path)

ICON = (SOURCE_DIR / "resources" / "zelk.ico").read_bytes()
LAUNCHER = STANDIN.read_bytes()
TARGET = "lib/data.bin"  # the file whose download the file faults break

OFFLINE = ["11", "Hors ligne", "Lancement de la version installée"]
INTERRUPTED = ["11", "Mise à jour interrompue", "Lancement de la version installée"]
# What the user can act on replaces the detail: a busy server, a refused certificate.
BUSY = "Serveur de mises à jour indisponible : réessaie plus tard."
CERTIFICATE = "Connexion sécurisée refusée : vérifie la date et l'heure du PC."

TALLY = collections.Counter()


@pytest.fixture(scope="module", autouse=True)
def tally_report():
    yield
    lines = [f"{name}: {TALLY[name]}" for name in
             ("faults injected", "runs recovered", "files corrupted", "hangs",
              "mixes left pending", "offline runs")]
    (BUILD_DIR / "fault-matrix.txt").write_text("\n".join(lines) + "\n")
    print("\n" + "\n".join(lines))


def payload(size, seed):
    return servers.pattern_bytes(size, seed)


def release_v1():
    return {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": ICON, TARGET: payload(300_000, 1),
            "docs/lisez moi.txt": b"v1\n", "docs/ancien.txt": b"dropped by v2\n"}


def release_v2():
    # big.bin is large enough to be written and hashed behind its reads.
    return {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": ICON + b"v2", TARGET: payload(300_000, 2),
            "lib/big.bin": payload(5_000_000, 3), "docs/lisez moi.txt": b"v2\n"}


def bench_run(root, url, env=None, timeout=120):
    """A bench run that counts a time-out as a hang rather than waiting forever."""
    try:
        return bench(root, url, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        TALLY["hangs"] += 1
        raise


def state(root):
    paths = installation(root)
    return tuple(p.read_bytes() if p.exists() else None for p in (paths["index"], paths["date"]))


def app_files(root):
    """Every file below the launcher's folder but the state files, .tmp ones included."""
    app = installation(root)["app"]
    return {p.relative_to(app).as_posix(): p.read_bytes() for p in app.rglob("*")
            if p.is_file() and not p.name.startswith(".zelk-")}


def switch_pending(root):
    return (installation(root)["app"] / ".zelk-pending").exists()


def whole_partials(root):
    """Digests of the contents whose partial download is whole: never fetched again."""
    folder = pathlib.Path(root) / "Zelk Application Data" / "telechargements"
    if not folder.is_dir():
        return set()
    return {p.name for p in folder.iterdir()
            if p.is_file() and hashlib.sha256(p.read_bytes()).hexdigest() == p.name}


def fetched_digests(requests):
    return [path.rsplit("/", 1)[1] for path in requests if "/files/" in path]


def leftovers(root):
    return sorted(p.relative_to(root).as_posix() for p in pathlib.Path(root).rglob("*.tmp"))


def assert_whole(root, old, new):
    """Every release file is its old or its new content, or absent where one of the
    two releases lacks it; and the files are exactly one release or the other, unless a
    switch is pending. Returns the files found, .tmp ones left out."""
    found = {path: data for path, data in app_files(root).items() if not path.endswith(".tmp")}
    corrupted = [path for path in sorted(set(old) | set(new) | set(found))
                 if found.get(path) not in (old.get(path), new.get(path))]
    TALLY["files corrupted"] += len(corrupted)
    assert corrupted == [], f"files neither old nor new: {corrupted}"
    if found not in (old, new):
        TALLY["mixes left pending"] += 1
        assert switch_pending(root), "files of two releases and no switch pending"
    return found


def assert_offline_run_starts_no_mix(root, old, new):
    """A run with no network after the fault: it may finish a pending switch from what
    is on disk; it would start the launcher only on a whole release."""
    closed = f"http://127.0.0.1:{servers.free_port()}/updates"
    code, report = bench_run(root, closed)
    found = assert_whole(root, old, new)
    if code == 11:
        assert found in (old, new) and not switch_pending(root), "launched on a mix"
    else:
        assert code == 12 and (switch_pending(root) or not old), report
    TALLY["offline runs"] += 1
    return code


def assert_state(root, found, old_state, new_state):
    """The state files never vouch for what is not on disk: the index names only files
    whose content is in place (it grows as files complete), and the date is the new
    release's only once its complete index is written and every file is in place."""
    index, date = state(root)
    assert untrue_records(root) == [], "the index names files that are not in place"
    assert date in (old_state[1], new_state[1])
    if date == new_state[1]:
        assert index == new_state[0], "the date of a release whose index was not written"
        assert found == new_state[2]


def mirror(fault, releases, files, overrides):
    """Routes the fault server to serve the release last published from files, with
    some answers replaced: keys are "manifest", "signature" or a path of the release.
    Returns the base URL."""
    folder = releases.root / "release"
    fault.route("/updates/release/manifest.json", overrides.get(
        "manifest", servers.body((folder / "manifest.json").read_bytes())))
    fault.route("/updates/release/manifest.sig", overrides.get(
        "signature", servers.body((folder / "manifest.sig").read_bytes())))
    for path, data in files.items():
        fault.route(f"/updates/release/files/{publish.sha256_hex(data)}",
                    overrides.get(path, servers.body(data)))
    return fault.url + "/updates"


class Update:
    """An installation of v1 below tmp_path/root and v2 published: a faulty run is
    then checked with `after_fault`, and `recover` completes the update from nginx."""

    def __init__(self, tmp_path, releases, nginx):
        self.root = tmp_path / "root"
        self.releases, self.nginx = releases, nginx
        releases.publish(release_v1(), date=stamp(seconds=-60))
        assert bench_run(self.root, nginx.url())[0] == 10
        self.old_state = state(self.root)
        self.manifest = releases.publish(release_v2())

    def release_file(self, name):
        return (self.releases.root / "release" / name).read_bytes()

    def mirror(self, fault, **overrides):
        return mirror(fault, self.releases, release_v2(), overrides)

    def after_fault(self, result):
        TALLY["faults injected"] += 1
        assert_whole(self.root, release_v1(), release_v2())
        # The index may already name files of the new release, but only those in place.
        assert untrue_records(self.root) == []
        assert state(self.root)[1] == self.old_state[1]
        self.whole = whole_partials(self.root)
        return result

    def recover(self):
        assert_offline_run_starts_no_mix(self.root, release_v1(), release_v2())
        before = len(self.nginx.requests())
        code, report = bench_run(self.root, self.nginx.url())
        assert (code, report[:1]) == (10, ["10"])
        assert app_files(self.root) == release_v2()
        assert state(self.root)[1] == self.manifest["date"].encode() + b"\r\n"
        assert leftovers(self.root) == []
        fetched = fetched_digests(r.path for r in self.nginx.requests()[before:])
        assert not self.whole & set(fetched), "a content whole on disk was fetched again"
        TALLY["runs recovered"] += 1


@pytest.fixture
def update(tmp_path, releases, server):
    return Update(tmp_path, releases, server)


def run_against(update, **overrides):
    with servers.FaultServer() as fault:
        return update.after_fault(bench_run(update.root, update.mirror(fault, **overrides)))


# --- the manifest and its signature ---------------------------------------------------


def manifest_faults():
    """(name, overrides for the mirror given the manifest's bytes)."""
    yield "manifest 500", lambda m: {"manifest": servers.status(500)}
    yield "manifest 503", lambda m: {"manifest": servers.status(503)}
    yield "signature 500", lambda m: {"signature": servers.status(500)}
    for at in ("0", "1", "half", "last"):
        yield f"manifest cut at {at}", lambda m, at=at: {"manifest": servers.cut(m, offset(m, at))}
    yield "manifest reset at half", lambda m: {"manifest": servers.reset(m, len(m) // 2)}
    yield "signature cut at half", lambda m: {"signature": servers.cut(signature_of(m), 44)}
    yield "manifest one byte short", lambda m: {"manifest": servers.body(m[:-1])}
    yield "manifest one byte long", lambda m: {"manifest": servers.body(m + b"\n")}
    yield "manifest with one changed byte", lambda m: {"manifest": servers.body(changed_date(m))}
    yield "signature by an unknown key", lambda m: {"signature": servers.body(stranger_sig(m))}
    yield "signature in DER form", lambda m: {"signature": servers.body(der_sig(m))}


def offset(data, at):
    return {"0": 0, "1": 1, "half": len(data) // 2, "last": len(data) - 1}[at]


def signature_of(manifest):
    return publish.sign_bytes(manifest, "primary").encode()


def changed_date(manifest):
    """The same manifest, still valid JSON, with one digit of its date changed."""
    at = manifest.index(b'"date": "') + len(b'"date": "') + 3  # the year's last digit
    digit = b"%d" % ((manifest[at] - ord("0") + 1) % 10)
    return manifest[:at] + digit + manifest[at + 1:]


def stranger_sig(manifest):
    key = BUILD_DIR / "fault-stranger.pem"
    if not key.exists():
        publish.new_key(key)
    return publish.sign_bytes(manifest, str(key)).encode()


def der_sig(manifest):
    return base64.b64encode(publish.sign_der(manifest, "primary"))


MANIFEST_FAULTS = dict(manifest_faults())


@pytest.mark.parametrize("fault", MANIFEST_FAULTS)
def test_manifest_fault_keeps_the_installed_release(update, fault):
    overrides = MANIFEST_FAULTS[fault](update.release_file("manifest.json"))
    told = OFFLINE[:2] + [BUSY] if fault == "manifest 503" else OFFLINE
    assert run_against(update, **overrides) == (11, told)
    assert app_files(update.root) == release_v1()
    update.recover()


def stalls(data, sent):
    """A body that stops for 90 s after `sent` bytes, and headers that drip in one byte
    every 20 s (each wait for data then ends well within the receive time-out)."""
    yield "stalled body", servers.stall(data, sent, 90)
    yield "dripped headers", servers.header_drip(data, 10, 20)


@pytest.mark.parametrize("how", ["stalled body", "dripped headers"])
def test_stalled_manifest_times_out(update, how):
    stall = dict(stalls(update.release_file("manifest.json"), 10))[how]
    began = time.monotonic()
    assert run_against(update, manifest=stall) == (11, OFFLINE)
    assert time.monotonic() - began < 60, "the wait for the manifest was not bounded"
    update.recover()


@pytest.mark.parametrize("age", ["expired", "older than installed"])
def test_stale_manifest_is_refused_with_its_reason(update, age):
    files = release_v2()
    if age == "expired":
        update.releases.publish(files, date=stamp(seconds=-30), expires=stamp(seconds=-1))
        manifest = update.release_file("manifest.json").decode()
        expires = manifest.split('"expires": "')[1][:20]
        reason = f"manifeste périmé ({expires}) : plateforme ou horloge du PC à vérifier"
    else:
        update.releases.publish(files, date=stamp(seconds=-3600))
        reason = "manifeste plus ancien que la version installée : refusé"
    assert run_against(update) == (11, ["11", "Mise à jour refusée", reason])
    assert app_files(update.root) == release_v1()
    update.manifest = update.releases.publish(files, date=stamp(seconds=1))
    update.recover()


def test_untrusted_certificate_is_not_trusted(tmp_path, update):
    stranger = servers.make_authority("Zelk Untrusted CA")
    cert, key = stranger.issue(tmp_path / "untrusted", "localhost")
    listener = servers.Listener(cert=cert, key=key, host_name="localhost")
    with servers.Nginx(tmp_path / "tls", update.releases.root, [listener],
                       url_prefix="/updates/") as nginx:
        result = update.after_fault(bench_run(update.root, nginx.url()))
        assert nginx.requests() == []  # refused during the handshake
    assert result == (11, OFFLINE[:2] + [CERTIFICATE])
    update.recover()


# --- the content files ---------------------------------------------------------------


def file_faults():
    data = release_v2()[TARGET]
    yield "500", servers.status(500)
    yield "503", servers.status(503)
    for at in ("0", "1", "half", "last"):
        yield f"cut at {at}", servers.cut(data, offset(data, at))
    yield "reset at half", servers.reset(data, len(data) // 2)
    yield "chunked and cut at half", servers.chunked_cut(data, len(data) // 2)
    yield "one byte short", servers.body(data[:-1])
    yield "one byte long", servers.body(data + b"\0")
    flipped = bytearray(data)
    flipped[len(data) // 3] ^= 0x10
    yield "one flipped bit", servers.body(bytes(flipped))


FILE_FAULTS = dict(file_faults())


@pytest.mark.parametrize("fault", FILE_FAULTS)
def test_file_fault_interrupts_the_update(update, fault):
    told = INTERRUPTED[:2] + [BUSY] if fault == "503" else INTERRUPTED
    assert run_against(update, **{TARGET: FILE_FAULTS[fault]}) == (11, told)
    # Other files may be new already; the broken one never is.
    assert app_files(update.root)[TARGET] == release_v1()[TARGET]
    update.recover()


def test_a_failure_while_other_files_are_in_flight(update):
    """The broken file fails at once while the others are still arriving (paced): the
    others are stopped, the outcome is that of any failed download, nothing that was not
    whole and verified is in place, and the next run completes."""
    paced = {path: servers.trickle(data, 16384, 0.02) for path, data in release_v2().items()
             if path != TARGET}
    assert run_against(update, **paced, **{TARGET: servers.status(500)}) == (11, INTERRUPTED)
    assert app_files(update.root)[TARGET] == release_v1()[TARGET]
    assert leftovers(update.root) == []
    update.recover()


def test_a_first_install_cut_short_is_never_started(tmp_path, releases, server, record):
    """One content missing from the server: nothing of the release is put in place, and
    a later run with no network finds no installed release and starts nothing."""
    root = tmp_path / "root"
    releases.publish(release_v2(), leave_out=[TARGET])
    TALLY["faults injected"] += 1
    assert bench_run(root, server.url(), env=record.env) == (
        12, ["12", "Impossible d'installer Zelk", "Téléchargement incomplet : relance Zelk."])
    assert app_files(root) == {} and not switch_pending(root)
    closed = f"http://127.0.0.1:{servers.free_port()}/updates"
    assert bench_run(root, closed, env=record.env) == (
        12, ["12", "Impossible d'installer Zelk",
             "Plateforme injoignable : vérifie ta connexion puis relance."])
    assert record.starts() == []
    # What arrived is kept: once the server has it all, only the missing content is fetched.
    whole, before = whole_partials(root), len(server.requests())
    releases.publish(release_v2())
    assert bench_run(root, server.url())[0] == 10
    assert app_files(root) == release_v2()
    assert not whole & set(fetched_digests(r.path for r in server.requests()[before:]))
    TALLY["runs recovered"] += 1


@pytest.mark.parametrize("how", ["stalled body", "dripped headers"])
def test_stalled_file_times_out(update, how):
    data = release_v2()[TARGET]
    stall = dict(stalls(data, len(data) // 2))[how]
    began = time.monotonic()
    assert run_against(update, **{TARGET: stall}) == (11, INTERRUPTED)
    assert time.monotonic() - began < 60, "the wait for the file was not bounded"
    update.recover()


def test_a_refused_range_fetches_the_file_whole_in_the_same_run(update):
    """A download cut short leaves its partial file; a server that answers 416 to the
    request for the rest, but serves whole files, completes the update in the same run,
    with the file fetched whole once."""
    data = release_v2()[TARGET]
    assert run_against(update, **{TARGET: servers.cut(data, len(data) // 2)}) == (
        11, INTERRUPTED)
    path = f"/updates/release/files/{publish.sha256_hex(data)}"
    with servers.FaultServer() as fault:
        url = update.mirror(fault, **{TARGET: servers.refusing_ranges(servers.body(data))})
        code, report = bench_run(update.root, url)
        TALLY["faults injected"] += 1
        asked = [p for _, p in fault.requests()].count(path)
        resumed_from = [offset for p, offset in fault.ranged_requests() if p == path]
    assert (code, report[:1]) == (10, ["10"])
    assert len(resumed_from) == 1 and resumed_from[0] > 0
    assert asked == 2, "the 416, then the whole file once"
    update.recover()


# --- the process and the machine ------------------------------------------------------


def test_killed_at_random_points(tmp_path, releases):
    """The update is killed at random moments of its run, then run again to the end.
    The seed is printed; ZELK_KILL_SEED replays a run."""
    seed = int(os.environ.get("ZELK_KILL_SEED", time.time_ns() % 1_000_000))
    print(f"kill seed: {seed}")
    rng = random.Random(seed)
    root = tmp_path / "root"

    def release(number):
        return {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": ICON + bytes([number]),
                "lib/data.bin": payload(300_000, 10 + number),
                "lib/big.bin": payload(1_000_000 + number, 40 + number),
                f"docs/note-{number % 3}.txt": b"note %d\n" % number}

    # Served in paced pieces, so that a run lasts long enough for the kills to land
    # anywhere in it: in a download, between files, in the writes.
    def paced(files):
        return {path: servers.trickle(data, 65536, 0.04) for path, data in files.items()}

    with servers.FaultServer() as fault:
        current = release(0)
        releases.publish(current, date=stamp(seconds=-100))
        assert bench_run(root, mirror(fault, releases, current, {}))[0] == 10
        current = release(1)  # every file changes: a whole update, timed
        releases.publish(current, date=stamp(seconds=-99))
        url = mirror(fault, releases, current, paced(current))
        began = time.monotonic()
        assert bench_run(root, url)[0] == 10
        span = time.monotonic() - began
        points, moments = [], collections.Counter()
        for number in range(2, 22):
            old, old_state = current, state(root)
            current = release(number)
            manifest = releases.publish(current, date=stamp(seconds=number - 99))
            url = mirror(fault, releases, current, paced(current))
            delay = rng.uniform(0.0, span * 1.1)
            points.append(round(delay, 3))
            process = start(["--banc", win_path(root), url])
            time.sleep(delay)
            process.kill()  # no chance to clean up, as with a power cut
            process.wait(timeout=30)
            TALLY["faults injected"] += 1
            found = assert_whole(root, old, current)
            new_state = (index_of(manifest), manifest["date"].encode() + b"\r\n", current)
            assert_state(root, found, old_state, new_state)
            moments[moment_of(found, old, state(root), new_state)] += 1
            # The rerun fetches only contents neither recorded as in place nor whole in
            # their partial file; a run with no network before it starts no mix.
            kept = {digest for digest, _ in index_records(root).values()} | whole_partials(root)
            assert_offline_run_starts_no_mix(root, old, current)
            fault.clear_requests()
            assert bench_run(root, mirror(fault, releases, current, {}))[0] == 10
            refetched = set(fetched_digests(path for _, path in fault.requests()))
            assert kept.isdisjoint(refetched), "a content already on disk was fetched again"
            assert app_files(root) == current
            assert leftovers(root) == []
            TALLY["runs recovered"] += 1
    print(f"kill points (s): {points}, full run {span:.2f} s; killed {dict(moments)}")
    (BUILD_DIR / "fault-kills.txt").write_text(
        f"seed {seed}\npoints {points}\nfull run {span:.2f} s\nkilled {dict(moments)}\n")


def moment_of(found, old, state_now, new_state):
    """Where a kill landed, judged from what it left."""
    if state_now[1] == new_state[1]:
        return "after the records"
    if state_now[0] == new_state[0]:
        return "between the records"
    if found == old:
        return "before any file"
    return "amid the files"


def test_killed_while_files_are_put_in_place(tmp_path, releases, server):
    """Kills aimed at the switch itself: once every content is on disk and the files of
    a release of many small ones are being replaced. The launcher's folder is then a mix
    with a switch pending; a run with no network finishes it from the partial files, and
    a healthy run after it fetches nothing."""
    seed = int(os.environ.get("ZELK_KILL_SEED", time.time_ns() % 1_000_000))
    print(f"switch kill seed: {seed}")
    rng = random.Random(seed)
    root = tmp_path / "root"
    app = installation(root)["app"]

    def release(number):
        files = {"ZelkLauncher.exe": LAUNCHER, "lib/big.bin": payload(2_000_000, number)}
        files.update({f"data/{i:03}.txt": b"file %d of release %d\n" % (i, number)
                      for i in range(400)})
        return files

    current = release(0)
    releases.publish(current, date=stamp(seconds=-100))
    assert bench_run(root, server.url())[0] == 10
    killed = collections.Counter()
    for number in range(1, 9):
        old = current
        current = release(number)
        releases.publish(current, date=stamp(seconds=number - 100))
        process = start(["--banc", win_path(root), server.url()])
        deadline = time.monotonic() + 60
        while not (app / ".zelk-pending").exists() and process.poll() is None:
            assert time.monotonic() < deadline, "the switch never began"
            time.sleep(0.001)
        time.sleep(rng.uniform(0.0, 0.3))
        process.kill()
        process.wait(timeout=30)
        TALLY["faults injected"] += 1
        found = assert_whole(root, old, current)
        killed["amid the files" if found not in (old, current) else
               "before any file" if found == old else "after the files"] += 1
        assert untrue_records(root) == []
        before = len(server.requests())
        assert_offline_run_starts_no_mix(root, old, current)
        assert bench_run(root, server.url())[0] == 10
        assert fetched_digests(r.path for r in server.requests()[before:]) == []
        assert app_files(root) == current and not switch_pending(root)
        TALLY["runs recovered"] += 1
    print(f"switch kills: {dict(killed)}")


def index_of(manifest):
    return b"".join(f"{e['sha256']} {e['size']} {e['path']}\r\n".encode()
                    for e in manifest["files"])


@pytest.fixture
def small_volume(tmp_path):
    """A 12 MiB tmpfs: a data root that can be filled up."""
    mount_point = tmp_path / "volume"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=12m", "tmpfs", str(mount_point)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], check=False)


def test_full_disk_fails_cleanly_and_recovers(tmp_path, releases, server, small_volume):
    root = small_volume / "Zelk"
    releases.publish(release_v1(), date=stamp(seconds=-60))
    assert bench_run(root, server.url())[0] == 10
    old_state = state(root)
    manifest = releases.publish(release_v2())

    free = shutil.disk_usage(small_volume).free
    filler = small_volume / "filler"
    filler.write_bytes(b"\0" * (free - 1_000_000))  # room for small files, not big.bin
    code, report = bench_run(root, server.url())
    TALLY["faults injected"] += 1
    assert (code, report) == (2, ["2", "Impossible d'installer Zelk",
                                  "Espace disque insuffisant : libère de la place puis relance."])
    assert_whole(root, release_v1(), release_v2())
    assert untrue_records(root) == [] and state(root)[1] == old_state[1]
    # No half-written file keeps the space taken, partial downloads included.
    assert leftovers(root) == []
    assert list((root / "Zelk Application Data" / "telechargements").iterdir()) == []

    # The installed release still starts: offline, the bench reaches the launch.
    closed = f"http://127.0.0.1:{servers.free_port()}/updates"
    assert bench_run(root, closed) == (11, OFFLINE)

    filler.unlink()
    assert bench_run(root, server.url())[0] == 10
    assert app_files(root) == release_v2()
    assert state(root)[1] == manifest["date"].encode() + b"\r\n"
    TALLY["runs recovered"] += 1


def test_locked_file_stops_the_update_until_released(tmp_path, update):
    data = installation(update.root)["app"] / TARGET
    marker = tmp_path / "held"
    holder = start([win_path(data), 20000, win_path(marker)], exe=HOLD_FILE)
    try:
        deadline = time.monotonic() + 30
        while not marker.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert marker.exists(), "the file was never held"
        result = update.after_fault(bench_run(update.root, update.nginx.url()))
    finally:
        holder.kill()
        holder.wait()
    assert result == (2, ["2", "Impossible d'installer Zelk",
                          "Fichier verrouillé : ferme le launcher puis relance."])
    assert data.read_bytes() == release_v1()[TARGET]
    # The index stopped vouching for the file before its replacement was tried: an
    # update cut short right after a replacement never leaves the old record over new
    # bytes.
    assert index_records(update.root)[TARGET][0] == NO_DIGEST
    update.recover()
