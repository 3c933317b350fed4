"""Releases a publisher's mistake or a compromised server could send, and local state
an older client or a user left behind: respelled paths, a file that becomes a folder
(and back), links inside the launcher's folder, a manifest replayed under another
channel. Each run is followed by one that must complete."""

import os
import shutil

from conftest import STANDIN
from harness import bench, index_records, installation, log_messages
import publish

LAUNCHER = STANDIN.read_bytes()
STARTING = ["Mise à jour ...", "Starting Zelk"]
UNREACHABLE = ["Impossible d'installer Zelk",
               "Plateforme injoignable : vérifie ta connexion puis relance."]


def conflict(path):
    return ["2", "Impossible d'installer Zelk",
            f"Conflit de fichiers : {path} existe déjà sous une autre forme."]


def files_on_disk(app):
    return {p.relative_to(app).as_posix(): p.read_bytes() for p in app.rglob("*")
            if p.is_file() and not p.name.startswith(".zelk-")}


def content_requests(nginx):
    return [r.path for r in nginx.requests() if "/files/" in r.path]


def completes(root, nginx, files):
    """A run that installs files completely, then one that has nothing to fetch."""
    assert bench(root, nginx.url()) == (10, ["10"] + STARTING)
    assert files_on_disk(installation(root)["app"]) == files
    fetched = len(content_requests(nginx))
    assert bench(root, nginx.url()) == (10, ["10"] + STARTING)
    assert len(content_requests(nginx)) == fetched


def test_old_spellings_in_the_index_never_remove_current_files(tmp_path, releases, server):
    root = tmp_path / "root"
    index = installation(root)["index"]
    v1 = {"ZelkLauncher.exe": LAUNCHER, "keep.txt": b"keep v1", "d/x": b"x v1"}
    releases.publish(v1)
    assert bench(root, server.url())[0] == 10

    # As an older client recorded a release that spelled its paths otherwise, and
    # as a hand edit of the index would: each line names a current file.
    lines = index.read_text().splitlines()
    digest = {line.split(" ", 2)[2]: line.split(" ", 2)[0] for line in lines}
    respelled = [("keep.txt", "keep.txt."), ("keep.txt", "./keep.txt"), ("d/x", "d//x"),
                 ("d/x", "d/./x"), ("ZelkLauncher.exe", "./ZelkLauncher.exe"),
                 ("ZelkLauncher.exe", "ZELKLAUNCHER.EXE.")]
    index.write_bytes("".join(f"{digest[path]} 1 {other}\r\n"
                              for path, other in respelled).encode())

    # An unchanged release keeps them all; a release with new content writes them
    # and keeps them.
    assert bench(root, server.url()) == (10, ["10"] + STARTING)
    assert files_on_disk(installation(root)["app"]) == v1
    index.write_bytes("".join(f"{digest[path]} 1 {other}\r\n"
                              for path, other in respelled).encode())
    v2 = {"ZelkLauncher.exe": LAUNCHER, "keep.txt": b"keep v2", "d/x": b"x v2"}
    releases.publish(v2)
    completes(root, server, v2)


def test_a_file_becomes_a_folder_and_a_folder_a_file(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish({"ZelkLauncher.exe": LAUNCHER, "plugins": b"one file",
                      "mods/a.txt": b"a", "mods/deep/b.txt": b"b"})
    assert bench(root, server.url())[0] == 10
    v2 = {"ZelkLauncher.exe": LAUNCHER, "plugins/p.dll": b"a plugin", "mods": b"now a file"}
    releases.publish(v2)
    completes(root, server, v2)
    v3 = {"ZelkLauncher.exe": LAUNCHER, "plugins": b"a file again", "mods/a.txt": b"a"}
    releases.publish(v3)
    completes(root, server, v3)


def test_what_zelk_did_not_install_is_never_deleted(tmp_path, releases, server):
    root = tmp_path / "root"
    app = installation(root)["app"]
    releases.publish({"ZelkLauncher.exe": LAUNCHER, "mods/a.txt": b"a"})
    assert bench(root, server.url())[0] == 10
    (app / "plugins").write_bytes(b"the user's own file")
    (app / "mods" / "save.txt").write_bytes(b"the user's save")

    # Files arrive several at once: the first conflict met is the one reported.
    v2 = {"ZelkLauncher.exe": LAUNCHER, "mods": b"now a file", "plugins/p.dll": b"plugin"}
    releases.publish(v2)
    either = [(2, conflict("mods")), (2, conflict("plugins/p.dll"))]
    assert bench(root, server.url()) in either
    assert (app / "mods" / "save.txt").read_bytes() == b"the user's save"
    assert (app / "mods" / "a.txt").read_bytes() == b"a"
    assert (app / "plugins").read_bytes() == b"the user's own file"
    (app / "mods" / "save.txt").unlink()
    assert bench(root, server.url()) == (2, conflict("plugins/p.dll"))
    assert (app / "plugins").read_bytes() == b"the user's own file"

    # Once the user has moved them away, the update completes.
    (app / "plugins").unlink()
    completes(root, server, {"plugins/p.dll": b"plugin", **v2})


def test_links_inside_the_launchers_folder_are_never_gone_through(tmp_path, releases, server):
    root = tmp_path / "root"
    app = installation(root)["app"]
    v1 = {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": b"icon v1", "lib/data.bin": b"data v1",
          "lib/old.txt": b"old"}
    releases.publish(v1)
    assert bench(root, server.url())[0] == 10

    # lib replaced by a link to a folder elsewhere, holding the same files.
    outside = tmp_path / "outside"
    (app / "lib").rename(outside)
    os.symlink(outside, app / "lib", target_is_directory=True)
    before = files_on_disk(outside)

    # A new data file would be written through the link: refused, nothing written. The
    # icon before it is replaced, and the data file keeps its record all the same.
    releases.publish({**v1, "zelk.ico": b"icon v2", "lib/data.bin": b"data v2"})
    assert bench(root, server.url()) == (2, conflict("lib/data.bin"))
    # A dropped file would be removed through it: left alone, the rest completes.
    v3 = {path: data for path, data in v1.items() if path != "lib/old.txt"}
    releases.publish(v3)
    assert bench(root, server.url()) == (10, ["10"] + STARTING)
    assert files_on_disk(outside) == before

    # Links to files (Wine shows them as plain files): where an older Zelk wrote the
    # temporary file of zelk.ico, and in place of a dropped file. Neither target is
    # written or deleted, nor is either link.
    victim = tmp_path / "victim.txt"
    victim.write_bytes(b"not Zelk's")
    os.symlink(victim, app / "zelk.ico.tmp")
    (app / "docs").mkdir()
    os.symlink(victim, app / "docs" / "readme.txt")
    index = installation(root)["index"]
    index.write_bytes(index.read_bytes() + b"0" * 64 + b" 10 docs/readme.txt\r\n")
    v4 = {**v3, "zelk.ico": b"icon v4"}
    releases.publish(v4)
    assert bench(root, server.url()) == (10, ["10"] + STARTING)
    assert victim.read_bytes() == b"not Zelk's"
    assert (app / "zelk.ico").read_bytes() == b"icon v4"
    assert (app / "zelk.ico.tmp").is_symlink() and (app / "docs" / "readme.txt").is_symlink()

    # Without the links, the update completes.
    (app / "zelk.ico.tmp").unlink()
    (app / "docs" / "readme.txt").unlink()
    (app / "lib").unlink()
    v5 = {**v4, "lib/data.bin": b"data v2"}
    releases.publish(v5)
    completes(root, server, v5)


def test_a_new_file_is_never_written_through_a_linked_folder(tmp_path, releases, server):
    root = tmp_path / "root"
    app = installation(root)["app"]
    v1 = {"ZelkLauncher.exe": LAUNCHER, "lib/data.bin": b"data v1"}
    releases.publish(v1)
    assert bench(root, server.url())[0] == 10

    # lib moved elsewhere and linked back, and a folder of the user's own linked in
    # where the release will want one: names that nothing stands at yet go through
    # the same checks as files that are replaced.
    outside, mods = tmp_path / "outside", tmp_path / "mods"
    (app / "lib").rename(outside)
    os.symlink(outside, app / "lib", target_is_directory=True)
    mods.mkdir()
    os.symlink(mods, app / "mods", target_is_directory=True)
    v2 = {**v1, "lib/new.bin": b"new"}
    releases.publish(v2)
    assert bench(root, server.url()) == (2, conflict("lib/new.bin"))
    v3 = {**v1, "mods/m.dll": b"mod"}
    releases.publish(v3)
    assert bench(root, server.url()) == (2, conflict("mods/m.dll"))
    assert sorted(p.name for p in outside.iterdir()) == ["data.bin"]
    assert list(mods.iterdir()) == []

    (app / "lib").unlink()
    (app / "mods").unlink()
    completes(root, server, v3)


def test_a_manifest_signed_for_another_channel_is_not_installed(tmp_path, releases, server):
    root = tmp_path / "root"
    beta = {"ZelkLauncher.exe": LAUNCHER, "beta-only.dll": b"beta"}
    # The genuine beta manifest and its files, served under /updates/release/.
    releases.publish(beta, channel="beta", folder="release")
    assert bench(root, server.url()) == (12, ["12"] + UNREACHABLE)
    assert not installation(root)["app"].exists() or files_on_disk(installation(root)["app"]) == {}
    assert content_requests(server) == []

    release = {"ZelkLauncher.exe": LAUNCHER, "release.dll": b"release"}
    releases.publish(release)
    completes(root, server, release)


# --- what a signed manifest or a planted link could turn into a path -------------------


def climbing_digest(name):
    """64 characters that would name tmp_path/name from the partial downloads' folder,
    padded with "\\." as a hostile manifest pads them to a digest's length."""
    text = "..\\..\\..\\" + name
    assert len(text) % 2 == 0
    return text + "\\." * ((64 - len(text)) // 2)


def partial_dir(root):
    return installation(root)["root"] / "Zelk Application Data" / "telechargements"


def test_a_digest_is_never_a_path(tmp_path, releases, server):
    root = tmp_path / "root"
    thesis, program = tmp_path / "thesis1.doc", tmp_path / "program.exe"
    thesis.write_bytes(b"the user's thesis")
    program.write_bytes(b"the user's program")
    files = {"ZelkLauncher.exe": LAUNCHER, "a.txt": b"a"}
    releases.publish(files, extra_entries=[
        {"path": "thesis.docx", "sha256": climbing_digest("thesis1.doc"), "size": 0},
        {"path": "upper.txt", "sha256": publish.sha256_hex(b"a").upper(), "size": 1},
    ], extra_keys={"bootstrapper": {"sha256": climbing_digest("program.exe"), "size": 0}})
    # The files a digest can name are installed; entries and a bootstrapper without one
    # are skipped, never requested, never recorded.
    completes(root, server, files)
    assert thesis.read_bytes() == b"the user's thesis"
    assert program.read_bytes() == b"the user's program"
    assert sorted(index_records(root)) == ["ZelkLauncher.exe", "a.txt"]
    assert all(len(path.rsplit("/", 1)[1]) == 64 for path in content_requests(server))


def test_links_where_zelk_keeps_its_own_files_are_never_gone_through(tmp_path, releases,
                                                                    server):
    root = tmp_path / "root"
    data = {"ZelkLauncher.exe": LAUNCHER, "lib/data.bin": b"data v1"}
    releases.publish(data)
    assert bench(root, server.url())[0] == 10
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep.txt").write_bytes(b"not Zelk's")
    big = tmp_path / "big.log"
    big.write_bytes(b"the user's log\n" * 80_000)  # over 1 MiB: a log would rotate
    victim = tmp_path / "victim.bin"
    victim.write_bytes(b"not Zelk's either")

    # A link at the partial file of the next download, and one as the run log.
    logs = root / "Zelk Application Data" / "logs"
    (logs / "zelk.log").unlink()
    os.symlink(big, logs / "zelk.log")
    v2 = {**data, "lib/data.bin": b"data v2"}
    releases.publish(v2)
    os.symlink(victim, partial_dir(root) / publish.sha256_hex(v2["lib/data.bin"]))
    completes(root, server, v2)
    assert victim.read_bytes() == b"not Zelk's either"
    assert big.read_bytes() == b"the user's log\n" * 80_000
    assert not (logs / "zelk.log").is_symlink() and log_messages(root)

    # The partial downloads' folder as a link: the update stops before any download,
    # and nothing in the folder it leads to is touched.
    shutil.rmtree(partial_dir(root))
    os.symlink(outside, partial_dir(root), target_is_directory=True)
    v3 = {**v2, "lib/data.bin": b"data v3"}
    releases.publish(v3)
    assert bench(root, server.url()) == (2, conflict("telechargements"))
    assert sorted(p.name for p in outside.iterdir()) == ["keep.txt"]
    assert files_on_disk(installation(root)["app"]) == v2
    partial_dir(root).unlink()
    completes(root, server, v3)


def test_a_folder_at_a_partial_files_name_is_cleared(tmp_path, releases, server):
    root = tmp_path / "root"
    files = {"ZelkLauncher.exe": LAUNCHER, "lib/data.bin": b"data"}
    releases.publish(files)
    stale = partial_dir(root) / publish.sha256_hex(b"data")
    (stale / "inner").mkdir(parents=True)
    (stale / "inner" / "x").write_bytes(b"x")
    completes(root, server, files)
    assert not stale.exists()


def test_the_log_is_valid_utf8_and_shows_what_would_reorder_it(tmp_path, releases, server):
    root = tmp_path / "root"
    releases.publish({"ZelkLauncher.exe": LAUNCHER, "docs/\u202eexe.txt": b"rlo",
                      "docs/line\u2028break.txt": b"ls", "docs/lone-@.txt": b"lone"})
    # A lone surrogate, as JSON's \ud800 writes one: no UTF-8 text can hold it.
    folder = releases.root / "release"
    raw = (folder / "manifest.json").read_bytes()
    publish.write_release(releases.root, "release", raw.replace(b"lone-@", b"lone-\\ud800"))
    assert bench(root, server.url())[0] == 10
    text = (root / "Zelk Application Data" / "logs" / "zelk.log").read_bytes().decode("utf-8")
    assert "docs/<U+202E>exe.txt: 3 bytes" in text and "line<U+2028>break.txt" in text
    assert "docs/lone-\ufffd" in text
    assert not any(c in text for c in "\u202e\u2028\u2029\u2066\u200f\x85")
