"""The whole update against an explicit data root and one server, without a window:
what it downloads, writes, removes and records, and the result it reports."""

import time

import publish
import servers
from conftest import HOLD_FILE, STANDIN, stamp
from harness import (SOURCE_DIR, bench, index_records, install_whole, installation, on_disk,
                     run, start, untrue_records, win_path)

ICON = (SOURCE_DIR / "resources" / "zelk.ico").read_bytes()
LAUNCHER = STANDIN.read_bytes()

OFFLINE = ["Hors ligne", "Lancement de la version installée"]
UNREACHABLE = ["Impossible d'installer Zelk",
               "Plateforme injoignable : vérifie ta connexion puis relance."]
STARTING = ["Mise à jour ...", "Starting Zelk"]


def payload(size, seed):
    return servers.pattern_bytes(size, seed)


def standard_files(**changes):
    files = {
        "ZelkLauncher.exe": LAUNCHER,
        "zelk.ico": ICON,
        "lib/data.bin": payload(300_000, 1),
        "docs/lisez moi.txt": "Bonne partie !\n".encode(),
    }
    files.update(changes)
    return {path: data for path, data in files.items() if data is not None}


def files_on_disk(app):
    return {p.relative_to(app).as_posix(): p.read_bytes() for p in app.rglob("*")
            if p.is_file() and not p.name.startswith(".zelk-")}


def content_requests(nginx):
    return [r.path.rsplit("/", 1)[1] for r in nginx.requests() if "/files/" in r.path]


def closed_port_url():
    return f"http://127.0.0.1:{servers.free_port()}/updates"


def test_fresh_install_then_up_to_date(tmp_path, releases, server, record):
    root = tmp_path / "root"
    manifest = releases.publish(standard_files())
    code, report = bench(root, server.url(), record.env)
    assert code == 10
    assert report == ["10"] + STARTING
    paths = installation(root)
    assert files_on_disk(paths["app"]) == standard_files()
    index = paths["index"].read_bytes()
    assert index == b"".join(f"{e['sha256']} {e['size']} {e['path']}\r\n".encode()
                             for e in manifest["files"])
    assert paths["date"].read_bytes() == manifest["date"].encode() + b"\r\n"
    assert record.starts() == []  # the bench never starts the launcher
    assert not paths["exe"].exists()  # nor installs itself
    assert len(content_requests(server)) == 4

    code, report = bench(root, server.url(), record.env)
    assert (code, report) == (10, ["10"] + STARTING)
    assert len(content_requests(server)) == 4  # nothing more was downloaded
    assert [r.path for r in server.requests()[-2:]] == [
        "/updates/release/manifest.json", "/updates/release/manifest.sig"]


def test_installed_content_is_judged_by_record_and_size_only(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish(standard_files())
    assert bench(root, server.url())[0] == 10
    data = installation(root)["app"] / "lib" / "data.bin"
    data.write_bytes(payload(300_000, 99))  # same size, other bytes: not read, not noticed
    assert bench(root, server.url())[0] == 10
    assert data.read_bytes() == payload(300_000, 99)
    assert len(content_requests(server)) == 4


def test_changed_deleted_and_truncated_files_are_fetched_again(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish(standard_files())
    assert bench(root, server.url())[0] == 10
    app = installation(root)["app"]
    (app / "zelk.ico").unlink()
    with open(app / "lib" / "data.bin", "r+b") as data:
        data.truncate(1000)
    new_readme = "Nouvelle version\n".encode()
    releases.publish(standard_files(**{"docs/lisez moi.txt": new_readme}))
    before = len(content_requests(server))

    assert bench(root, server.url())[0] == 10
    fetched = content_requests(server)[before:]
    digests = {publish.sha256_hex(d): p for p, d in standard_files().items()}
    assert sorted(digests.get(d, "new readme") for d in fetched) == [
        "lib/data.bin", "new readme", "zelk.ico"]
    assert files_on_disk(app) == standard_files(**{"docs/lisez moi.txt": new_readme})


def test_dropped_files_go_unrecorded_and_respelled_files_stay(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish(standard_files(**{"Lib/Extra.dll": b"extra"}))
    assert bench(root, server.url())[0] == 10
    app = installation(root)["app"]
    (app / "saves").mkdir()
    (app / "saves" / "partie.sav").write_bytes(b"never recorded")

    # The next release drops docs and Extra.dll and spells the data file's folder in
    # capitals; on Windows that is still the same file and must survive the cleanup.
    files = standard_files(**{"docs/lisez moi.txt": None})
    files["LIB/data.bin"] = files.pop("lib/data.bin")
    releases.publish(files)
    assert bench(root, server.url())[0] == 10

    assert on_disk(app, "docs/lisez moi.txt") is None
    assert on_disk(app, "lib/Extra.dll") is None
    assert on_disk(app, "lib/data.bin").read_bytes() == payload(300_000, 1)
    assert (app / "saves" / "partie.sav").read_bytes() == b"never recorded"
    assert "LIB/data.bin" in installation(root)["index"].read_text()


def test_one_content_at_several_paths_is_fetched_once(tmp_path, releases, server):
    root = tmp_path / "root"
    shared = payload(50_000, 3)
    files = standard_files(**{"a/copy.bin": shared, "b/c/copy.bin": shared, "copy.bin": shared})
    releases.publish(files)
    assert bench(root, server.url()) == (10, ["10"] + STARTING)
    paths = installation(root)
    assert files_on_disk(paths["app"]) == files
    assert len(content_requests(server)) == 5  # four other contents, the shared one once
    assert sorted(index_records(root)) == sorted(files)
    # The copies are made outside the launcher's folder, and none is left behind.
    assert list((root / "Zelk Application Data" / "telechargements").iterdir()) == []


def test_invalid_entries_are_skipped_and_never_recorded(tmp_path, releases, server):
    root = tmp_path / "root"
    bad = [{"path": p, "sha256": "0" * 64, "size": 1}
           for p in ["app/../escape.txt", "/abs.txt", "\\abs.txt", "", "C:drive.txt",
                     "data.txt:hidden", "COM1", "aux.txt", "lib/LPT1.dll", "keep.txt.",
                     "a//b", "./dot.txt", "what?.txt", "x" * 300]]
    bad.append({"path": "short.txt", "sha256": "0" * 63, "size": 1})
    releases.publish(standard_files(), extra_entries=bad)
    assert bench(root, server.url())[0] == 10
    index = installation(root)["index"].read_text()
    assert len(index.splitlines()) == 4
    assert not (tmp_path / "escape.txt").exists()
    assert not (tmp_path / "root" / "Zelk Application Data" / "escape.txt").exists()


def test_an_interrupted_download_records_only_what_is_in_place(tmp_path, releases, server,
                                                                 record):
    root = tmp_path / "root"
    paths = installation(root)
    new_data = payload(300_000, 2)
    # Nothing installed yet: the missing icon ends the installation. Files that arrived
    # whole before that are in place and recorded; no date is written.
    releases.publish(standard_files(**{"lib/data.bin": new_data}), leave_out=["zelk.ico"])
    code, report = bench(root, server.url(), record.env)
    assert (code, report) == (12, ["12", "Impossible d'installer Zelk",
                                   "Téléchargement incomplet : relance Zelk."])
    assert not (paths["app"] / "zelk.ico").exists()
    assert untrue_records(root) == []
    assert "zelk.ico" not in index_records(root)
    assert not paths["date"].exists()

    # Installed, then an update whose data file is missing from the store.
    releases.publish(standard_files())
    assert bench(root, server.url())[0] == 10
    date = paths["date"].read_bytes()
    new = standard_files(**{"zelk.ico": b"new icon bytes", "lib/data.bin": new_data,
                            "docs/lisez moi.txt": b"v2"})
    releases.publish(new, date=stamp(seconds=5), leave_out=["lib/data.bin"])
    code, report = bench(root, server.url(), record.env)
    assert (code, report) == (11, ["11", "Mise à jour interrompue",
                                   "Lancement de la version installée"])
    # Each file is its old or its new content; the data file, never delivered, is old.
    old = standard_files()
    for path, data in files_on_disk(paths["app"]).items():
        assert data in (old.get(path), new.get(path)), path
    assert (paths["app"] / "lib" / "data.bin").read_bytes() == payload(300_000, 1)
    assert untrue_records(root) == []
    assert paths["date"].read_bytes() == date
    assert record.starts() == []


def test_offline(tmp_path, record):
    root = tmp_path / "root"
    assert bench(root, closed_port_url(), record.env) == (12, ["12"] + UNREACHABLE)
    # A launcher alone (a first install cut short by an older Zelk) is no installed
    # release: nothing would start.
    paths = installation(root)
    paths["launcher"].parent.mkdir(parents=True, exist_ok=True)
    paths["launcher"].write_bytes(LAUNCHER)
    assert bench(root, closed_port_url(), record.env) == (12, ["12"] + UNREACHABLE)
    install_whole(root, LAUNCHER)
    assert bench(root, closed_port_url(), record.env) == (11, ["11"] + OFFLINE)
    assert record.starts() == []


def test_refused_manifests_explain_why(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish(standard_files(), date=stamp(days=-40), expires=stamp(seconds=-1))
    expires = (releases.root / "release" / "manifest.json").read_text().split('"expires": "')[1][:20]
    code, report = bench(root, server.url())
    refusal = f"manifeste périmé ({expires}) : plateforme ou horloge du PC à vérifier"
    assert (code, report) == (12, ["12", "Impossible d'installer Zelk", refusal])

    releases.publish(standard_files(), date="2026-01-02T00:00:00Z")
    assert bench(root, server.url())[0] == 10
    releases.publish(standard_files(), date="2026-01-01T23:59:59Z")
    code, report = bench(root, server.url())
    assert (code, report) == (11, ["11", "Mise à jour refusée",
                                   "manifeste plus ancien que la version installée : refusé"])


def test_unverifiable_manifests_are_skipped_silently(tmp_path, releases, server):
    root = tmp_path / "root"
    stranger = tmp_path / "stranger.pem"  # a key the program was not built with
    publish.new_key(stranger)
    releases.publish(standard_files(), key=str(stranger))
    assert bench(root, server.url()) == (12, ["12"] + UNREACHABLE)
    (releases.root / "release" / "manifest.sig").write_text("not base64 at all!")
    assert bench(root, server.url()) == (12, ["12"] + UNREACHABLE)


def test_channel_falls_back_to_release(tmp_path, releases, server):
    root = tmp_path / "root"
    paths = installation(root)
    paths["settings"].parent.mkdir(parents=True)
    paths["settings"].write_text('{"channel": "beta", "autoUpdate": true}')
    releases.publish(standard_files())
    assert bench(root, server.url())[0] == 10
    assert [r.path for r in server.requests()[:3]] == [
        "/updates/beta/manifest.json", "/updates/release/manifest.json",
        "/updates/release/manifest.sig"]

    releases.publish(standard_files(**{"docs/lisez moi.txt": b"beta"}), channel="beta")
    assert bench(root, server.url())[0] == 10
    assert (paths["app"] / "docs" / "lisez moi.txt").read_bytes() == b"beta"
    assert all("/release/" not in r.path for r in server.requests()[-3:])


def test_automatic_updates_off_makes_no_request(tmp_path, releases, server):
    root = tmp_path / "root"
    paths = installation(root)
    releases.publish(standard_files())
    paths["settings"].parent.mkdir(parents=True)
    paths["settings"].write_text('{"autoUpdate": false}')
    assert bench(root, server.url())[0] == 10  # nothing installed yet: installs anyway
    count = len(server.requests())
    assert bench(root, server.url()) == (11, ["11"] + STARTING)
    assert len(server.requests()) == count


def test_bootstrapper_of_the_release_goes_to_the_explicit_root(tmp_path, releases, server):
    root = tmp_path / "root"
    # Only a 64-bit Windows program takes Zelk.exe's place, whatever its digest.
    for not_a_program in (b"", b"MZ" + payload(50_000, 5)):
        releases.publish(standard_files(), bootstrapper=not_a_program)
        assert bench(root, server.url())[0] == 10
        assert not installation(root)["exe"].exists()
    new_exe = LAUNCHER + payload(50_000, 5)  # a PE image with trailing bytes
    releases.publish(standard_files(), bootstrapper=new_exe)
    assert bench(root, server.url())[0] == 10
    assert installation(root)["exe"].read_bytes() == new_exe


def test_killed_mid_download_then_rerun_completes(tmp_path, releases):
    """Each file is either its old or its new content, never a mix, and the state
    files always describe one complete release."""
    root = tmp_path / "root"
    paths = installation(root)
    old = standard_files()
    with servers.Nginx(tmp_path / "n1", releases.root, [servers.Listener()],
                       url_prefix="/updates/") as nginx:
        releases.publish(old)
        assert bench(root, nginx.url())[0] == 10
    old_date = paths["date"].read_bytes()

    new = {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": ICON + b"2",
           "lib/data.bin": payload(300_000, 7), "lib/big.bin": payload(2_000_000, 8),
           "docs/lisez moi.txt": b"v3"}
    manifest = releases.publish(new, date=stamp(seconds=5))
    big = next(e["sha256"] for e in manifest["files"] if e["path"] == "lib/big.bin")
    # The fault server serves the same release but goes silent halfway through big.bin.
    with servers.FaultServer() as fault:
        for name in ("manifest.json", "manifest.sig"):
            fault.route(f"/updates/release/{name}",
                        servers.body((releases.root / "release" / name).read_bytes()))
        for entry in manifest["files"]:
            data = new[entry["path"]]
            fault.route(f"/updates/release/files/{entry['sha256']}",
                        servers.stall(data, len(data) // 2, 60) if entry["sha256"] == big
                        else servers.body(data))
        process = start(["--banc", win_path(root), fault.url + "/updates"])
        deadline = time.monotonic() + 60
        while not any(big in path for _, path in fault.requests()):
            assert time.monotonic() < deadline, "big.bin was never requested"
            time.sleep(0.05)
        time.sleep(0.5)
        process.kill()  # as a user's task manager would: no chance to clean up
        process.wait(timeout=30)

    # Files fetched before the kill are new, the rest old; the index names only files
    # that are in place, and the date is still the old release's.
    for path, data in files_on_disk(paths["app"]).items():
        assert data in (old.get(path), new.get(path)), path
    assert untrue_records(root) == []
    assert paths["date"].read_bytes() == old_date

    # The rerun fetches only what is not recorded, and big.bin only from where it
    # stopped: the half that had arrived is kept under its digest.
    recorded = {digest for digest, _ in index_records(root).values()}
    with servers.Nginx(tmp_path / "n2", releases.root, [servers.Listener()],
                       url_prefix="/updates/") as nginx:
        assert bench(root, nginx.url())[0] == 10
        fetched = {r.path.rsplit("/", 1)[1]: r for r in nginx.requests() if "/files/" in r.path}
    assert recorded.isdisjoint(fetched)
    assert fetched[big].status == 206 and fetched[big].size <= 1_000_000
    assert files_on_disk(paths["app"]) == new
    assert paths["date"].read_bytes() == manifest["date"].encode() + b"\r\n"
    assert len(paths["index"].read_text().splitlines()) == len(new)
    assert list((root / "Zelk Application Data" / "telechargements").iterdir()) == []


def test_several_files_at_once_over_a_long_link(tmp_path, releases):
    """Through a 40 ms, 200 Mbit/s link to a server that takes a moment over each file,
    the files come several at once, every one whole."""
    import link

    root = tmp_path / "root"
    files = {"ZelkLauncher.exe": LAUNCHER}
    files.update({f"data/part{i:02}.bin": payload(40_000, i) for i in range(15)})
    manifest = releases.publish(files)
    with servers.FaultServer() as fault, link.Link(fault.port, rtt_ms=40, rate_mbit=200) as line:
        for name in ("manifest.json", "manifest.sig"):
            fault.route(f"/updates/release/{name}",
                        servers.body((releases.root / "release" / name).read_bytes()))
        for entry in manifest["files"]:
            fault.route(f"/updates/release/files/{entry['sha256']}",
                        servers.stall(files[entry["path"]], 0, 0.1))
        assert bench(root, f"http://127.0.0.1:{line.port}/updates")[0] == 10
        assert fault.most_at_once == 4  # as many transfers as allowed, never more
    assert files_on_disk(installation(root)["app"]) == files


def test_fifty_files_over_no_more_connections_than_transfers(tmp_path, releases, server):
    """One session for the whole run: its connections are kept and reused."""
    root = tmp_path / "root"
    files = {"ZelkLauncher.exe": LAUNCHER}
    files.update({f"data/part{i:02}.bin": payload(20_000, i) for i in range(49)})
    releases.publish(files)
    assert bench(root, server.url())[0] == 10
    assert files_on_disk(installation(root)["app"]) == files
    assert len([r for r in server.requests() if "/files/" in r.path]) == 50
    assert len({r.connection for r in server.requests()}) <= 4 + 1


def test_migration_trial_reports_the_moves(tmp_path):
    root = tmp_path / "legacy"
    (root / "app").mkdir(parents=True)
    (root / "app" / "ZelkLauncher.exe").write_bytes(LAUNCHER)
    for name in ("launcher-settings.json", "identite.key", "zelk.ico", "launcher.log",
                 "notes.txt", "Zelk.exe"):
        (root / name).write_bytes(name.encode())
    assert run(["--essai-migration", win_path(root)]).returncode == 6
    assert (root / "Zelk Application Data" / "logs" / "launcher.log").exists()
    assert (root / "Zelk.exe").exists()
    assert run(["--essai-migration", win_path(root)]).returncode == 0


def test_after_game_waits_for_that_process_first(tmp_path):
    (tmp_path / "save").write_bytes(b"")
    marker = tmp_path / "up"
    game = start([win_path(tmp_path / "save"), 3000, win_path(marker)], exe=HOLD_FILE)
    try:
        deadline = time.monotonic() + 30
        while not (marker.exists() and marker.read_text()):
            assert time.monotonic() < deadline
            time.sleep(0.05)
        began = time.monotonic()
        # The wait comes before any mode runs; a gone process means no wait at all.
        assert run(["--essai-migration", win_path(tmp_path / "r"), "--after-game",
                    marker.read_text()]).returncode == 0
        waited = time.monotonic() - began
        assert waited > 1.5
    finally:
        game.kill()
        game.wait()
    began = time.monotonic()
    assert run(["--essai-migration", win_path(tmp_path / "r"), "--after-game",
                marker.read_text()]).returncode == 0
    assert time.monotonic() - began < 1.5
