"""The normal run, as a user starts it: the per-user installation in the prefix's
%LOCALAPPDATA%\\Zelk, the built-in loopback servers, the splash window on Xvfb, the
shortcuts and the zelk:// protocol, the self-replacement and the folder rename."""

import hashlib
import re
import shutil
import subprocess
import time

import pytest

import servers

from conftest import (BUILTIN_HTTP_PORT, BUILTIN_HTTPS_PORT, HOLD_FILE, STANDIN,
                      prefix_user_folder, stamp, windows_temp)
from harness import (SOURCE_DIR, WINE_RUN, ZELK_EXE, file_version, install_whole, installation,
                     log_messages, own_processes, run, same_version, start, win_path)

ICON = (SOURCE_DIR / "resources" / "zelk.ico").read_bytes()
LAUNCHER = STANDIN.read_bytes()
LINK = "zelk://rejoindre/serveur-42"


def files(**changes):
    content = {"ZelkLauncher.exe": LAUNCHER, "zelk.ico": ICON, "lib/data.bin": b"d" * 70_000}
    content.update(changes)
    return content


def wait_for(condition, timeout=40, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.1)


def zelk_processes():
    """This run's copies of the bootstrapper that are still alive."""
    return [command for command in own_processes().values()
            if re.search(r"Zelk(-renommage)?\.exe", command)]


def settle():
    """Waits until no copy of the bootstrapper runs any more (restarts included)."""
    wait_for(lambda: not zelk_processes(), what="every Zelk process to end")


def install_launcher(root, settings=None):
    paths = install_whole(root, LAUNCHER)
    if settings is not None:
        paths["settings"].parent.mkdir(parents=True, exist_ok=True)
        paths["settings"].write_text(settings)
    return paths


def install_self(root):
    root.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ZELK_EXE, root / "Zelk.exe")
    return root / "Zelk.exe"


def registry_value(key):
    out = subprocess.run([str(WINE_RUN), "reg", "query", key, "/ve"], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL).stdout
    for line in out.splitlines():
        if "REG_SZ" in line:
            return line.split("REG_SZ", 1)[1].strip()
    return None


def registry_values(key):
    """name -> (type, text) of the values of a key, as reg query shows them; {} when the
    key does not exist."""
    out = subprocess.run([str(WINE_RUN), "reg", "query", key], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL).stdout
    values = {}
    for line in out.splitlines():
        match = re.match(r"^    (.+?)    (REG_\w+)    ?(.*)$", line)
        if match:
            values[match.group(1)] = (match.group(2), match.group(3))
    return values


UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelk"


def installed_kib(root):
    """KiB of Zelk.exe and the launcher's folder, rounded up."""
    app = installation(root)["app"]
    size = (root / "Zelk.exe").stat().st_size + sum(
        p.stat().st_size for p in app.rglob("*") if p.is_file())
    return -(-size // 1024)


def test_fresh_install_from_a_download_folder(user_root, releases, builtin_servers, record):
    releases.publish(files())
    nginx = builtin_servers()
    result = run([LINK], env=record.env)
    assert result.returncode == 0
    paths = installation(user_root)
    assert paths["exe"].read_bytes() == ZELK_EXE.read_bytes()
    assert (paths["app"] / "lib" / "data.bin").read_bytes() == b"d" * 70_000
    root = f"C:\\users\\{prefix_user_folder().name}\\AppData\\Local\\Zelk"
    app = root + "\\Zelk Application Data\\app"
    assert record.wait(1) == [(f'"{app}\\ZelkLauncher.exe" "{LINK}"', app)]
    assert all(r.port == BUILTIN_HTTP_PORT for r in nginx.requests())

    profile = prefix_user_folder()
    assert (profile / "Desktop" / "Zelk.lnk").exists()
    assert (profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" /
            "Programs" / "Zelk.lnk").exists()
    exe = registry_value(r"HKCU\Software\Classes\zelk\shell\open\command")
    assert exe == f'"{root}\\Zelk.exe" "%1"'
    assert registry_value(r"HKCU\Software\Classes\zelk") == "URL:Zelk"
    icons = list((paths["data"] / "icones").iterdir())
    assert len(icons) == 1 and icons[0].read_bytes() == ICON

    # Listed in "Installed apps", with the version of the file's properties.
    entry = registry_values(UNINSTALL_KEY)
    version = entry.pop("DisplayVersion")
    assert version[0] == "REG_SZ" and same_version(version[1], file_version())
    assert entry == {
        "DisplayName": ("REG_SZ", "Zelk"),
        "DisplayIcon": ("REG_SZ", f"{root}\\Zelk.exe"),
        "Publisher": ("REG_SZ", "Zelk"),
        "InstallLocation": ("REG_SZ", root),
        "EstimatedSize": ("REG_DWORD", hex(installed_kib(user_root))),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
        "UninstallString": ("REG_SZ", f'"{root}\\Zelk.exe" --desinstaller'),
        "QuietUninstallString": ("REG_SZ", f'"{root}\\Zelk.exe" --desinstaller --silencieux'),
    }


def test_up_to_date_run_only_reads_the_manifest(user_root, releases, builtin_servers, record):
    releases.publish(files())
    nginx = builtin_servers()
    exe = install_self(user_root)
    assert run([], exe=exe, env=record.env).returncode == 0
    count = len(nginx.requests())
    began = time.monotonic()
    assert run([], exe=exe, env=record.env).returncode == 0
    elapsed = time.monotonic() - began
    assert [r.path for r in nginx.requests()[count:]] == [
        "/updates/release/manifest.json", "/updates/release/manifest.sig"]
    assert len(record.wait(2)) == 2
    print(f"up-to-date run: {elapsed:.2f} s")


def test_second_server_over_https(user_root, releases, builtin_servers, record):
    releases.publish(files())
    nginx = builtin_servers(http=False)
    assert run([], env=record.env).returncode == 0
    assert {r.port for r in nginx.requests()} == {BUILTIN_HTTPS_PORT}
    assert (installation(user_root)["app"] / "lib" / "data.bin").exists()
    assert len(record.wait(1)) == 1


def test_beta_channel_search_order_then_offline(user_root, releases, builtin_servers, record):
    install_launcher(user_root, '{"channel": "beta"}')
    nginx = builtin_servers()  # serving nothing: every manifest is missing
    began = time.monotonic()
    assert run([], env=record.env).returncode == 0
    assert time.monotonic() - began > 0.9  # "Hors ligne" stays readable before the start
    assert [(r.port, r.path) for r in nginx.requests()] == [
        (BUILTIN_HTTP_PORT, "/updates/beta/manifest.json"),
        (BUILTIN_HTTP_PORT, "/updates/release/manifest.json"),
        (BUILTIN_HTTPS_PORT, "/updates/beta/manifest.json"),
        (BUILTIN_HTTPS_PORT, "/updates/release/manifest.json")]
    assert len(record.wait(1)) == 1


def test_expired_manifest_with_the_other_server_down(user_root, releases, builtin_servers,
                                                     record):
    install_launcher(user_root)
    releases.publish(files(), date=stamp(days=-31), expires=stamp(days=-1))
    nginx = builtin_servers(https=False)
    began = time.monotonic()
    assert run([], env=record.env).returncode == 0
    assert time.monotonic() - began > 2.5  # the refusal stays readable
    assert [r.path for r in nginx.requests()] == ["/updates/release/manifest.json",
                                                  "/updates/release/manifest.sig"]
    assert len(record.wait(1)) == 1
    assert not (installation(user_root)["app"] / "lib").exists()


def test_automatic_updates_off_makes_no_request(user_root, releases, builtin_servers, record):
    install_launcher(user_root, '{"autoUpdate": false}')
    releases.publish(files())
    nginx = builtin_servers()
    assert run([LINK], env=record.env).returncode == 0
    assert nginx.requests() == []
    assert [start[0].endswith(f'"{LINK}"') for start in record.wait(1)] == [True]


def test_no_update_while_the_launcher_runs(user_root, releases, builtin_servers, record):
    paths = install_launcher(user_root)
    releases.publish(files())
    nginx = builtin_servers()
    running = start([], exe=paths["launcher"], env={**record.env,
                                                    "ZELK_STANDIN_LINGER_MS": "15000"})
    try:
        wait_for(lambda: len(record.starts()) == 1, what="the launcher to run")
        assert run([], env=record.env).returncode == 0
    finally:
        running.kill()
        running.wait()
    assert nginx.requests() == []
    assert len(record.wait(2)) == 2


def test_a_double_click_waits_for_the_running_update(user_root, releases, builtin_servers,
                                                     record):
    """Two normal runs started together (a double-click, or a zelk:// link clicked while
    Zelk updates): the second waits for the first one's update, then starts the
    launcher with its link. Both end well and every content is fetched once."""
    big = servers.pattern_bytes(64 << 20, 5)
    releases.publish(files(**{"lib/big.bin": big}))
    nginx = builtin_servers(https=False, rate="16m")  # about 4 s for the big file
    first = start([], env=record.env)
    second = start([LINK], env=record.env)
    assert first.wait(timeout=120) == 0 and second.wait(timeout=120) == 0
    starts = record.wait(2)
    assert len(starts) == 2 and sum(command.endswith(f'"{LINK}"') for command, _ in starts) == 1
    assert (installation(user_root)["app"] / "lib" / "big.bin").read_bytes() == big
    fetched = [r.path for r in nginx.requests() if "/files/" in r.path]
    assert len(fetched) == len(set(fetched)) == len(files(**{"lib/big.bin": big}))
    messages = log_messages(user_root)
    assert sum(bool(re.fullmatch(r"waited \d+\.\d\d s for another update of this data root", m))
               for m in messages) == 1
    assert sum(m.startswith("end: result 0") for m in messages) == 2


def self_update_bytes():
    """Another build of the bootstrapper: the same program with other trailing bytes."""
    return ZELK_EXE.read_bytes() + b"\0" * 64 + b"zelk test build 2"


def test_self_update_as_the_installed_copy(user_root, releases, builtin_servers, record):
    exe = install_self(user_root)
    new_exe = self_update_bytes()
    releases.publish(files(), bootstrapper=new_exe)
    builtin_servers()
    assert run([LINK], exe=exe, env=record.env).returncode == 0
    # The replaced copy restarts with --updated and carries the link to the launcher.
    wait_for(lambda: len(record.starts()) == 1, what="the launcher started by the new copy")
    settle()
    assert exe.read_bytes() == new_exe
    assert record.starts()[0][0].endswith(f'"{LINK}"')
    assert not (user_root / "Zelk.exe.old").exists()


def test_a_bootstrapper_that_is_not_a_program_never_takes_zelks_place(user_root, releases,
                                                                      builtin_servers, record):
    """Signed or not, only a 64-bit Windows program may become Zelk.exe: the shortcuts and
    zelk:// start it. The installed copy stays, and the launcher starts all the same."""
    exe = install_self(user_root)
    releases.publish(files(), bootstrapper=b"MZ" + b"\0" * 4096 + b"not a program")
    builtin_servers()
    assert run([LINK], exe=exe, env=record.env).returncode == 0
    assert len(record.wait(1)) == 1
    settle()
    assert exe.read_bytes() == ZELK_EXE.read_bytes()
    assert any(m.endswith(": not a 64-bit Windows program, refused")
               for m in log_messages(user_root))


def test_self_update_from_a_download_folder(user_root, releases, builtin_servers, record):
    new_exe = self_update_bytes()
    releases.publish(files(), bootstrapper=new_exe)
    builtin_servers()
    assert run([], env=record.env).returncode == 0
    settle()
    assert installation(user_root)["exe"].read_bytes() == new_exe
    assert len(record.wait(1)) == 1  # started by this run: nothing was restarted


def test_failed_self_replacement_keeps_zelk_exe(user_root, releases, builtin_servers, record,
                                                tmp_path):
    exe = install_self(user_root)
    original = exe.read_bytes()
    new_exe = self_update_bytes()
    releases.publish(files(), bootstrapper=new_exe)
    builtin_servers()
    # The new copy arrives in its partial file, which another program holds open (without
    # sharing its deletion): the running copy is moved aside, the rename fails.
    blocker = (user_root / "Zelk Application Data" / "telechargements" /
               hashlib.sha256(new_exe).hexdigest())
    blocker.parent.mkdir(parents=True)
    blocker.write_bytes(b"")
    marker = tmp_path / "held"
    holder = start([win_path(blocker), 30000, win_path(marker)], exe=HOLD_FILE)
    try:
        wait_for(marker.exists, what="the temporary file to be held")
        assert run([], exe=exe, env=record.env).returncode == 0
    finally:
        holder.kill()
        holder.wait()
    assert exe.read_bytes() == original
    assert len(record.wait(1)) == 1  # the files were still installed and the launcher started


@pytest.fixture
def lower_case_root(user_root):
    """The installation stored on disk as "zelk": found under the wanted path, but with
    the wrong letter case."""
    stored = user_root.parent / "zelk"
    stored.mkdir()
    shutil.copyfile(ZELK_EXE, stored / "Zelk.exe")
    return stored


def fresh_temp_folders():
    """The folders of their own that temporary copies of Zelk run from."""
    return [p for p in windows_temp().glob("Zelk-*") if p.is_dir()]


def test_wrong_letter_case_hands_off_once(lower_case_root, releases, builtin_servers, record):
    releases.publish(files())
    builtin_servers()
    assert run([LINK], exe=lower_case_root / "Zelk.exe", env=record.env).returncode == 0
    wait_for(lambda: len(record.starts()) == 1, what="the launcher after the rename relay")
    settle()
    # Wine reports the case-only rename as done but keeps the old name; the restarted
    # copy must not hand off again, or the relay would never end.
    assert len(record.wait(1)) == 1
    assert record.starts()[0][0].endswith(f'"{LINK}"')
    messages = log_messages(lower_case_root)
    assert any(m.startswith("start: Zelk ") and "mode folder rename" in m for m in messages)
    # The copy ran from a folder of its own, never from the shared temporary folder, and
    # that folder went with it, the remover too.
    assert not (windows_temp() / "Zelk-renommage.exe").exists()
    wait_for(lambda: not fresh_temp_folders(), what="the rename copy's folder to go")
    wait_for(lambda: not own_processes(), what="the remover to end")


@pytest.mark.parametrize("blocker", ["game", "launcher"])
def test_no_hand_off_while_the_game_or_launcher_runs(lower_case_root, releases, builtin_servers,
                                                     record, tmp_path, blocker):
    releases.publish(files())
    builtin_servers()
    if blocker == "game":
        game = tmp_path / "KingdomCome.exe"
        shutil.copyfile(HOLD_FILE, game)
        (tmp_path / "save").write_bytes(b"")
        running = start([win_path(tmp_path / "save"), 30000, win_path(tmp_path / "up")], exe=game)
        wait_for((tmp_path / "up").exists, what="the game to run")
    else:
        paths = install_launcher(lower_case_root)
        running = start([], exe=paths["launcher"],
                        env={**record.env, "ZELK_STANDIN_LINGER_MS": "30000"})
        wait_for(lambda: len(record.starts()) == 1, what="the launcher to run")
    try:
        assert run([], exe=lower_case_root / "Zelk.exe", env=record.env).returncode == 0
    finally:
        running.kill()
        running.wait()
    assert not fresh_temp_folders()
    assert not any("mode folder rename" in m for m in log_messages(lower_case_root))
    expected = 1 if blocker == "game" else 2
    assert len(record.wait(expected)) == expected
