#!/usr/bin/python3
"""ctest fixture of the net suite: starts (or stops) its loopback servers.

    net_servers.py start --state DIR --wine-run BUILD/wine-run --tool add_root_cert.exe
    net_servers.py stop --state DIR

start trusts the build tree's test CA in the Wine prefix, fills a content store,
starts nginx (http, https, https with an untrusted certificate, all under /updates/)
and the fault server, and writes DIR/servers.env, which the tests read through
ZELK_NET_SERVERS.
"""

import argparse
import hashlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "servers"))
import servers  # noqa: E402

# (size, seed) of the files in the store; content_test.cpp asks for these.
STORE = [(0, 1), (1, 1), (100000, 1), (3 * 1048576 + 5, 2)]
# Also stored under its upper-case digest, so only the comparison can refuse it.
UPPER_CASE = (100000, 1)


def fill_store(root: Path) -> None:
    (root / "files").mkdir(parents=True, exist_ok=True)
    for size, seed in STORE:
        data = servers.pattern_bytes(size, seed)
        digest = hashlib.sha256(data).hexdigest()
        (root / "files" / digest).write_bytes(data)
        (root / f"pattern-{size}-{seed}.bin").write_bytes(data)
        if (size, seed) == UPPER_CASE:
            (root / "files" / digest.upper()).write_bytes(data)


def start(state: Path, wine_run: Path, tool: Path) -> None:
    servers.stop_detached(state)  # leftovers of an interrupted run
    build = wine_run.resolve().parent
    trusted = servers.shared_authority(build / "test-ca")
    servers.install_root_certificate(wine_run, tool, build / "test-ca" / "ca.der")
    untrusted = servers.make_authority("Zelk Untrusted Test CA")

    fill_store(state / "www")
    cert, key = trusted.issue(state / "certs", "trusted")
    bad_cert, bad_key = untrusted.issue(state / "certs", "untrusted")
    listeners = [
        servers.Listener(),
        servers.Listener(cert=cert, key=key, host_name="localhost"),
        servers.Listener(cert=bad_cert, key=bad_key, host_name="localhost"),
    ]
    nginx = servers.Nginx(state / "nginx", state / "www", listeners, "/updates/", detach=True)
    nginx.start()
    servers.record_detached(state, "nginx", {"pid_file": str(nginx.pid_file),
                                             "access_log": str(nginx.access_log)})
    fault = servers.start_detached_fault(state)

    env = state / "servers.env"
    env.write_text(f"HTTP={nginx.url(0)}\nHTTPS={nginx.url(1)}\n"
                   f"HTTPS_UNTRUSTED={nginx.url(2)}\nFAULT={fault['url']}\n")
    print(env.read_text(), end="")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=["start", "stop"])
    parser.add_argument("--state", type=Path, required=True)
    parser.add_argument("--wine-run", type=Path)
    parser.add_argument("--tool", type=Path)
    args = parser.parse_args()
    if args.action == "start":
        start(args.state.resolve(), args.wine_run, args.tool)
    else:
        servers.stop_detached(args.state)
    return 0


if __name__ == "__main__":
    sys.exit(main())
