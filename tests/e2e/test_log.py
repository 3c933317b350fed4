"""The log of every run, as support reads it: the lines of an install, of an offline
run and of a refused manifest, the version and the link, and the 1 MiB rotation. The
bench keeps its log under its own data root."""

import re

from conftest import STANDIN, stamp
from harness import (SOURCE_DIR, bench, file_version, installation, log_messages,
                     install_whole, same_version)
from test_bench import closed_port_url, standard_files

LAUNCHER = STANDIN.read_bytes()
ICON = (SOURCE_DIR / "resources" / "zelk.ico").read_bytes()
LINK = "zelk://rejoindre/serveur-secret-42"


def start_line(messages):
    match = re.fullmatch(r"start: Zelk ([0-9.]+), mode bench, link given: (yes|no)", messages[0])
    assert match, messages[0]
    return match.groups()


def test_an_install_step_by_step(tmp_path, releases, server):
    root = tmp_path / "root"
    manifest = releases.publish(standard_files())
    assert bench(root, server.url())[0] == 10
    messages = log_messages(root)

    version, link = start_line(messages)
    assert same_version(version, file_version()) and link == "no"
    folder = server.url() + "/release"
    # The proxy of the server, once, before its first request.
    assert messages[1] == f"proxy for {server.url().split('/updates')[0]}: none (no proxy set)"
    assert messages[2] == f"manifest {folder}: accepted, dated {manifest['date']}"
    total = sum(e["size"] for e in manifest["files"])
    assert messages[3] == f"files to fetch: 4 of 4, {total} bytes"
    # Each file with what it weighs and the server that served it, as they arrive.
    assert sorted(messages[4:8]) == sorted(f"file {e['path']}: {e['size']} bytes from {folder}"
                                           for e in manifest["files"])
    # Then they are put in place at once, when every one of them is on disk.
    assert re.fullmatch(r"switched 4 files in \d+\.\d\d s", messages[8]), messages[8]
    assert re.fullmatch(r'end: result 10, showing "Mise à jour \.\.\." / "Starting Zelk", '
                        r"after \d+\.\d\d s", messages[9]), messages[9]
    assert len(messages) == 10

    # A second run appends; with nothing to fetch it says so.
    assert bench(root, server.url())[0] == 10
    again = log_messages(root)[10:]
    assert again[3] == "files to fetch: 0 of 4, 0 bytes"
    assert again[4].startswith("switched 0 files in ")
    assert again[5].startswith("end: result 10")


def test_offline_names_the_error_and_never_the_link(tmp_path):
    root = tmp_path / "root"
    url = closed_port_url()
    assert bench(root, url, extra=[LINK])[0] == 12
    messages = log_messages(root)
    assert start_line(messages)[1] == "yes"
    assert not any("serveur-secret" in m for m in messages)
    # 12029: WinHTTP could not connect.
    assert messages[2] == f"manifest {url}/release: manifest.json error 12029"
    assert messages[3].startswith(
        'end: result 12, showing "Impossible d\'installer Zelk" / "Plateforme injoignable')


def test_refused_and_unreadable_manifests(tmp_path, releases, server):
    root = tmp_path / "root"
    paths = install_whole(root, LAUNCHER)
    paths["settings"].parent.mkdir(parents=True)
    paths["settings"].write_text('{"channel": "beta"}')
    releases.publish(standard_files(), channel="beta", expires=stamp(seconds=-1))
    expires = (releases.root / "beta" / "manifest.json").read_text().split('"expires": "')[1][:20]
    (releases.root / "release").mkdir()
    (releases.root / "release" / "manifest.json").write_text("{}")
    (releases.root / "release" / "manifest.sig").write_text("not base64!")
    assert bench(root, server.url())[0] == 11
    messages = log_messages(root)
    assert messages[2:4] == [
        f"manifest {server.url()}/beta: refused: manifeste périmé ({expires}) : "
        "plateforme ou horloge du PC à vérifier",
        f"manifest {server.url()}/release: signature refused"]
    assert messages[4].startswith('end: result 11, showing "Mise à jour refusée"')


def test_missing_documents_give_their_status(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish(standard_files())
    (releases.root / "release" / "manifest.sig").unlink()
    assert bench(root, server.url())[0] == 12
    assert log_messages(root)[2] == f"manifest {server.url()}/release: manifest.sig HTTP 404"


def test_the_log_is_set_aside_at_one_mebibyte(tmp_path):
    root = tmp_path / "root"
    logs = root / "Zelk Application Data" / "logs"
    logs.mkdir(parents=True)
    old = b"2025-01-01T00:00:00.000Z " + b"x" * (1048576 - 40) + b"\r\n"
    (logs / "zelk.log").write_bytes(old)
    (logs / "zelk.log.1").write_bytes(b"the oldest log\r\n")
    assert bench(root, closed_port_url())[0] == 12
    assert (logs / "zelk.log.1").read_bytes() == old  # the older one replaced
    messages = log_messages(root)
    assert messages[0].startswith("start: Zelk ") and messages[-1].startswith("end: result 12")
    assert (logs / "zelk.log").stat().st_size < 1000
