"""The uninstall, as "Installed apps" runs it: the installed Zelk.exe with the entry's
commands, the temporary copy that removes Zelk.exe once the uninstalling process has
ended (and leaves neither its folder nor a process behind), what is kept, the refusal
while the launcher runs, and a reinstall afterwards. The question and the messages are
message boxes: one run answers them as a user would, with the keyboard."""

import re
import shlex
import subprocess
import time

import pytest

from conftest import prefix_user_folder
from harness import (ZELK_EXE, installation, log_messages, own_processes, run, start,
                     wine_env)
from test_normal import (LAUNCHER, UNINSTALL_KEY, files, fresh_temp_folders, registry_value,
                         registry_values, wait_for)

PROTOCOL_KEY = r"HKCU\Software\Classes\zelk"


def shortcuts():
    profile = prefix_user_folder()
    return [profile / "Desktop" / "Zelk.lnk",
            profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" /
            "Programs" / "Zelk.lnk"]


@pytest.fixture
def installed(user_root, releases, builtin_servers, record):
    """A first install from the download folder, with the user's settings and logs."""
    releases.publish(files())
    builtin_servers()
    assert run([], env=record.env).returncode == 0
    assert len(record.wait(1)) == 1
    paths = installation(user_root)
    paths["settings"].write_text('{"channel": "release"}')
    assert registry_values(UNINSTALL_KEY) and registry_value(PROTOCOL_KEY) == "URL:Zelk"
    assert all(link.exists() for link in shortcuts())
    return paths


def entry_command(name):
    """The installed Zelk.exe and the arguments of one of the entry's commands."""
    words = shlex.split(registry_values(UNINSTALL_KEY)[name][1], posix=False)
    return words[0].strip('"'), words[1:]


def linux(windows_path, root):
    assert windows_path.lower().endswith("\\zelk\\zelk.exe"), windows_path
    return root / "Zelk.exe"


def wait_for_the_last_step(root):
    """The temporary copy removes Zelk.exe, then its own folder goes, and nothing it
    started is left running."""
    wait_for(lambda: not (root / "Zelk.exe").exists(), what="Zelk.exe to be removed")
    wait_for(lambda: not fresh_temp_folders(), what="the temporary copy's folder to go")
    wait_for(lambda: not own_processes(), what="every process of the uninstall to end")


def test_quiet_uninstall_keeps_the_users_data_then_a_reinstall(installed, user_root, record):
    exe, arguments = entry_command("QuietUninstallString")
    assert arguments == ["--desinstaller", "--silencieux"]
    assert run(arguments, exe=linux(exe, user_root), env=record.env).returncode == 0
    wait_for_the_last_step(user_root)

    assert registry_values(UNINSTALL_KEY) == {}
    assert registry_value(PROTOCOL_KEY) is None
    assert not any(link.exists() for link in shortcuts())
    assert not installed["app"].exists()
    assert not (installed["data"] / "icones").exists()
    assert not (user_root / "Zelk Application Data" / "telechargements").exists()
    assert installed["settings"].read_text() == '{"channel": "release"}'
    messages = log_messages(user_root)
    assert any(re.fullmatch(r"start: Zelk [0-9.]+, mode uninstall, silent: yes, "
                            r"everything: no", m) for m in messages)
    assert messages[-1].startswith("uninstall finished: ") and messages[-1].endswith(" removed")

    # Installing again works as the first time did, the kept settings read again.
    assert run([], env=record.env).returncode == 0
    assert len(record.wait(2)) == 2
    assert installed["exe"].read_bytes() == ZELK_EXE.read_bytes()
    assert installed["launcher"].exists()
    assert registry_values(UNINSTALL_KEY)["DisplayName"] == ("REG_SZ", "Zelk")
    assert all(link.exists() for link in shortcuts())


def test_everything_goes_with_tout(installed, user_root, record):
    exe, arguments = entry_command("QuietUninstallString")
    assert run([*arguments, "--tout"], exe=linux(exe, user_root), env=record.env).returncode == 0
    wait_for_the_last_step(user_root)
    assert not user_root.exists()
    assert registry_values(UNINSTALL_KEY) == {}


def test_nothing_changes_while_the_launcher_runs(installed, user_root, record):
    running = start([], exe=installed["launcher"],
                    env={**record.env, "ZELK_STANDIN_LINGER_MS": "30000"})
    try:
        wait_for(lambda: len(record.starts()) == 2, what="the launcher to run")
        exe, arguments = entry_command("QuietUninstallString")
        assert run(arguments, exe=linux(exe, user_root), env=record.env).returncode == 2
    finally:
        running.kill()
        running.wait()
    assert installed["exe"].exists() and installed["launcher"].exists()
    assert registry_values(UNINSTALL_KEY) and registry_value(PROTOCOL_KEY) == "URL:Zelk"
    assert all(link.exists() for link in shortcuts())
    assert "the launcher runs: nothing removed" in log_messages(user_root)


def message_box(process, seen=(), timeout=30):
    """A visible window of that process that was not seen before."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = subprocess.run(["xdotool", "search", "--pid", str(process.pid), "--onlyvisible",
                              "--name", "^Zelk$"], capture_output=True, text=True,
                             env=wine_env()).stdout.split()
        fresh = [window for window in out if window not in seen]
        if fresh:
            return fresh[-1]
        assert process.poll() is None, "Zelk ended without its message box"
        time.sleep(0.1)
    raise AssertionError("no message box")


def press(window, key):
    """A key pressed on the focused window, as typed: no window manager runs on the
    tests' display, and Wine takes no synthetic events sent to one window."""
    subprocess.run(["xdotool", "windowfocus", "--sync", window], env=wine_env(), check=True,
                   capture_output=True)
    subprocess.run(["xdotool", "key", key], env=wine_env(), check=True)


def test_the_question_answered_with_the_keyboard(installed, user_root, record):
    exe, arguments = entry_command("UninstallString")
    assert arguments == ["--desinstaller"]
    process = start(arguments, exe=linux(exe, user_root), env=record.env)
    try:
        question = message_box(process)
        press(question, "Return")  # "Oui" is the default button
        done = message_box(process, seen={question})
        assert installed["settings"].exists() and not installed["app"].exists()
        press(done, "Return")
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    wait_for_the_last_step(user_root)
    assert registry_values(UNINSTALL_KEY) == {}


@pytest.mark.parametrize("everything", [False, True])
def test_links_are_never_entered(installed, user_root, record, tmp_path, everything):
    """Links in the launcher's folder and in a folder that goes with --tout lead to
    files of the user's. Windows removes a link as itself; Wine cannot tell a link to a
    file from its target, so there the links stay, and the uninstall says it is
    incomplete. Either way nothing they lead to is touched, and once they are gone a
    second uninstall completes."""
    outside = tmp_path / "outside"
    canaries = {outside / "a.txt": b"a", outside / "deep" / "b.txt": b"b",
                tmp_path / "thesis.doc": b"thesis"}
    for path, data in canaries.items():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    links = [installed["app"] / "linked", installed["app"] / "lib-link.dll",
             user_root / "Zelk Application Data" / "divers" / "notes-link"]
    links[0].symlink_to(outside, target_is_directory=True)
    links[1].symlink_to(tmp_path / "thesis.doc")
    links[2].parent.mkdir(parents=True, exist_ok=True)
    links[2].symlink_to(outside, target_is_directory=True)

    exe, arguments = entry_command("QuietUninstallString")
    arguments += ["--tout"] if everything else []
    code = run(arguments, exe=linux(exe, user_root), env=record.env).returncode
    assert {path: path.read_bytes() for path in canaries} == canaries
    assert code == 2 and installed["exe"].exists() and registry_values(UNINSTALL_KEY)
    assert not installed["launcher"].exists()
    assert all(link.is_symlink() for link in links)
    if not everything:  # --tout takes the log with the rest
        left = sorted(m for m in log_messages(user_root) if m.startswith("not removed: "))
        assert len(left) == 2
        assert left[0].endswith("\\app\\lib-link.dll") and left[1].endswith("\\app\\linked")

    for link in links:
        link.unlink()
    assert run(arguments, exe=linux(exe, user_root), env=record.env).returncode == 0
    wait_for_the_last_step(user_root)
    assert {path: path.read_bytes() for path in canaries} == canaries
