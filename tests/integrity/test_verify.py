"""tools/publish.py verify, against a folder and over http, and the production nginx
configuration of tools/nginx: what each finds wrong with a published tree, and the
headers and ranges nginx serves the tree with."""

import functools
import http.client
import http.server
import os
import pathlib
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "servers"))

import publish  # noqa: E402
import servers  # noqa: E402

DATE, EXPIRES, NOW = "2025-06-01T12:00:00Z", "2099-01-01T00:00:00Z", "2026-01-01T00:00:00Z"
# The smallest image the client takes as a 64-bit Windows program.
PE = (b"MZ" + bytes(0x3A) + (0x40).to_bytes(4, "little") + b"PE\0\0" +
      (0x8664).to_bytes(2, "little") + bytes(16) + (0x0022).to_bytes(2, "little") + bytes(40))
# lib/big.pak is large enough for a block map.
FILES = {"ZelkLauncher.exe": PE, "lib/data.bin": bytes(range(256)) * 300, "empty": b"",
         "lib/big.pak": random.Random(8).randbytes(1536 * 1024)}


def publish_tree(tmp_path, channel="release", key="primary", bootstrapper=PE):
    source = tmp_path / "source"
    for path, data in FILES.items():
        (source / path).parent.mkdir(parents=True, exist_ok=True)
        (source / path).write_bytes(data)
    exe = tmp_path / "Zelk.exe"
    exe.write_bytes(bootstrapper)
    publish.publish(source, tmp_path / "out", channel, key, exe, DATE, EXPIRES)
    return tmp_path / "out"


def store(out, data, channel="release"):
    return out / channel / "files" / publish.sha256_hex(data)


def resign(out, manifest, channel="release", key="primary"):
    publish.write_release(out, channel, manifest, key)


def problems(out, **arguments):
    return publish.verify(out, **({"now": NOW} | arguments))[1]


def test_a_sound_tree_passes_with_a_summary(tmp_path):
    out = publish_tree(tmp_path)
    report, found = publish.verify(out, now=NOW)
    assert found == []
    blocks = len(publish.cut_blocks(FILES["lib/big.pak"]))
    assert report[1:] == [
        "signature: valid under one of primary, secondary", "channel: release",
        f"dated {DATE}, expires {EXPIRES}", "paths: 4 usable",
        f"content: 4 files, {sum(map(len, FILES.values()))} bytes, each present and whole",
        f"block maps: 1 files, {blocks} blocks, each block as its map says",
        f"bootstrapper: {len(PE)} bytes, a 64-bit Windows executable"]


def manifest_of(out, channel="release"):
    import json
    return json.loads((out / channel / "manifest.json").read_bytes())


def test_each_kind_of_fault_is_named(tmp_path):
    out = publish_tree(tmp_path)
    data = FILES["lib/data.bin"]

    store(out, data).write_bytes(data[:-1] + b"!")
    assert problems(out) == [
        f"lib/data.bin: files/{publish.sha256_hex(data)} holds content whose digest is "
        f"{publish.sha256_hex(data[:-1] + b'!')}"]
    store(out, data).write_bytes(data + b"!")
    assert len(problems(out)) == 2  # both its size and its digest
    store(out, data).unlink()
    assert problems(out) == [f"lib/data.bin: files/{publish.sha256_hex(data)} is missing"]
    store(out, data).write_bytes(data)
    assert problems(out) == []

    # Only the secondary key accepted: the primary's signature is refused.
    assert problems(out, keys=["secondary"]) == [
        "the signature is not valid under secondary"]
    assert problems(out, keys=[publish.public_key_hex("primary")]) == []
    assert problems(out, now="2099-01-01T00:00:01Z") == [
        f"expired at {EXPIRES} (now 2099-01-01T00:00:01Z)"]

    manifest = manifest_of(out)
    manifest["files"].append({"path": "lib/NUL.txt", "sha256": "0" * 64, "size": 1})
    manifest["files"].append({"path": "LIB/Data.bin", "sha256": "0" * 64, "size": 1})
    resign(out, manifest)
    assert problems(out) == ["lib/NUL.txt: NUL.txt is a reserved device name on Windows",
                             "LIB/Data.bin: the same file as lib/data.bin on Windows"]

    manifest = manifest_of(out)
    manifest["files"] = manifest["files"][:4]
    manifest["bootstrapper"] = {"sha256": publish.sha256_hex(b"MZ but no program"), "size": 17}
    publish.store_content(out / "release", b"MZ but no program")
    resign(out, manifest)
    assert problems(out) == ["bootstrapper: not a 64-bit Windows executable (clients keep theirs)"]


def test_each_block_map_fault_is_named(tmp_path):
    out = publish_tree(tmp_path)
    data = FILES["lib/big.pak"]
    manifest = manifest_of(out)
    entry = next(e for e in manifest["files"] if e["path"] == "lib/big.pak")
    map_file = out / "release" / "files" / entry["blocks"]
    good = map_file.read_bytes()
    what = f"lib/big.pak: block map files/{entry['blocks']}"

    map_file.unlink()
    assert problems(out) == [
        f"{what} is missing (or larger than the map of a {len(data)}-byte file can be)"]
    map_file.write_bytes(good[:-1] + b"!")
    assert problems(out) == [
        f"{what} holds content whose digest is {publish.sha256_hex(good[:-1] + b'!')}"]
    map_file.write_bytes(good)
    assert problems(out) == []
    # The content's own problems come first: its map is judged once the content is sound.
    store(out, data).write_bytes(data[:-1] + b"!")
    assert problems(out) == [f"lib/big.pak: files/{publish.sha256_hex(data)} holds content "
                             f"whose digest is {publish.sha256_hex(data[:-1] + b'!')}"]
    store(out, data).write_bytes(data)

    def crafted(offset, change):
        """The good map with bytes changed, stored and named in a re-signed manifest."""
        bad = bytearray(good)
        bad[offset:offset + len(change)] = change
        entry["blocks"] = publish.store_content(out / "release", bytes(bad))
        resign(out, manifest)
        return f"lib/big.pak: block map files/{entry['blocks']}"

    sizes, digests = publish.read_block_map(good, len(data))
    last = 9 + 36 * (len(sizes) - 1)
    what = crafted(last, (sizes[-1] - 1).to_bytes(4, "little"))
    assert problems(out) == [
        f"{what}: its blocks add up to {len(data) - 1} bytes, not the file's {len(data)}"]
    what = crafted(4, b"\x02")
    assert problems(out) == [f"{what}: not a version 1 block map"]
    crafted(9 + 36 * 2 + 4, bytes([good[9 + 36 * 2 + 4] ^ 1]))
    start = sizes[0] + sizes[1]
    actual = publish.sha256_hex(data[start:start + sizes[2]])
    assert problems(out) == [
        f"lib/big.pak: block 2 (bytes {start} to {start + sizes[2] - 1}) has digest {actual}, "
        f"its map says {bytes([int(digests[2][:2], 16) ^ 1]).hex()}{digests[2][2:]}"]
    entry["blocks"] = entry["blocks"].upper()
    resign(out, manifest)
    assert problems(out) == [
        "lib/big.pak: \"blocks\" is not a lower-case SHA-256 (clients ignore it)"]


def test_a_manifest_of_another_channel_is_refused(tmp_path):
    out = publish_tree(tmp_path, channel="beta", key="secondary")
    assert problems(out, channel="beta") == []
    # Replayed under the release folder: genuine, signed, and not release's.
    shutil.copytree(out / "beta", out / "release")
    assert problems(out) == ["\"channel\" is 'beta', not 'release': clients of this channel "
                             "skip it, or accept it elsewhere"]
    manifest = manifest_of(out)
    del manifest["channel"]
    resign(out, manifest)
    assert problems(out)[0].startswith("\"channel\" is None")


def test_command_line_exit_codes(tmp_path):
    out = publish_tree(tmp_path)
    command = [sys.executable, str(ROOT / "tools" / "publish.py"), "verify", str(out)]
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines()[-1] == "ok"
    (out / "release" / "manifest.sig").write_text(publish.sign_bytes(b"other", "primary"))
    done = subprocess.run(command, capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stdout.splitlines()[-2:] == [
        "problem: the signature is not valid under primary, secondary", "1 problem(s)"]


@pytest.fixture
def http_tree(tmp_path):
    """The published tree over http on a free loopback port."""
    out = publish_tree(tmp_path)
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(out))
    handler.log_message = lambda *arguments: None
    server = http.server.ThreadingHTTPServer((servers.LOOPBACK, 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield out, f"http://{servers.LOOPBACK}:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


def test_verify_over_http(http_tree):
    out, url = http_tree
    assert problems(url) == []
    store(out, FILES["lib/data.bin"]).unlink()
    assert problems(url) == [
        f"lib/data.bin: files/{publish.sha256_hex(FILES['lib/data.bin'])} is missing"]
    assert problems(url, channel="latest") == [
        "manifest.json or manifest.sig is missing (or over the client's cap)"]


def test_verify_follows_redirects_as_clients_do(http_tree, tmp_path, monkeypatch):
    """Content may go from https to http (clients check it against its digest); the
    manifest and its signature may not (WinHTTP's policy for them)."""
    out, plain = http_tree
    authority = servers.make_authority()
    authority.save(tmp_path / "ca")
    cert, key = authority.issue(tmp_path / "ca", "localhost")
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "ca" / "ca.pem"))
    with servers.TlsFiles(out, cert, key, "/release/files/", f"{plain}/release/files/") as store:
        assert problems(store.url) == []
        assert sum("/release/files/" in path for path in store.paths) == len(FILES) + 2
    for name in ("manifest.json", "manifest.sig"):
        with servers.TlsFiles(out, cert, key, f"/release/{name}", f"{plain}/release/{name}") \
                as store:
            assert problems(store.url) == [
                f"{store.url}/release/{name} redirects from https to http "
                f"({plain}/release/{name}): clients refuse that for the manifest and its signature"]
    # From https to https is followed for everything.
    with servers.TlsFiles(out, cert, key) as target, \
            servers.TlsFiles(out, cert, key, "/elsewhere/", f"{target.url}/") as store:
        assert problems(f"{store.url}/elsewhere") == []
        assert "/release/manifest.json" in target.paths


# --- the production nginx configuration ----------------------------------------------


@pytest.fixture
def production_nginx(tmp_path):
    """nginx with tools/nginx/zelk-releases.conf in a loopback server over the tree."""
    if shutil.which("nginx") is None:
        pytest.skip("nginx is not installed")
    out = publish_tree(tmp_path)
    work = tmp_path / "nginx"
    (work / "tmp").mkdir(parents=True)
    port = servers.free_port()
    user = f"user root root;" if os.geteuid() == 0 else ""
    (work / "nginx.conf").write_text(f"""
{user}
daemon off;
worker_processes 1;
pid "{work}/nginx.pid";
error_log "{work}/error.log" warn;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path "{work}/tmp";
    proxy_temp_path "{work}/tmp";
    fastcgi_temp_path "{work}/tmp";
    uwsgi_temp_path "{work}/tmp";
    scgi_temp_path "{work}/tmp";
    types {{ application/json json; }}
    gzip on;
    gzip_types *;
    gzip_min_length 1;
    server {{
        listen {servers.LOOPBACK}:{port};
        root "{tmp_path}";
        include "{ROOT / 'tools' / 'nginx' / 'zelk-releases.conf'}";
    }}
}}
""")
    # The tree is served as /updates, as the built-in base URLs expect.
    (tmp_path / "updates").symlink_to(out)
    process = subprocess.Popen(["nginx", "-p", str(work), "-c", str(work / "nginx.conf")],
                               stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while True:
        try:
            http.client.HTTPConnection(servers.LOOPBACK, port, timeout=1).connect()
            break
        except OSError:
            assert process.poll() is None, process.stderr.read().decode()
            assert time.monotonic() < deadline, "nginx did not come up"
            time.sleep(0.05)
    yield port
    process.terminate()  # the master we started; it ends its own worker
    process.wait(timeout=10)


def get(port, path, headers=None):
    connection = http.client.HTTPConnection(servers.LOOPBACK, port, timeout=10)
    connection.request("GET", path, headers=headers or {})
    response = connection.getresponse()
    return response.status, dict(response.getheaders()), response.read()


def test_production_configuration_caches_content_never_manifests(production_nginx):
    port = production_nginx
    data = FILES["lib/data.bin"]
    gzip = {"Accept-Encoding": "gzip"}
    status, headers, body = get(port, f"/updates/release/files/{publish.sha256_hex(data)}", gzip)
    assert (status, body) == (200, data)
    assert headers["Cache-Control"] == "public, max-age=31536000, immutable"
    assert "Content-Encoding" not in headers  # never compressed, even when asked

    status, headers, body = get(port, f"/updates/release/files/{publish.sha256_hex(data)}",
                                {**gzip, "Range": "bytes=1000-1999"})
    assert (status, body) == (206, data[1000:2000])
    assert headers["Content-Range"] == f"bytes 1000-1999/{len(data)}"

    for name in ("manifest.json", "manifest.sig"):
        status, headers, body = get(port, f"/updates/release/{name}", gzip)
        assert status == 200 and "Content-Encoding" not in headers
        assert "no-store" in headers["Cache-Control"]
        assert "ETag" not in headers
    assert get(port, "/updates/release/files/")[0] == 404
    assert get(port, "/updates/release/source/empty")[0] == 404
