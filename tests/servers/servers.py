#!/usr/bin/python3
"""Loopback servers for Zelk's tests and benchmarks.

- `Authority`: a test certificate authority (python3-cryptography) that issues server
  certificates for "localhost" and 127.0.0.1; `shared_authority` keeps one per build
  tree so that the Wine prefix trusts a single, stable root.
- `Nginx`: Debian's nginx started with its own configuration and prefix in a work
  folder, serving a static folder under a URL prefix over http and https listeners.
- `FaultServer`: a threaded HTTP/1.1 server that answers per path with scripted
  faults (status codes, exact sizes, cut bodies, chunked bodies, stalls) and records
  the requests it saw, in order.
- `install_root_certificate`: trusts a DER certificate in a build's Wine prefix
  through the add_root_cert.exe tool.
- `Tinyproxy`: Debian's tinyproxy on a free loopback port with its own configuration,
  log and pid file (optionally asking for Basic credentials), counting the requests it
  carried.
- `TlsFiles`: a small https server over a folder that can send some paths on to
  another server with a redirect (a store that hands its files to a plain-http CDN).

Everything listens on loopback only. Each server works as a context manager (for
pytest fixtures) or detached (for ctest fixtures, through the command line below):

    servers.py nginx-start --state DIR --root FOLDER [--prefix /updates/]
                           [--http PORT] [--https PORT] [--ca-dir DIR]
    servers.py fault-start --state DIR [--port PORT]
    servers.py stop --state DIR
    servers.py install-ca --wine-run BUILD/wine-run --tool add_root_cert.exe --der CA.der

A port of 0 (the default) picks a free one; the chosen URLs are in DIR/state.json.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import fcntl
import grp
import ipaddress
import json
import os
import pwd
import re
import signal
import socket
import socketserver
import string
import subprocess
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
LOOPBACK = "127.0.0.1"
NGINX = "/usr/sbin/nginx"


# ---------------------------------------------------------------------------
# Test content


def pattern_bytes(size: int, seed: int = 1) -> bytes:
    """Byte i is (i * 31 + seed) % 251; the C++ tests build the same bytes."""
    period = bytes((i * 31 + seed) % 251 for i in range(251))
    return (period * (size // 251 + 1))[:size]


# ---------------------------------------------------------------------------
# Ports


def has_ipv6_loopback() -> bool:
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port(ipv6: bool = False) -> int:
    """A port that is free on 127.0.0.1 (and on ::1 when asked) right now."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind((LOOPBACK, 0))
            port = s.getsockname()[1]
        if not ipv6:
            return port
        try:
            with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
                s.bind(("::1", port))
            return port
        except OSError:
            continue
    raise RuntimeError("no free loopback port")


def wait_for_port(port: int, host: str = LOOPBACK, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            if time.monotonic() > deadline:
                raise RuntimeError(f"nothing listens on {host}:{port}")
            time.sleep(0.05)


# ---------------------------------------------------------------------------
# Certificates


@dataclass
class Authority:
    """A certificate authority for tests: RSA key and self-signed certificate."""

    key: object
    cert: object

    def pem(self) -> bytes:
        from cryptography.hazmat.primitives import serialization

        return self.cert.public_bytes(serialization.Encoding.PEM)

    def der(self) -> bytes:
        from cryptography.hazmat.primitives import serialization

        return self.cert.public_bytes(serialization.Encoding.DER)

    def issue(self, folder: Path, stem: str = "server",
              hosts: tuple[str, ...] = ("localhost", LOOPBACK),
              valid_days: tuple[int, int] = (-1, 30)) -> tuple[Path, Path]:
        """Writes stem.pem (leaf then this CA) and stem.key; returns their paths. The
        certificate is valid from valid_days[0] to valid_days[1] days from now (both
        negative: expired)."""
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import rsa
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        names = []
        for host in hosts:
            try:
                names.append(x509.IPAddress(ipaddress.ip_address(host)))
            except ValueError:
                names.append(x509.DNSName(host))
        now = datetime.datetime.now(datetime.timezone.utc)
        cert = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, hosts[0])]))
            .issuer_name(self.cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now + datetime.timedelta(days=valid_days[0]))
            .not_valid_after(now + datetime.timedelta(days=valid_days[1]))
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                self.cert.public_key()), critical=False)
            .sign(self.key, hashes.SHA256())
        )
        folder.mkdir(parents=True, exist_ok=True)
        cert_path = folder / f"{stem}.pem"
        key_path = folder / f"{stem}.key"
        cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM) + self.pem())
        key_path.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                               serialization.PrivateFormat.PKCS8,
                                               serialization.NoEncryption()))
        return cert_path, key_path

    def save(self, folder: Path) -> None:
        from cryptography.hazmat.primitives import serialization

        folder.mkdir(parents=True, exist_ok=True)
        (folder / "ca.key").write_bytes(self.key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        (folder / "ca.pem").write_bytes(self.pem())
        (folder / "ca.der").write_bytes(self.der())


def make_authority(name: str = "Zelk Test CA") -> Authority:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import NameOID

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                     key_encipherment=False, data_encipherment=False,
                                     key_agreement=False, key_cert_sign=True, crl_sign=True,
                                     encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
        .sign(key, hashes.SHA256())
    )
    return Authority(key, cert)


def load_authority(folder: Path) -> Authority:
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization

    key = serialization.load_pem_private_key((folder / "ca.key").read_bytes(), password=None)
    cert = x509.load_pem_x509_certificate((folder / "ca.pem").read_bytes())
    return Authority(key, cert)


def shared_authority(folder: Path) -> Authority:
    """The build tree's one trusted test CA, made on first use.

    A fresh root per run would pile up same-named roots in the Wine prefix."""
    folder.mkdir(parents=True, exist_ok=True)
    with open(folder / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (folder / "ca.der").exists():
            make_authority().save(folder)
        return load_authority(folder)


def install_root_certificate(wine_run: Path, tool: Path, der: Path) -> None:
    """Adds a DER certificate to the "Root" store of the prefix behind wine_run."""
    windows_der = "Z:" + str(Path(der).resolve()).replace("/", "\\")
    result = subprocess.run([str(Path(wine_run).resolve()), str(Path(tool).resolve()),
                             windows_der],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=120)
    if result.returncode != 0:
        raise RuntimeError(f"add_root_cert failed ({result.returncode}): "
                           f"{result.stdout}{result.stderr}")


# ---------------------------------------------------------------------------
# nginx


@dataclass
class Listener:
    """One nginx server block: https when cert and key are given."""

    port: int = 0  # 0: a free port, chosen at start
    cert: Path | None = None
    key: Path | None = None
    host_name: str = LOOPBACK  # the host used in URLs

    @property
    def scheme(self) -> str:
        return "https" if self.cert else "http"


@dataclass
class NginxRequest:
    port: int
    method: str
    path: str
    status: int
    size: int
    connection: int = 0  # nginx's serial number of the TCP connection it came on
    end: float = 0.0  # when the response was done (seconds since the epoch)
    duration: float = 0.0  # from the request's first byte to the response's last

    @property
    def start(self) -> float:
        return self.end - self.duration


class Nginx:
    """nginx serving `root` under `url_prefix` on the given listeners.

    Runs as the current user with everything (configuration, pid, logs, temporary
    folders) under `workdir`. detach=True leaves it running as a daemon that
    `stop_pid_file` (or another process) can end; otherwise it is a child."""

    def __init__(self, workdir: Path, root: Path, listeners: list[Listener],
                 url_prefix: str = "/", detach: bool = False, rate: str | None = None,
                 production: bool = False):
        if not url_prefix.startswith("/") or not url_prefix.endswith("/"):
            raise ValueError("url_prefix must start and end with '/'")
        # The production locations serve the folder named "updates" below their root.
        if production and (url_prefix != "/updates/" or Path(root).name != "updates"):
            raise ValueError("the production configuration serves a folder updates as /updates/")
        self.production = production
        self.workdir = Path(workdir).resolve()
        self.root = Path(root).resolve()
        self.listeners = listeners
        self.url_prefix = url_prefix
        self.detach = detach
        self.rate = rate  # nginx limit_rate per response, e.g. "8m": slow enough to watch
        self.ipv6 = has_ipv6_loopback()
        self.process: subprocess.Popen | None = None

    @property
    def access_log(self) -> Path:
        return self.workdir / "access.log"

    @property
    def error_log(self) -> Path:
        return self.workdir / "error.log"

    @property
    def pid_file(self) -> Path:
        return self.workdir / "nginx.pid"

    def url(self, index: int = 0) -> str:
        """Base URL of a listener, without a trailing slash."""
        listener = self.listeners[index]
        return (f"{listener.scheme}://{listener.host_name}:{listener.port}"
                f"{self.url_prefix.rstrip('/')}")

    def requests(self) -> list[NginxRequest]:
        """The access log so far, in order."""
        if not self.access_log.exists():
            return []
        line_re = re.compile(r'^(\d+) "(\S+) (\S+)[^"]*" (\d+) (\d+) (\d+) ([\d.]+) ([\d.]+)$')
        found = []
        for line in self.access_log.read_text().splitlines():
            m = line_re.match(line)
            if m:
                found.append(NginxRequest(int(m[1]), m[2], m[3], int(m[4]), int(m[5]),
                                          int(m[6]), float(m[7]), float(m[8])))
        return found

    def _server_block(self, listener: Listener) -> str:
        ssl = " ssl" if listener.cert else ""
        lines = [f"    server {{", f"        listen {LOOPBACK}:{listener.port}{ssl};"]
        if self.ipv6:
            lines.append(f"        listen [::1]:{listener.port}{ssl};")
        lines.append("        server_name localhost;")
        if listener.cert:
            lines.append(f'        ssl_certificate "{listener.cert}";')
            lines.append(f'        ssl_certificate_key "{listener.key}";')
        if self.rate:
            lines.append(f"        limit_rate {self.rate};")
        if self.production:
            lines.append(f'        root "{self.root.parent}";')
            lines.append(f'        include "{HERE.parent.parent / "tools" / "nginx" / "zelk-releases.conf"}";')
        elif self.url_prefix == "/":
            lines.append(f'        location / {{ root "{self.root}"; }}')
        else:
            lines.append(f'        location {self.url_prefix} {{ alias "{self.root}/"; }}')
        lines.append("    }")
        return "\n".join(lines)

    def _write_config(self) -> Path:
        for sub in ("tmp/body", "tmp/proxy", "tmp/fastcgi", "tmp/uwsgi", "tmp/scgi"):
            (self.workdir / sub).mkdir(parents=True, exist_ok=True)
        template = string.Template((HERE / "nginx.conf.in").read_text())
        config = template.substitute(
            user=pwd.getpwuid(os.geteuid()).pw_name,
            group=grp.getgrgid(os.getegid()).gr_name,
            daemon="on" if self.detach else "off",
            work=str(self.workdir),
            servers="\n".join(self._server_block(l) for l in self.listeners),
        )
        path = self.workdir / "nginx.conf"
        path.write_text(config)
        return path

    def start(self) -> "Nginx":
        self.workdir.mkdir(parents=True, exist_ok=True)
        requested = [l.port for l in self.listeners]
        # A free port can be taken between the choice and nginx's bind: try again.
        for _ in range(5):
            for listener, port in zip(self.listeners, requested):
                listener.port = port or free_port(self.ipv6)
            config = self._write_config()
            command = [NGINX, "-p", str(self.workdir), "-e", str(self.error_log),
                       "-c", str(config)]
            with open(self.workdir / "nginx.out", "ab") as out:
                if self.detach:
                    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=out, timeout=30)
                    started = result.returncode == 0
                else:
                    self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                                    stdout=out, stderr=out)
                    started = True
            if started and self._wait_ready():
                return self
            self.stop()
            if all(requested):
                break
        raise RuntimeError(f"nginx did not start: {self._log_tail()}")

    def _wait_ready(self) -> bool:
        deadline = time.monotonic() + 10
        pending = [l.port for l in self.listeners]
        while pending:
            if self.process is not None and self.process.poll() is not None:
                return False
            try:
                with socket.create_connection((LOOPBACK, pending[0]), timeout=1):
                    pending.pop(0)
            except OSError:
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.05)
        return True

    def _log_tail(self) -> str:
        texts = []
        for path in (self.error_log, self.workdir / "nginx.out"):
            if path.exists():
                texts.append(path.read_text(errors="replace")[-2000:])
        return "\n".join(texts)

    def stop(self) -> None:
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None
        else:
            stop_pid_file(self.pid_file)

    def __enter__(self) -> "Nginx":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def _alive(pid: int) -> bool:
    """False once the process has exited, even while it waits to be reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return False


def stop_pid_file(pid_file: Path, timeout: float = 10.0) -> None:
    """Ends the detached server named by a pid file and waits for it. Only a
    process whose command line names the pid file's folder is ours: a stale pid
    may have been given to someone else since."""
    pid_file = Path(pid_file).resolve()
    try:
        pid = int(pid_file.read_text().split()[0])
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            ours = str(pid_file.parent).encode() in cmdline.read()
    except (OSError, ValueError, IndexError):
        return
    if not ours:
        return
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not _alive(pid):
            return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


# ---------------------------------------------------------------------------
# Proxy


class Tinyproxy:
    """tinyproxy on a free loopback port, in the foreground as a child of this process,
    with everything it writes under workdir. Only this process's own child is ever
    ended."""

    def __init__(self, workdir: Path, credentials: tuple[str, str] | None = None):
        self.workdir = Path(workdir).resolve()
        self.credentials = credentials
        self.port = 0
        self.process: subprocess.Popen | None = None

    @property
    def log(self) -> Path:
        return self.workdir / "tinyproxy.log"

    # Another loopback address than the servers': Wine sends a request to a proxy in
    # the form for a server (path only) when both have the same host name.
    HOST = "127.0.0.2"

    @property
    def address(self) -> str:
        return f"{self.HOST}:{self.port}"

    def requests(self) -> list[str]:
        """"METHOD URL" of every request it received, in order (a CONNECT names the
        host and port it tunnels to)."""
        if not self.log.exists():
            return []
        found = re.findall(r"Request \(file descriptor \d+\): (\S+ \S+)",
                           self.log.read_text(errors="replace"))
        return found

    def start(self) -> "Tinyproxy":
        self.workdir.mkdir(parents=True, exist_ok=True)
        for _ in range(5):
            self.port = free_port()
            lines = [f"Port {self.port}", f"Listen {self.HOST}", "Timeout 60",
                     f'LogFile "{self.log}"', "LogLevel Connect",
                     f'PidFile "{self.workdir / "tinyproxy.pid"}"', "MaxClients 50",
                     "Allow 127.0.0.0/8", "DisableViaHeader Yes"]
            if os.geteuid() == 0:
                lines += [f"User {pwd.getpwuid(0).pw_name}", f"Group {grp.getgrgid(0).gr_name}"]
            if self.credentials:
                lines.append(f"BasicAuth {self.credentials[0]} {self.credentials[1]}")
            config = self.workdir / "tinyproxy.conf"
            config.write_text("\n".join(lines) + "\n")
            with open(self.workdir / "tinyproxy.out", "ab") as out:
                self.process = subprocess.Popen(["tinyproxy", "-d", "-c", str(config)],
                                                stdin=subprocess.DEVNULL, stdout=out, stderr=out)
            try:
                wait_for_port(self.port, host=self.HOST, timeout=5)
                return self
            except RuntimeError:
                self.stop()
        raise RuntimeError("tinyproxy did not start")

    def stop(self) -> None:
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process = None

    def __enter__(self) -> "Tinyproxy":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


# ---------------------------------------------------------------------------
# A small https server


class TlsFiles:
    """https on a free loopback port over `root`, as a store serves /updates: paths
    under redirect_prefix get a 302 to redirect_base + the rest of the path."""

    def __init__(self, root: Path, cert: Path, key: Path, redirect_prefix: str | None = None,
                 redirect_base: str | None = None, host_name: str = "localhost"):
        self.root = Path(root)
        self.cert, self.key = cert, key
        self.redirect_prefix, self.redirect_base = redirect_prefix, redirect_base
        self.host_name = host_name
        self.paths: list[str] = []
        self._server = None
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        return f"https://{self.host_name}:{self._server.server_address[1]}"

    def start(self) -> "TlsFiles":
        import http.server
        import ssl

        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *arguments) -> None:
                pass

            def do_GET(self) -> None:
                owner.paths.append(self.path)
                prefix = owner.redirect_prefix
                if prefix and self.path.startswith(prefix):
                    self.send_response(302)
                    self.send_header("Location", owner.redirect_base + self.path[len(prefix):])
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                file = owner.root / urllib.parse.unquote(self.path.split("?")[0]).lstrip("/")
                if ".." in self.path or not file.is_file():
                    self.send_response(404)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                data = file.read_bytes()
                self.send_response(200)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, self.key)
        self._server = http.server.ThreadingHTTPServer((LOOPBACK, 0), Handler)
        self._server.daemon_threads = True
        self._server.socket = context.wrap_socket(self._server.socket, server_side=True)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._thread is not None:
            self._thread.join(timeout=10)
            self._thread = None

    def __enter__(self) -> "TlsFiles":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


# ---------------------------------------------------------------------------
# Fault server


@dataclass
class Route:
    """A scripted answer. kind: "status", "body", "cut", "reset", "chunked",
    "chunked-cut", "stall", "trickle", "header-drip" or "silent"."""

    kind: str
    status: int = 200
    body: bytes = b""
    sent: int = 0  # cut, reset, chunked-cut, stall: body bytes sent before the fault;
    #                header-drip: header bytes dripped
    chunk: int = 4096  # chunked, trickle: bytes per chunk or piece
    seconds: float = 0.0  # stall: pause before the rest of the body; trickle: between
    #                       pieces; header-drip: before each header byte
    ranges: bool = False  # honour "Range: bytes=N-" (and "bytes=N-M") with a 206 of those bytes
    range_shift: int = 0  # ranges: the 206 carries the bytes and Content-Range this far on
    range_flip: bool = False  # ranges: one bit of each 206's body is flipped
    refuses_ranges: bool = False  # answer "Range: bytes=N-" with a 416, whatever N
    content_range: str | None = None  # a 206 with this Content-Range, whatever was asked
    length_width: int = 0  # Content-Length written with leading zeros to this many digits


def status(code: int) -> Route:
    return Route("status", status=code)


def body(data: bytes) -> Route:
    return Route("body", body=data)


def cut(data: bytes, sent: int) -> Route:
    """Announces len(data) bytes, sends `sent` of them, then closes normally."""
    return Route("cut", body=data, sent=sent)


def reset(data: bytes, sent: int) -> Route:
    """As cut, but the connection is reset rather than closed."""
    return Route("reset", body=data, sent=sent)


def chunked(data: bytes, chunk: int = 4096) -> Route:
    return Route("chunked", body=data, chunk=chunk)


def chunked_cut(data: bytes, sent: int, chunk: int = 4096) -> Route:
    """Chunked, closed after `sent` bytes without the final empty chunk."""
    return Route("chunked-cut", body=data, sent=sent, chunk=chunk)


def stall(data: bytes, sent: int, seconds: float) -> Route:
    """Sends `sent` bytes, goes silent for `seconds`, then sends the rest."""
    return Route("stall", body=data, sent=sent, seconds=seconds)


def trickle(data: bytes, piece: int, seconds: float) -> Route:
    """The whole body in pieces with a pause after each: a transfer whose length is
    set by the server, not by the loopback's socket buffers."""
    return Route("trickle", body=data, chunk=piece, seconds=seconds)


def header_drip(data: bytes, count: int, seconds: float) -> Route:
    """The status line, then `count` bytes of a header line one at a time, `seconds`
    before each; then the rest of the headers and the whole body, as `body` would."""
    return Route("header-drip", body=data, sent=count, seconds=seconds)


def silent(seconds: float = 600.0) -> Route:
    """Accepts the request and says nothing at all (no status line, no headers) for
    `seconds`, then closes: a server that has hung."""
    return Route("silent", seconds=seconds)


def ranged(route: Route) -> Route:
    """The same answer, honouring a "Range: bytes=N-" request as nginx does: a 206 with
    the rest of the body from N on (the fault then applies to that rest)."""
    return dataclasses.replace(route, ranges=True)


def shifted_ranges(data: bytes, shift: int) -> Route:
    """The whole body to a request without a Range; to "bytes=N-M", a 206 of the bytes
    shift further on, with their own (true) Content-Range: not the range asked for."""
    return Route("body", body=data, ranges=True, range_shift=shift)


def flipped_ranges(data: bytes) -> Route:
    """The whole body to a request without a Range; a 206 of the range asked for, with
    one bit of it flipped."""
    return Route("body", body=data, ranges=True, range_flip=True)


def refusing_ranges(route: Route) -> Route:
    """The same answer to a request without a Range; a 416 to any "Range: bytes=N-"."""
    return dataclasses.replace(route, refuses_ranges=True)


def wrong_range(data: bytes, first: int) -> Route:
    """A 206 from `first` on, whatever range was asked for."""
    return Route("body", status=206, body=data[first:],
                 content_range=f"bytes {first}-{len(data) - 1}/{len(data)}")


def route_from_path(path: str) -> Route | None:
    """Answers encoded in the path itself; anything after the encoding is ignored,
    so a test may append a tag or a content path:

        /status/CODE               /bytes/SIZE/SEED
        /cut/SIZE/SEED/SENT        /reset/SIZE/SEED/SENT
        /chunked/SIZE/SEED/CHUNK   /chunked-cut/SIZE/SEED/SENT/CHUNK
        /stall/SIZE/SEED/SENT/SECONDS   /trickle/SIZE/SEED/PIECE/MILLISECONDS
        /silent/SECONDS                 /wrong-range/SIZE/SEED/FIRST
        /header-drip/SIZE/SEED/COUNT/MILLISECONDS
        /ranged/<any of the above>      /padded/WIDTH/<any of the above>
        /refusing-ranges/<any of the above>
    """
    parts = path.split("?")[0].strip("/").split("/")
    if parts[0] in ("ranged", "refusing-ranges"):
        inner = route_from_path("/" + "/".join(parts[1:]))
        if inner is None:
            return None
        return ranged(inner) if parts[0] == "ranged" else refusing_ranges(inner)
    if parts[0] == "padded" and len(parts) > 2 and parts[1].isdigit():
        inner = route_from_path("/" + "/".join(parts[2:]))
        return dataclasses.replace(inner, length_width=int(parts[1])) if inner else None
    try:
        kind, args = parts[0], parts[1:]
        if kind == "status":
            return status(int(args[0]))
        if kind == "silent":
            return silent(float(args[0]))
        numbers = []
        for a in args[:4]:
            if not a.isdigit():
                break
            numbers.append(int(a))
        data = pattern_bytes(numbers[0], numbers[1])
        if kind == "bytes":
            return body(data)
        if kind == "cut":
            return cut(data, numbers[2])
        if kind == "reset":
            return reset(data, numbers[2])
        if kind == "chunked":
            return chunked(data, numbers[2])
        if kind == "chunked-cut":
            return chunked_cut(data, numbers[2], numbers[3])
        if kind == "stall":
            return stall(data, numbers[2], numbers[3])
        if kind == "trickle":
            return trickle(data, numbers[2], numbers[3] / 1000)
        if kind == "wrong-range":
            return wrong_range(data, numbers[2])
        if kind == "header-drip":
            return header_drip(data, numbers[2], numbers[3] / 1000)
    except (IndexError, ValueError):
        return None
    return None


REASONS = {200: "OK", 206: "Partial Content", 304: "Not Modified", 400: "Bad Request",
           404: "Not Found", 416: "Range Not Satisfiable", 500: "Internal Server Error"}


def asked_range(head: bytes) -> tuple[int, int | None] | None:
    """(N, M) of a "Range: bytes=N-M" request header, M None for "bytes=N-"."""
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"range":
            match = re.fullmatch(rb"\s*bytes=(\d+)-(\d*)\s*", value)
            if not match:
                return None
            return int(match[1]), int(match[2]) if match[2] else None
    return None


def asked_offset(head: bytes) -> int | None:
    """N of a "Range: bytes=N-" or "bytes=N-M" request header, if there is one."""
    asked = asked_range(head)
    return asked[0] if asked else None


class FaultServer:
    """Threaded loopback HTTP/1.1 server with scripted answers.

    Exact routes set with `route` win over the path encodings of `route_from_path`.
    GET /_log answers the paths seen so far, one a line (itself not recorded);
    GET /_route?for=PATH&answer=ENCODING sets the route of PATH to an encoding of
    `route_from_path`, for tests that cannot call `route` (the Windows programs).
    Every connection is closed after one response."""

    def __init__(self, port: int = 0, log_file: Path | None = None):
        self.port = port
        self.log_file = Path(log_file) if log_file else None
        self.routes: dict[str, Route] = {}
        self._seen: list[tuple[str, str]] = []
        self._headers: list[tuple[str, dict[str, str]]] = []
        self._ranged: list[tuple[str, int]] = []
        self._spans: list[tuple[str, int, int | None]] = []
        self._answering = 0
        self._in_answer: set[int] = set()
        self.most_at_once = 0  # the most requests answered at the same time so far
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._server: socketserver.ThreadingTCPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        return f"http://{LOOPBACK}:{self.port}"

    def route(self, path: str, answer: Route) -> None:
        with self._lock:
            self.routes[path] = answer

    def requests(self) -> list[tuple[str, str]]:
        """(method, path) of every request so far, in arrival order."""
        with self._lock:
            return list(self._seen)

    def request_headers(self) -> list[tuple[str, dict[str, str]]]:
        """(path, header fields by lower-case name) of every request so far, in order."""
        with self._lock:
            return list(self._headers)

    def ranged_requests(self) -> list[tuple[str, int]]:
        """(path, N) of every request so far that asked for "Range: bytes=N-"."""
        with self._lock:
            return list(self._ranged)

    def ranges_asked(self) -> list[tuple[str, int, int | None]]:
        """(path, N, M) of every request so far with "Range: bytes=N-M" (M None for
        "bytes=N-")."""
        with self._lock:
            return list(self._spans)

    def clear_requests(self) -> None:
        with self._lock:
            self._seen.clear()
            self._headers.clear()
            self._ranged.clear()
            self._spans.clear()

    def start(self) -> "FaultServer":
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self) -> None:
                owner._handle(self.request)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True
            request_queue_size = 64

        self._server = Server((LOOPBACK, self.port), Handler)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stopping.set()  # wakes stalled answers
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        if self._thread is not None:
            self._thread.join(timeout=10)
            self._thread = None

    def __enter__(self) -> "FaultServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- one connection

    def _handle(self, conn: socket.socket) -> None:
        conn.settimeout(60)
        head = b""
        try:
            while b"\r\n\r\n" not in head:
                piece = conn.recv(65536)
                if not piece:
                    return
                head += piece
                if len(head) > 65536:
                    return
        except OSError:
            return
        request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        fields = request_line.split()
        if len(fields) < 2:
            self._send(conn, b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                             b"Connection: close\r\n\r\n")
            return
        method, path = fields[0], fields[1]
        if path == "/_log":
            with self._lock:
                text = "".join(f"{p}\n" for _, p in self._seen).encode()
            self._answer(conn, body(text))
            return
        if path.startswith("/_route?"):
            query = urllib.parse.parse_qs(path.split("?", 1)[1])
            answer = route_from_path(query.get("answer", [""])[0])
            if answer is None or "for" not in query:
                self._answer(conn, status(400))
                return
            self.route(query["for"][0], answer)
            self._answer(conn, body(b"ok"))
            return
        asked = asked_range(head)
        offset = asked[0] if asked else None
        fields_by_name = {}
        for line in head.split(b"\r\n\r\n", 1)[0].split(b"\r\n")[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            fields_by_name[name.strip().lower()] = value.strip()
        with self._lock:
            self._seen.append((method, path))
            self._headers.append((path, fields_by_name))
            if asked is not None:
                self._ranged.append((path, offset))
                self._spans.append((path, asked[0], asked[1]))
            answer = self.routes.get(path)
        if self.log_file:
            with self._lock, open(self.log_file, "a") as log:
                log.write(f"{method} {path}\n")
        with self._lock:
            self._answering += 1
            self._in_answer.add(id(conn))
            self.most_at_once = max(self.most_at_once, self._answering)
        try:
            self._answer(conn, answer or route_from_path(path) or status(404), offset,
                         asked[1] if asked else None)
        finally:
            self._answered(conn)

    def _answered(self, conn: socket.socket) -> None:
        """The answer on conn is sent: it no longer counts as one being answered, even
        while the connection waits for the client to close it."""
        with self._lock:
            if id(conn) in self._in_answer:
                self._in_answer.discard(id(conn))
                self._answering -= 1

    def _send(self, conn: socket.socket, data: bytes) -> bool:
        try:
            conn.sendall(data)
            return True
        except OSError:
            return False

    def _answer(self, conn: socket.socket, r: Route, offset: int | None = None,
                last: int | None = None) -> None:
        if r.kind == "silent":
            self._stopping.wait(r.seconds)
            self._close(conn)
            return
        code = r.status
        data = r.body
        extra = ""
        if r.content_range:
            extra = f"Content-Range: {r.content_range}\r\n"
        elif r.refuses_ranges and offset:
            extra = f"Content-Range: bytes */{len(data)}\r\n"
            r, code, data = status(416), 416, b""
        elif r.ranges and (offset or last is not None):
            end = len(data) - 1 if last is None else min(last, len(data) - 1)
            first, end = offset + r.range_shift, end + r.range_shift
            if first >= len(data) or end >= len(data):
                extra = f"Content-Range: bytes */{len(data)}\r\n"
                r, code, data = status(416), 416, b""
            else:
                code = 206
                extra = f"Content-Range: bytes {first}-{end}/{len(data)}\r\n"
                part = bytearray(data[first:end + 1])
                if r.range_flip:
                    part[len(part) // 2] ^= 0x10
                r = dataclasses.replace(r, body=bytes(part), sent=max(0, r.sent - first))
                data = r.body
        reason = REASONS.get(code, "Status")
        head = (f"HTTP/1.1 {code} {reason}\r\nServer: zelk-fault\r\nConnection: close\r\n"
                + extra)
        if r.kind == "status":
            data = b"" if code in (204, 304) or code < 200 else f"{code} {reason}\n".encode()
        if r.kind in ("chunked", "chunked-cut"):
            head += "Transfer-Encoding: chunked\r\n\r\n"
            if not self._send(conn, head.encode()):
                return
            limit = r.sent if r.kind == "chunked-cut" else len(data)
            for start in range(0, limit, r.chunk):
                piece = data[start:min(start + r.chunk, limit)]
                if not self._send(conn, b"%x\r\n%s\r\n" % (len(piece), piece)):
                    return
            if r.kind == "chunked":
                self._send(conn, b"0\r\n\r\n")
            self._close(conn)
            return
        if not (r.kind == "status" and code == 304):
            head += f"Content-Length: {len(data):0{r.length_width}d}\r\n"
        if r.kind == "header-drip":
            status_line, _, rest = head.partition("\r\n")
            line = b"X-Drip: " + b"." * r.sent
            if not self._send(conn, status_line.encode() + b"\r\n"):
                return
            for at in range(r.sent):
                if self._stopping.wait(r.seconds) or not self._send(conn, line[at:at + 1]):
                    return
            head = line[r.sent:].decode() + "\r\n" + rest
        if not self._send(conn, head.encode() + b"\r\n"):
            return
        if r.kind in ("cut", "reset"):
            self._send(conn, data[:r.sent])
            self._close(conn, reset=r.kind == "reset")
            return
        if r.kind == "stall":
            if not self._send(conn, data[:r.sent]):
                return
            if self._stopping.wait(r.seconds):
                return
            data = data[r.sent:]
        if r.kind == "trickle":
            for start in range(0, len(data), r.chunk):
                if not self._send(conn, data[start:start + r.chunk]):
                    return
                if start + r.chunk >= len(data):
                    self._answered(conn)  # all sent: the pause after it is no answer
                if self._stopping.wait(r.seconds):
                    return
            data = b""
        self._send(conn, data)
        self._close(conn)

    def _close(self, conn: socket.socket, reset: bool = False) -> None:
        self._answered(conn)
        try:
            if reset:
                # Linger 0: closing now sends RST instead of FIN.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                conn.close()
            else:
                conn.shutdown(socket.SHUT_WR)
                # Let the client read to the end before the socket goes away.
                conn.settimeout(5)
                while conn.recv(65536):
                    pass
        except OSError:
            pass


# ---------------------------------------------------------------------------
# Detached servers for ctest fixtures


def _read_state(folder: Path) -> dict:
    try:
        return json.loads((folder / "state.json").read_text())
    except (OSError, ValueError):
        return {}


def record_detached(state_dir: Path, name: str, info: dict) -> None:
    """Notes a detached server (info holds at least its "pid_file") in
    state_dir/state.json, for `stop_detached` and for the tests that read it."""
    state_dir = Path(state_dir)
    state_dir.mkdir(parents=True, exist_ok=True)
    state = _read_state(state_dir)
    state[name] = info
    temporary = state_dir / "state.json.tmp"
    temporary.write_text(json.dumps(state, indent=2))
    temporary.replace(state_dir / "state.json")


def read_detached(state_dir: Path) -> dict:
    return _read_state(Path(state_dir))


def start_detached_nginx(state_dir: Path, root: Path, url_prefix: str = "/",
                         http_port: int | None = 0, https_port: int | None = None,
                         ca_dir: Path | None = None) -> dict:
    """Starts a daemon nginx; http_port/https_port None leaves that listener out.
    Returns (and records in state_dir/state.json) its URLs and files."""
    state_dir = Path(state_dir).resolve()
    listeners = []
    if http_port is not None:
        listeners.append(Listener(port=http_port))
    if https_port is not None:
        authority = shared_authority(Path(ca_dir) if ca_dir else state_dir / "ca")
        cert, key = authority.issue(state_dir / "nginx")
        listeners.append(Listener(port=https_port, cert=cert, key=key, host_name="localhost"))
    server = Nginx(state_dir / "nginx", root, listeners, url_prefix, detach=True).start()
    info = {
        "pid_file": str(server.pid_file),
        "access_log": str(server.access_log),
        "urls": {l.scheme: server.url(i) for i, l in enumerate(listeners)},
    }
    record_detached(state_dir, "nginx", info)
    return info


def start_detached_fault(state_dir: Path, port: int = 0, name: str = "fault") -> dict:
    """Starts `servers.py fault-serve` in its own session; returns its URL and log."""
    state_dir = Path(state_dir).resolve()
    state_dir.mkdir(parents=True, exist_ok=True)
    ready = state_dir / f"{name}.ready"
    ready.unlink(missing_ok=True)
    log = state_dir / f"{name}.log"
    # No pipe of the caller may stay open in the daemon: ctest waits for them.
    with open(state_dir / f"{name}.out", "ab") as out:
        process = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "fault-serve", "--port", str(port),
             "--log", str(log), "--ready", str(ready)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)
    deadline = time.monotonic() + 10
    while not ready.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("fault server did not start")
        time.sleep(0.05)
    actual_port = int(ready.read_text())
    pid_file = state_dir / f"{name}.pid"
    pid_file.write_text(str(process.pid))
    info = {"pid_file": str(pid_file), "log": str(log),
            "url": f"http://{LOOPBACK}:{actual_port}"}
    record_detached(state_dir, name, info)
    return info


def stop_detached(state_dir: Path) -> None:
    """Stops every server recorded in state_dir, newest first."""
    state = _read_state(Path(state_dir))
    for info in reversed(list(state.values())):
        if isinstance(info, dict) and "pid_file" in info:
            stop_pid_file(Path(info["pid_file"]))


def _serve_fault(port: int, log: Path, ready: Path) -> None:
    server = FaultServer(port, log_file=log).start()
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    ready_tmp = ready.with_suffix(".tmp")
    ready_tmp.write_text(str(server.port))
    ready_tmp.replace(ready)
    while not stop.wait(1):
        pass
    server.stop()


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Loopback test servers.")
    sub = parser.add_subparsers(dest="command", required=True)
    n = sub.add_parser("nginx-start")
    n.add_argument("--state", type=Path, required=True)
    n.add_argument("--root", type=Path, required=True)
    n.add_argument("--prefix", default="/")
    n.add_argument("--http", type=int, default=0)
    n.add_argument("--https", type=int, default=None)
    n.add_argument("--no-http", action="store_true")
    n.add_argument("--ca-dir", type=Path)
    f = sub.add_parser("fault-start")
    f.add_argument("--state", type=Path, required=True)
    f.add_argument("--port", type=int, default=0)
    s = sub.add_parser("stop")
    s.add_argument("--state", type=Path, required=True)
    i = sub.add_parser("install-ca")
    i.add_argument("--wine-run", type=Path, required=True)
    i.add_argument("--tool", type=Path, required=True)
    i.add_argument("--der", type=Path, required=True)
    fs = sub.add_parser("fault-serve")
    fs.add_argument("--port", type=int, default=0)
    fs.add_argument("--log", type=Path, required=True)
    fs.add_argument("--ready", type=Path, required=True)
    args = parser.parse_args(argv)

    if args.command == "nginx-start":
        info = start_detached_nginx(args.state, args.root, args.prefix,
                                    None if args.no_http else args.http, args.https,
                                    args.ca_dir)
        print(json.dumps(info))
    elif args.command == "fault-start":
        print(json.dumps(start_detached_fault(args.state, args.port)))
    elif args.command == "stop":
        stop_detached(args.state)
    elif args.command == "install-ca":
        install_root_certificate(args.wine_run, args.tool, args.der)
    elif args.command == "fault-serve":
        _serve_fault(args.port, args.log, args.ready)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
