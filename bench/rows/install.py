"""install: a fresh bench-mode install (Zelk.exe --banc ROOT URL, exit code 10) of one
256 MiB file and of 200 files of 1 MiB from nginx, against bare_install.exe (per file,
one after the other over one connection: WinHTTP reads into one buffer, as much as
WinHttpQueryDataAvailable reports and at most Zelk's own read size per call, each block
hashed and written to a ".tmp" as it arrives, one rename), both as wall time of the
whole Wine process; curl + sha256sum (native) as a reference. Every run must download
the whole release (nginx's access log).
Goal: Zelk >= 0.9 x the bare loop's throughput; with --previous, the 256 MiB file
>= 1.3 x the earlier Zelk.exe's."""

from common import MIB, Bench, Row, median, spread, verdict

TARGETS = ["bare_install", "trivial_get"]


def run(bench: Bench) -> None:
    plan = bench.plan
    for name, label in (("big", f"1 x {plan.big_mib} MiB"),
                        ("small", f"{plan.small_count} x {plan.small_mib} MiB")):
        figures = bench.install_figures(name, plan.install_runs, with_curl=True)
        bench.note_install_downloads("1 install", label, name)
        mib = bench.release(name).total / MIB
        rates = {contender: [mib / r.seconds for r in runs] for contender, runs in (
            ("zelk", figures.zelk), ("bare", figures.bare), ("previous", figures.previous))}
        zelk = mib / median(r.seconds for r in figures.zelk)
        bare = mib / median(r.seconds for r in figures.bare)
        curl = mib / median(r.seconds for r in figures.curl)
        ratio = zelk / bare
        bench.rows.append(Row("1 install", f"{label}, MiB/s (base: bare)", f"{zelk:.1f}",
                              f"{bare:.1f}", f"{ratio:.2f}", f"{curl:.1f} (curl)", ">= 0.90 x",
                              verdict(ratio >= 0.9), spread(rates["zelk"]),
                              spread(rates["bare"])))
        if figures.previous:
            before = mib / median(r.seconds for r in figures.previous)
            goal = 1.3 if name == "big" else None
            bench.rows.append(Row(
                "1 install", f"{label}, MiB/s (base: previous Zelk.exe)", f"{zelk:.1f}",
                f"{before:.1f}", f"{zelk / before:.2f}", "-",
                f">= {goal:.1f} x" if goal else "-",
                verdict(zelk / before >= goal) if goal else "", spread(rates["zelk"]),
                spread(rates["previous"])))
