"""The loopback test servers themselves, checked natively with Python clients."""

import http.client
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import servers  # noqa: E402

SCRIPT = Path(servers.__file__).resolve()


def raw_get(port: int, path: str, timeout: float = 10, headers: str = "") -> bytes:
    """Everything the server sends for one request, up to its close."""
    with socket.create_connection((servers.LOOPBACK, port), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n{headers}Connection: close\r\n\r\n"
                  .encode())
        received = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                return received
            received += piece


def split(response: bytes) -> tuple[str, dict, bytes]:
    head, _, body = response.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return lines[0], headers, body


def port_is_closed(port: int) -> bool:
    try:
        socket.create_connection((servers.LOOPBACK, port), timeout=1).close()
        return False
    except OSError:
        return True


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    return servers.shared_authority(tmp_path_factory.mktemp("ca"))


@pytest.fixture()
def site(tmp_path):
    root = tmp_path / "www"
    (root / "files").mkdir(parents=True)
    (root / "files" / "a.bin").write_bytes(servers.pattern_bytes(5000, 3))
    return root


def test_pattern_matches_its_definition():
    data = servers.pattern_bytes(600, 7)
    assert len(data) == 600
    assert all(data[i] == (i * 31 + 7) % 251 for i in range(600))


def test_nginx_serves_http_and_https_under_a_prefix(tmp_path, site, authority):
    cert, key = authority.issue(tmp_path / "certs")
    other_cert, other_key = servers.make_authority("Other CA").issue(tmp_path / "certs", "other")
    listeners = [servers.Listener(),
                 servers.Listener(cert=cert, key=key, host_name="localhost"),
                 servers.Listener(cert=other_cert, key=other_key, host_name="localhost")]
    with servers.Nginx(tmp_path / "nginx", site, listeners, "/updates/") as nginx:
        assert nginx.url(0).startswith("http://127.0.0.1:") and nginx.url(0).endswith("/updates")
        plain = http.client.HTTPConnection(servers.LOOPBACK, listeners[0].port, timeout=10)
        plain.request("GET", "/updates/files/a.bin")
        assert plain.getresponse().read() == servers.pattern_bytes(5000, 3)
        plain.request("GET", "/files/a.bin")  # outside the prefix
        assert plain.getresponse().status == 404

        (tmp_path / "ca-only.pem").write_bytes(authority.pem())
        context = ssl.create_default_context(cafile=str(tmp_path / "ca-only.pem"))
        for host in ("localhost", servers.LOOPBACK):  # both names are in the certificate
            tls = http.client.HTTPSConnection(host, listeners[1].port, context=context,
                                              timeout=10)
            tls.request("GET", "/updates/files/a.bin")
            assert tls.getresponse().read() == servers.pattern_bytes(5000, 3)
        untrusted = http.client.HTTPSConnection("localhost", listeners[2].port,
                                                context=context, timeout=10)
        with pytest.raises(ssl.SSLCertVerificationError):
            untrusted.request("GET", "/updates/files/a.bin")

        seen = [(r.port, r.path, r.status) for r in nginx.requests()]
        assert seen[:2] == [(listeners[0].port, "/updates/files/a.bin", 200),
                            (listeners[0].port, "/files/a.bin", 404)]
        assert seen[2:] == [(listeners[1].port, "/updates/files/a.bin", 200)] * 2
        ports = [l.port for l in listeners]
    assert all(port_is_closed(p) for p in ports)


def test_nginx_takes_a_requested_port(tmp_path, site):
    port = servers.free_port()
    with servers.Nginx(tmp_path / "nginx", site, [servers.Listener(port=port)]) as nginx:
        assert nginx.url() == f"http://127.0.0.1:{port}"
        assert split(raw_get(port, "/files/a.bin"))[2] == servers.pattern_bytes(5000, 3)


def test_detached_servers_start_and_stop_from_the_command_line(tmp_path, site):
    state = tmp_path / "state"
    run = [sys.executable, str(SCRIPT)]
    subprocess.run(run + ["nginx-start", "--state", str(state), "--root", str(site),
                          "--prefix", "/updates/", "--https", "0",
                          "--ca-dir", str(tmp_path / "ca")], check=True, timeout=60,
                   capture_output=True)
    subprocess.run(run + ["fault-start", "--state", str(state)], check=True, timeout=60,
                   capture_output=True)
    info = servers.read_detached(state)
    http_port = int(info["nginx"]["urls"]["http"].rsplit(":", 1)[1].split("/")[0])
    https_url = info["nginx"]["urls"]["https"]
    fault_port = int(info["fault"]["url"].rsplit(":", 1)[1])
    assert https_url.startswith("https://localhost:") and https_url.endswith("/updates")
    assert split(raw_get(http_port, "/updates/files/a.bin"))[0].endswith("200 OK")
    assert split(raw_get(fault_port, "/status/404/x"))[0].endswith("404 Not Found")
    assert "/updates/files/a.bin" in Path(info["nginx"]["access_log"]).read_text()
    assert Path(info["fault"]["log"]).read_text() == "GET /status/404/x\n"

    subprocess.run(run + ["stop", "--state", str(state)], check=True, timeout=60)
    assert port_is_closed(http_port) and port_is_closed(fault_port)


@pytest.fixture()
def fault():
    with servers.FaultServer() as server:
        yield server


def test_fault_answers_status_codes_and_exact_sizes(fault):
    status, headers, body = split(raw_get(fault.port, "/status/404"))
    assert status == "HTTP/1.1 404 Not Found" and body == b"404 Not Found\n"
    status, headers, body = split(raw_get(fault.port, "/status/304/tag"))
    assert status == "HTTP/1.1 304 Not Modified"
    assert "Content-Length" not in headers and body == b""
    for size in (0, 1, 70001):
        status, headers, body = split(raw_get(fault.port, f"/bytes/{size}/5/files/abc"))
        assert headers["Content-Length"] == str(size)
        assert body == servers.pattern_bytes(size, 5)
    assert split(raw_get(fault.port, "/unknown"))[0].endswith("404 Not Found")


def test_fault_cuts_resets_and_chunks(fault):
    _, headers, body = split(raw_get(fault.port, "/cut/1000/1/400"))
    assert headers["Content-Length"] == "1000" and body == servers.pattern_bytes(400, 1)
    with pytest.raises(ConnectionResetError):
        raw_get(fault.port, "/reset/100000/1/10")

    _, headers, body = split(raw_get(fault.port, "/chunked/2500/2/1000"))
    assert headers["Transfer-Encoding"] == "chunked"
    assert body == b"".join(b"%x\r\n%s\r\n" % (len(c), c) for c in (
        servers.pattern_bytes(2500, 2)[i:i + 1000] for i in (0, 1000, 2000))) + b"0\r\n\r\n"
    _, _, body = split(raw_get(fault.port, "/chunked-cut/2500/2/1500/1000"))
    assert not body.endswith(b"0\r\n\r\n")
    assert body.count(b"\r\n") == 4  # two chunks, no terminator


def test_fault_stalls_mid_body(fault):
    start = time.monotonic()
    _, _, body = split(raw_get(fault.port, "/stall/3000/1/1000/1"))
    assert time.monotonic() - start >= 0.9
    assert body == servers.pattern_bytes(3000, 1)
    # A stalled answer does not hold up the server's stop.
    with socket.create_connection((servers.LOOPBACK, fault.port)) as s:
        s.sendall(b"GET /stall/10/1/5/600 HTTP/1.1\r\n\r\n")
        time.sleep(0.2)
        start = time.monotonic()
        fault.stop()
        assert time.monotonic() - start < 5


def test_fault_trickles_a_whole_body(fault):
    data = servers.pattern_bytes(5000, 3)
    fault.route("/slow", servers.trickle(data, 1000, 0.1))
    start = time.monotonic()
    status, headers, body = split(raw_get(fault.port, "/slow"))
    assert time.monotonic() - start >= 0.45  # five pieces, a pause after each
    assert (headers["Content-Length"], body) == ("5000", data)


def test_fault_scripted_routes_and_request_log(fault):
    fault.route("/manifest.json", servers.body(b"{}"))
    fault.route("/status/200", servers.status(500))  # exact routes win
    assert split(raw_get(fault.port, "/manifest.json"))[2] == b"{}"
    assert split(raw_get(fault.port, "/status/200"))[0].endswith("500 Internal Server Error")
    raw_get(fault.port, "/bytes/1/1")
    assert fault.requests() == [("GET", "/manifest.json"), ("GET", "/status/200"),
                                ("GET", "/bytes/1/1")]
    assert split(raw_get(fault.port, "/_log"))[2] == b"/manifest.json\n/status/200\n/bytes/1/1\n"
    fault.clear_requests()
    assert fault.requests() == []


def test_fault_ranges_as_asked_or_wrongly(fault):
    data = servers.pattern_bytes(1000, 4)
    status, headers, body = split(raw_get(fault.port, "/ranged/bytes/1000/4",
                                          headers="Range: bytes=600-\r\n"))
    assert status == "HTTP/1.1 206 Partial Content"
    assert (headers["Content-Range"], headers["Content-Length"]) == ("bytes 600-999/1000", "400")
    assert body == data[600:]
    # Without a Range, or from the start, the whole body; past the end, a 416.
    assert split(raw_get(fault.port, "/ranged/bytes/1000/4"))[2] == data
    assert split(raw_get(fault.port, "/ranged/bytes/1000/4",
                         headers="Range: bytes=1000-\r\n"))[0].endswith("416 Range Not Satisfiable")
    # A route that ignores ranges, and one that answers another range.
    assert split(raw_get(fault.port, "/bytes/1000/4", headers="Range: bytes=600-\r\n"))[2] == data
    status, headers, body = split(raw_get(fault.port, "/wrong-range/1000/4/300",
                                          headers="Range: bytes=600-\r\n"))
    assert (status, headers["Content-Range"], body) == (
        "HTTP/1.1 206 Partial Content", "bytes 300-999/1000", data[300:])


def test_fault_block_ranges_right_shifted_or_flipped(fault):
    data = servers.pattern_bytes(1000, 4)
    fault.route("/right", servers.ranged(servers.body(data)))
    fault.route("/shifted", servers.shifted_ranges(data, 50))
    fault.route("/flipped", servers.flipped_ranges(data))
    ask = "Range: bytes=100-199\r\n"
    status, headers, body = split(raw_get(fault.port, "/right", headers=ask))
    assert (status, headers["Content-Range"], body) == (
        "HTTP/1.1 206 Partial Content", "bytes 100-199/1000", data[100:200])
    _, headers, body = split(raw_get(fault.port, "/shifted", headers=ask))
    assert (headers["Content-Range"], body) == ("bytes 150-249/1000", data[150:250])
    _, headers, body = split(raw_get(fault.port, "/flipped", headers=ask))
    assert headers["Content-Range"] == "bytes 100-199/1000"
    assert len(body) == 100 and sum(a != b for a, b in zip(body, data[100:200])) == 1
    for path in ("/shifted", "/flipped"):  # whole without a Range
        assert split(raw_get(fault.port, path))[2] == data
    assert ("/right", 100, 199) in fault.ranges_asked()


def test_fault_refuses_every_range_when_told(fault):
    data = servers.pattern_bytes(1000, 4)
    status, headers, _ = split(raw_get(fault.port, "/refusing-ranges/bytes/1000/4",
                                       headers="Range: bytes=600-\r\n"))
    assert (status, headers["Content-Range"]) == ("HTTP/1.1 416 Range Not Satisfiable",
                                                  "bytes */1000")
    assert split(raw_get(fault.port, "/refusing-ranges/bytes/1000/4"))[2] == data
    assert fault.ranged_requests() == [("/refusing-ranges/bytes/1000/4", 600)]


def test_fault_drips_the_headers_one_byte_at_a_time(fault):
    with socket.create_connection((servers.LOOPBACK, fault.port), timeout=10) as s:
        s.sendall(b"GET /header-drip/1000/2/3/400 HTTP/1.1\r\n\r\n")
        start = time.monotonic()
        received = s.recv(65536)
        assert received == b"HTTP/1.1 200 OK\r\n" and time.monotonic() - start < 0.3
        received += s.recv(65536)
        assert received.endswith(b"\r\nX") and time.monotonic() - start >= 0.35
        while piece := s.recv(65536):
            received += piece
    assert time.monotonic() - start >= 1.15  # a pause before each of the three bytes
    status, headers, body = split(received)
    assert (status, headers["X-Drip"], body) == ("HTTP/1.1 200 OK", "...",
                                                 servers.pattern_bytes(1000, 2))


def test_fault_pads_the_announced_length(fault):
    _, headers, body = split(raw_get(fault.port, "/padded/25/cut/1000/1/400"))
    assert headers["Content-Length"] == "0" * 21 + "1000"
    assert body == servers.pattern_bytes(400, 1)


def test_fault_routes_set_over_http_and_silence(fault):
    assert split(raw_get(fault.port, "/_route?for=/a/files/x&answer=/status/503"))[2] == b"ok"
    assert split(raw_get(fault.port, "/a/files/x"))[0].endswith("503 Status")
    assert split(raw_get(fault.port, "/_route?for=/b&answer=/nonsense"))[0].endswith("400 Bad Request")
    start = time.monotonic()
    assert raw_get(fault.port, "/silent/1") == b""  # not even a status line
    assert time.monotonic() - start >= 0.9


def test_link_delays_each_direction_and_caps_the_rate(tmp_path, site):
    import link

    data = servers.pattern_bytes(1_000_000, 6)
    (site / "files" / "big.bin").write_bytes(data)
    with servers.Nginx(tmp_path / "nginx", site, [servers.Listener()]) as nginx, \
            link.Link(nginx.listeners[0].port, rtt_ms=100, rate_mbit=8) as line:
        start = time.monotonic()
        small = split(raw_get(line.port, "/files/a.bin"))
        took_small = time.monotonic() - start
        start = time.monotonic()
        big = split(raw_get(line.port, "/files/big.bin"))
        took_big = time.monotonic() - start
    assert small[2] == servers.pattern_bytes(5000, 3) and big[2] == data
    # The handshake's round trip, then the request's: two round trips at least.
    assert 0.2 <= took_small < 1.0
    # 1 MB at 1 MB/s, plus the round trips.
    assert 1.0 <= took_big < 2.5
    assert line.connections == 2


def test_shared_authority_is_made_once(tmp_path):
    first = servers.shared_authority(tmp_path / "ca")
    second = servers.shared_authority(tmp_path / "ca")
    assert first.der() == second.der()
    assert (tmp_path / "ca" / "ca.der").read_bytes() == first.der()
