"""The networks users sit behind: an update through each kind of proxy setting (counted
in tinyproxy's log), a proxy that is down, a proxy that wants a password, caches told
to fetch the manifest anew, an https store that sends its files on to plain http, an
expired certificate and a busy server. Every proxy setting a test writes into the
prefix is put back after it."""

import re
import struct
import subprocess

import pytest

import publish
import servers
from conftest import STANDIN
from harness import BUILD_DIR, WINE_RUN, bench, log_messages, wine_env

LAUNCHER = STANDIN.read_bytes()
RELEASE = {"ZelkLauncher.exe": LAUNCHER, "lib/data.bin": servers.pattern_bytes(70_000, 4)}

USER_SETTINGS = (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections",
                 "DefaultConnectionSettings")
MACHINE_SETTINGS = (r"HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
                    r"\Connections", "WinHttpSettings")
# The blobs' flags (WinINet's and WinHTTP's layout): direct, a named proxy, a PAC script.
DIRECT, NAMED, SCRIPT = 1, 2, 4

CERTIFICATE = "Connexion sécurisée refusée : vérifie la date et l'heure du PC."
CREDENTIALS = "Le proxy demande une identification."
BUSY = "Serveur de mises à jour indisponible : réessaie plus tard."
FAILED = "Impossible d'installer Zelk"


def blob(magic, flags, *texts):
    data = struct.pack("<III", magic, 0, flags)
    for text in texts:
        data += struct.pack("<I", len(text)) + text.encode("ascii")
    return data


def registry(command, key, value, data=None):
    arguments = [str(WINE_RUN), "reg", command, key, "/v", value, "/f"]
    if data is not None:
        arguments += ["/t", "REG_BINARY", "/d", data.hex()]
    subprocess.run(arguments, env=wine_env(), capture_output=True, stdin=subprocess.DEVNULL,
                   check=command == "add")


@pytest.fixture
def proxy_settings():
    """Sets the user's Internet settings or the machine's WinHTTP default proxy in the
    prefix; both go back to the tests' own (direct, no detection) afterwards."""

    class Settings:
        @staticmethod
        def user(flags, proxy="", bypass="", script=""):
            registry("add", *USER_SETTINGS, blob(0x46, flags, proxy, bypass, script) + bytes(32))

        @staticmethod
        def machine(proxy, bypass=""):
            registry("add", *MACHINE_SETTINGS, blob(0x18, NAMED | DIRECT, proxy, bypass))

    yield Settings
    registry("add", *USER_SETTINGS, blob(0x46, DIRECT, "", "", "") + bytes(32))
    registry("delete", *MACHINE_SETTINGS)


@pytest.fixture
def tinyproxy(tmp_path):
    with servers.Tinyproxy(tmp_path / "tinyproxy") as proxy:
        yield proxy


def proxy_lines(root):
    return [m for m in log_messages(root) if m.startswith("proxy ")]


@pytest.mark.parametrize("setting", ["WinHTTP default proxy", "user's manual proxy", "PAC"])
def test_the_update_goes_through_the_proxy_each_setting_names(setting, tmp_path, releases,
                                                               server, tinyproxy, proxy_settings):
    releases.publish(RELEASE)
    if setting == "WinHTTP default proxy":
        proxy_settings.machine(tinyproxy.address)
    elif setting == "user's manual proxy":
        proxy_settings.user(DIRECT | NAMED, tinyproxy.address, "*.example.com;<local>")
    else:
        (releases.root / "proxy.pac").write_text(
            'function FindProxyForURL(url, host) { return "PROXY %s"; }' % tinyproxy.address)
        proxy_settings.user(DIRECT | SCRIPT, script=server.url() + "/proxy.pac")
    root = tmp_path / "root"
    code, report = bench(root, server.url())
    carried_before, served_before = 0, 0
    if any("discovery given up" in line for line in proxy_lines(root)):
        # A machine too busy to run the script within the bound goes direct, as it
        # must; the way through the proxy is then checked on a second, warm run.
        carried_before, served_before = len(tinyproxy.requests()), len(server.requests())
        root = tmp_path / "again"
        code, report = bench(root, server.url())
    assert (code, report[:1]) == (10, ["10"]), report
    carried = [r for r in tinyproxy.requests()[carried_before:] if "/updates/release/" in r]
    served = [r for r in server.requests()[served_before:]
              if r.path.startswith("/updates/release/")]
    # Every request for the release, and only those, went through the proxy, once each.
    assert len(carried) == len(served) >= 3, (proxy_lines(root), carried, served)
    assert sorted(r.split(" ")[1].split("/updates", 1)[1] for r in carried) == \
        sorted(r.path.split("/updates", 1)[1] for r in served)
    host = server.url().split("/updates")[0]
    assert [line for line in proxy_lines(root) if host in line] == \
        [f"proxy for {host}: {tinyproxy.address} (" +
         {"WinHTTP default proxy": "WinHTTP's default proxy",
          "user's manual proxy": "the user's proxy", "PAC": "the PAC script"}[setting] + ")"]


def test_a_proxy_that_is_down_is_gone_around_once(tmp_path, releases, server, proxy_settings):
    releases.publish(RELEASE)
    down = f"127.0.0.1:{servers.free_port()}"
    proxy_settings.user(DIRECT | NAMED, down)
    root = tmp_path / "root"
    code, report = bench(root, server.url())
    assert (code, report[:1]) == (10, ["10"]), report
    host = server.url().split("/updates")[0]
    assert proxy_lines(root) == [
        f"proxy for {host}: {down} (the user's proxy)",
        f"proxy {down} for {host} failed (error 12029): direct from now on"]


def test_a_discovery_that_does_not_answer_is_given_up(tmp_path, releases, server,
                                                     proxy_settings):
    releases.publish(RELEASE)
    with servers.FaultServer() as fault:
        # The PAC server accepts and never answers: Wine would wait 30 s for it.
        proxy_settings.user(DIRECT | SCRIPT, script=fault.url + "/silent/60/proxy.pac")
        root = tmp_path / "root"
        code, report = bench(root, server.url())
    assert (code, report[:1]) == (10, ["10"]), report
    host = server.url().split("/updates")[0]
    assert proxy_lines(root) == [
        f"proxy for {host}: none (no proxy discovered, discovery given up after 5 s)"]
    # A bound, not a speed: the script's server would have held the run for a minute.
    took = float(re.search(r"after (\d+\.\d+) s$", log_messages(root)[-1])[1])
    assert took < 30, log_messages(root)


def test_a_proxy_that_wants_a_password_is_told(tmp_path, releases, server, proxy_settings):
    releases.publish(RELEASE)
    with servers.Tinyproxy(tmp_path / "tinyproxy", credentials=("user", "secret")) as proxy:
        proxy_settings.user(DIRECT | NAMED, proxy.address)
        code, report = bench(tmp_path / "root", server.url())
        assert proxy.requests(), "the proxy was never asked"
    assert (code, report) == (12, ["12", FAILED, CREDENTIALS])
    assert server.requests() == []


def test_manifest_and_signature_are_asked_for_anew_content_is_not(tmp_path, releases):
    releases.publish(RELEASE)
    with servers.FaultServer() as fault:
        folder = releases.root / "release"
        for name in ("manifest.json", "manifest.sig"):
            fault.route(f"/updates/release/{name}", servers.body((folder / name).read_bytes()))
        for data in RELEASE.values():
            fault.route(f"/updates/release/files/{publish.sha256_hex(data)}", servers.body(data))
        code, report = bench(tmp_path / "root", fault.url + "/updates")
        assert (code, report[:1]) == (10, ["10"]), report
        seen = fault.request_headers()
    documents = [h for p, h in seen if p.endswith(("/manifest.json", "/manifest.sig"))]
    contents = [h for p, h in seen if "/files/" in p]
    assert len(documents) == 2 and len(contents) == len(RELEASE)
    for headers in documents:
        assert (headers.get("cache-control"), headers.get("pragma")) == ("no-cache", "no-cache")
    for headers in contents:
        assert "cache-control" not in headers and "pragma" not in headers


@pytest.fixture
def https_store(tmp_path, releases, server, localhost_certificate):
    """The releases over https (localhost, trusted by the prefix) from a store that sends
    what is under redirect on to the nginx server over plain http."""
    (tmp_path / "tls").mkdir()
    (tmp_path / "tls" / "updates").symlink_to(releases.root)
    cert, key = localhost_certificate

    def start(redirect):
        return servers.TlsFiles(tmp_path / "tls", cert, key, f"/updates/release/{redirect}",
                                f"{server.url()}/release/{redirect}").start()

    started = []
    yield lambda redirect: started.append(start(redirect)) or started[-1]
    for store in started:
        store.stop()


def test_an_https_store_may_send_content_on_to_http(tmp_path, releases, server, https_store,
                                                    monkeypatch):
    releases.publish(RELEASE)
    store = https_store("files/")
    code, report = bench(tmp_path / "root", store.url + "/updates")
    assert (code, report[:1]) == (10, ["10"]), report
    fetched = {r.path.rsplit("/", 1)[1] for r in server.requests() if "/files/" in r.path}
    assert fetched == {publish.sha256_hex(data) for data in RELEASE.values()}
    monkeypatch.setenv("SSL_CERT_FILE", str(BUILD_DIR / "test-ca" / "ca.pem"))
    assert publish.verify(store.url + "/updates")[1] == []

    # The manifest keeps WinHTTP's own policy: never from https to http.
    sent_on = https_store("manifest.json")
    code, report = bench(tmp_path / "second", sent_on.url + "/updates")
    assert (code, report[1:]) == (12, [FAILED, "Plateforme injoignable : vérifie ta connexion "
                                                "puis relance."])
    assert "clients refuse" in publish.verify(sent_on.url + "/updates")[1][0]


def test_an_expired_certificate_is_told(tmp_path, releases, localhost_certificate):
    releases.publish(RELEASE)
    authority = servers.shared_authority(BUILD_DIR / "test-ca")
    cert, key = authority.issue(tmp_path / "expired", "localhost", valid_days=(-30, -1))
    (tmp_path / "tls").mkdir()
    (tmp_path / "tls" / "updates").symlink_to(releases.root)
    with servers.TlsFiles(tmp_path / "tls", cert, key) as store:
        code, report = bench(tmp_path / "root", store.url + "/updates")
    assert (code, report) == (12, ["12", FAILED, CERTIFICATE])


@pytest.mark.parametrize("busy", ["manifest", "content"])
def test_a_busy_server_is_told(busy, tmp_path, releases):
    releases.publish(RELEASE)
    folder = releases.root / "release"
    with servers.FaultServer() as fault:
        for name in ("manifest.json", "manifest.sig"):
            answer = servers.status(503) if busy == "manifest" else \
                servers.body((folder / name).read_bytes())
            fault.route(f"/updates/release/{name}", answer)
        for data in RELEASE.values():
            fault.route(f"/updates/release/files/{publish.sha256_hex(data)}", servers.status(429))
        code, report = bench(tmp_path / "root", fault.url + "/updates")
    assert (code, report) == (12, ["12", FAILED, BUSY])
