"""widearea: through a link emulator (tests/servers/link.py: 40 ms round trip,
200 Mbit/s) in front of nginx: a bench-mode install of 100 files of 256 KiB, against
curl fetching the same URLs one after another over one connection; and of the 256 MiB
file, against curl's throughput. Every run must download the whole release.
Goals: at most 0.5 x curl's time; at least 0.9 x its throughput."""

import shutil
import subprocess
import time

import link
from common import (MIB, Bench, Downloads, Release, Row, Run, check_files, median, note, spread,
                    verdict)

TARGETS = ["trivial_get"]  # warm_up starts it


def run(bench: Bench) -> None:
    """Zelk and curl through the same emulated long link in front of nginx: many small
    files, and one big one."""
    p = bench.plan
    link_text = f"{p.wide_rtt_ms} ms, {p.wide_mbit} Mbit/s"
    for name, what in (("wide", f"{p.wide_count} x {p.wide_kib} KiB"),
                       ("big", f"1 x {p.big_mib} MiB")):
        release = bench.release(name)
        bench.base_url(release)
        bench.warm_up()
        zelk, curl, previous = [], [], []
        with link.Link(bench.nginx.listeners[0].port, p.wide_rtt_ms, p.wide_mbit) as line:
            url = f"http://127.0.0.1:{line.port}/{release.name}"
            for i in range(p.wide_runs):
                note(f"wide area {name}: run {i + 1}/{p.wide_runs}")
                root = bench.work / "root-wide"
                zelk.append(bench.zelk_install(release, root, url=url))
                curl.append(curl_one_connection(bench, release, url))
                if bench.previous:
                    previous.append(bench.zelk_install(release, root, url=url,
                                                       exe=bench.previous))
                shutil.rmtree(root, ignore_errors=True)
        bench.downloads.append(Downloads("5 wide area", what, release.total, {
            k: [r.downloaded for r in v]
            for k, v in (("Zelk.exe", zelk), ("curl", curl), ("previous", previous)) if v}))
        ours = median(r.seconds for r in zelk)
        theirs = median(r.seconds for r in curl)
        before = f"{median(r.seconds for r in previous):.2f} s previous" if previous else "-"
        if name == "wide":
            seconds = lambda v: f"{v:.2f}"  # noqa: E731
            bench.rows.append(Row("5 wide area", f"{what} at {link_text}, s (base: curl)",
                                  f"{ours:.2f}", f"{theirs:.2f}", f"{ours / theirs:.2f}",
                                  before, "<= 0.50 x", verdict(ours <= 0.5 * theirs),
                                  spread((r.seconds for r in zelk), seconds),
                                  spread((r.seconds for r in curl), seconds)))
        else:
            mib = release.total / MIB
            bench.rows.append(Row("5 wide area", f"{what} at {link_text}, MiB/s (base: curl)",
                                  f"{mib / ours:.1f}", f"{mib / theirs:.1f}",
                                  f"{theirs / ours:.2f}", before, ">= 0.90 x",
                                  verdict(theirs / ours >= 0.9),
                                  spread(mib / r.seconds for r in zelk),
                                  spread(mib / r.seconds for r in curl)))


def curl_one_connection(bench: Bench, release: Release, url: str) -> Run:
    """curl fetching every file of the release one after another, one connection."""
    target = bench.work / "root-curl"
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir()
    command = ["curl", "-sS", "--fail", "--noproxy", "*"]
    for path, digest, _ in release.files:
        command += [f"{url}/release/files/{digest}", "-o", str(target / path)]
    mark = bench.served()
    started = time.monotonic()
    subprocess.run(command, check=True)
    seconds = time.monotonic() - started
    check_files(target, release, "curl")
    shutil.rmtree(target, ignore_errors=True)
    return bench.whole_download(Run(seconds, 0, 0, bench.fetched_bytes(mark)), release, "curl")
