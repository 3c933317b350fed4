"""Fixtures of the process-level tests: the Wine session, releases made with the
publisher, nginx and fault servers on loopback, a clean per-user installation."""

import datetime
import functools
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

from harness import (BUILD_DIR, SOURCE_DIR, WINE_RUN, built_in_ports, end_own_processes,
                     win_path, wine_env)

sys.path.insert(0, str(SOURCE_DIR / "tests" / "servers"))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
import publish  # noqa: E402
import servers  # noqa: E402

STANDIN = BUILD_DIR / "tests" / "standin" / "ZelkLauncher.exe"
HOLD_FILE = BUILD_DIR / "tests" / "e2e" / "hold_file.exe"
ADD_ROOT_CERT = BUILD_DIR / "tests" / "net" / "add_root_cert.exe"
BUILTIN_HTTP_PORT, BUILTIN_HTTPS_PORT = built_in_ports()


def stamp(days=0, seconds=0):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(
        days=days, seconds=seconds)
    return publish.format_timestamp(moment)


class Releases:
    """The folder an update server serves as /updates, filled with signed releases."""

    def __init__(self, root: pathlib.Path):
        self.root = root
        root.mkdir(parents=True, exist_ok=True)

    def publish(self, files: dict, channel="release", bootstrapper=None, date=None,
                expires=None, key="primary", extra_entries=(), leave_out=(), folder=None,
                extra_keys=None, maps=None):
        """files: path -> bytes, listed in this order. extra_entries are raw manifest
        elements; leave_out names paths whose content is not put in the store; extra_keys
        are raw top-level keys, over the others. The manifest names channel; folder
        (default: the channel) is where it is served. maps: path -> the block map its
        entry names and the store holds (publish.block_map(data) as the publisher
        writes it; None: named but not stored)."""
        manifest = {"date": date or stamp(), "expires": expires or stamp(days=30),
                    "channel": channel}
        contents = {}
        if bootstrapper is not None:
            manifest["bootstrapper"] = {"sha256": publish.sha256_hex(bootstrapper),
                                        "size": len(bootstrapper)}
            contents[publish.sha256_hex(bootstrapper)] = bootstrapper
        entries = []
        for path, data in files.items():
            block_map = (maps or {}).get(path, b"")
            if block_map is None:
                entries.append(publish.manifest_entry(path, data, "e" * 64))
            elif block_map:
                entries.append(publish.manifest_entry(path, data, publish.sha256_hex(block_map)))
                contents[publish.sha256_hex(block_map)] = block_map
            else:
                entries.append(publish.manifest_entry(path, data))
            if path not in leave_out:
                contents[publish.sha256_hex(data)] = data
        manifest["files"] = entries + list(extra_entries)
        manifest.update(extra_keys or {})
        folder = folder or channel
        if (self.root / folder / "files").exists():
            shutil.rmtree(self.root / folder / "files")
        publish.write_release(self.root, folder, manifest, key, contents)
        return manifest

    def remove(self, channel):
        shutil.rmtree(self.root / channel, ignore_errors=True)


@pytest.fixture(scope="session", autouse=True)
def wine_session():
    subprocess.run([str(SOURCE_DIR / "tools" / "wine-session"), "start", str(WINE_RUN)],
                   check=True)
    yield


@pytest.fixture(autouse=True)
def no_strays():
    """Whatever a test started under Wine ends with it, also when the test failed: a
    bootstrapper left running would hold its single-instance mutex, its window and
    the servers' ports into the next test. Only this run's own processes are ended
    (harness.own_processes), never another program that merely bears the same name."""
    yield
    end_own_processes()


@pytest.fixture(scope="session")
def localhost_certificate(tmp_path_factory):
    """A certificate for localhost from the test CA, which the prefix trusts."""
    authority = servers.shared_authority(BUILD_DIR / "test-ca")
    servers.install_root_certificate(WINE_RUN, ADD_ROOT_CERT, BUILD_DIR / "test-ca" / "ca.der")
    return authority.issue(tmp_path_factory.mktemp("certificate"), "localhost")


@pytest.fixture
def releases(tmp_path):
    return Releases(tmp_path / "updates")


@pytest.fixture
def server(tmp_path, releases):
    """nginx on a free loopback port serving the releases; .url() is the base URL."""
    with servers.Nginx(tmp_path / "nginx", releases.root, [servers.Listener()],
                       url_prefix="/updates/") as nginx:
        yield nginx


@pytest.fixture
def production_server(tmp_path, releases):
    """nginx serving the releases as /updates with tools/nginx/zelk-releases.conf, the
    production configuration, and its access log."""
    with servers.Nginx(tmp_path / "production", releases.root, [servers.Listener()],
                       url_prefix="/updates/", production=True) as nginx:
        yield nginx


@pytest.fixture
def builtin_servers(tmp_path, releases, localhost_certificate):
    """Starts nginx as the built-in servers of this tree (BUILTIN_HTTP_PORT on
    127.0.0.1 over http and BUILTIN_HTTPS_PORT on localhost over https; either may be
    left out), serving the releases under /updates, each response at most at rate (nginx's
    limit_rate, e.g. "16m") when given."""
    started = []

    def start(http=True, https=True, rate=None):
        listeners = []
        if http:
            listeners.append(servers.Listener(port=BUILTIN_HTTP_PORT))
        if https:
            cert, key = localhost_certificate
            listeners.append(servers.Listener(port=BUILTIN_HTTPS_PORT, cert=cert, key=key,
                                              host_name="localhost"))
        nginx = servers.Nginx(tmp_path / f"builtin{len(started)}", releases.root, listeners,
                              url_prefix="/updates/", rate=rate)
        started.append(nginx.start())
        return nginx

    yield start
    for nginx in started:
        nginx.stop()


@pytest.fixture
def record(tmp_path):
    """The stand-in launcher's record: one (command line, current folder) per start."""
    path = tmp_path / "launcher-record.txt"

    class Record:
        env = {"ZELK_STANDIN_RECORD": win_path(path)}

        @staticmethod
        def starts():
            if not path.exists():
                return []
            return [tuple(line.split("\t")) for line in path.read_text("utf-8").splitlines()]

        @staticmethod
        def wait(count, timeout=20):
            """The starts once there are count of them: Zelk may end before the launcher
            it started has written its line."""
            deadline = time.monotonic() + timeout
            while len(Record.starts()) < count and time.monotonic() < deadline:
                time.sleep(0.05)
            return Record.starts()

    return Record()


def linux_path(windows_path: str) -> pathlib.Path:
    """A C: path of the prefix as a Linux path."""
    assert windows_path[:3].upper() == "C:\\", windows_path
    return wine_prefix() / "drive_c" / windows_path[3:].replace("\\", "/")


@functools.lru_cache(maxsize=None)
def windows_temp() -> pathlib.Path:
    """The folder GetTempPathW gives programs in the prefix."""
    out = subprocess.run([str(WINE_RUN), "cmd", "/c", "echo", "%TEMP%"], capture_output=True,
                         text=True, stdin=subprocess.DEVNULL, check=True).stdout
    return linux_path(out.strip())


def prefix_user_folder() -> pathlib.Path:
    users = wine_prefix() / "drive_c" / "users"
    return next(p for p in users.iterdir() if p.name not in ("Public", "public"))


def wine_prefix() -> pathlib.Path:
    return pathlib.Path(wine_env()["WINEPREFIX"])


@pytest.fixture
def user_root():
    """The per-user installation (%LOCALAPPDATA%\\Zelk), empty at the start and removed
    at the end, with the temporary copies, the standard shortcuts and the registry keys."""
    profile = prefix_user_folder()
    local = profile / "AppData" / "Local"
    leftovers = [windows_temp() / "Zelk-renommage.exe",
                 profile / "Desktop" / "Zelk.lnk",
                 profile / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" /
                 "Programs" / "Zelk.lnk"]

    def clean():
        for entry in local.iterdir():
            if entry.name.lower() == "zelk":
                shutil.rmtree(entry)
        for path in leftovers:
            path.unlink(missing_ok=True)
        for folder in windows_temp().glob("Zelk-*"):  # the temporary copies' own folders
            shutil.rmtree(folder, ignore_errors=True)
        for key in (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelk",
                    r"HKCU\Software\Classes\zelk"):
            subprocess.run([str(WINE_RUN), "reg", "delete", key, "/f"], capture_output=True,
                           stdin=subprocess.DEVNULL)

    clean()
    yield local / "Zelk"
    clean()
