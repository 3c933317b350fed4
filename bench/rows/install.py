"""install: a fresh bench-mode install (Zelk.exe --banc ROOT URL, exit code 10) of one
256 MiB file and of 200 files of 1 MiB from nginx, against bare_install.exe (per file,
one after the other over one connection: WinHTTP reads into one buffer, each block
hashed and written to a ".tmp" as it arrives, one rename), both as wall time of the
whole Wine process; curl + sha256sum (native) as a reference.
Goal: Zelk >= 0.9 x the bare loop's throughput; with --previous, the 256 MiB file
>= 1.3 x the earlier Zelk.exe's."""

from common import MIB, Bench, Row, median, verdict

TARGETS = ["bare_install", "trivial_get"]


def run(bench: Bench) -> None:
    plan = bench.plan
    for name, label in (("big", f"1 x {plan.big_mib} MiB"),
                        ("small", f"{plan.small_count} x {plan.small_mib} MiB")):
        figures = bench.install_figures(name, plan.install_runs, with_curl=True)
        mib = bench.release(name).total / MIB
        zelk = mib / median(r.seconds for r in figures.zelk)
        bare = mib / median(r.seconds for r in figures.bare)
        curl = mib / median(figures.curl)
        ratio = zelk / bare
        bench.rows.append(Row("1 install", f"{label}, MiB/s (base: bare)", f"{zelk:.1f}",
                              f"{bare:.1f}", f"{ratio:.2f}", f"{curl:.1f} (curl)", ">= 0.90 x",
                              verdict(ratio >= 0.9)))
        if figures.previous:
            before = mib / median(r.seconds for r in figures.previous)
            goal = 1.3 if name == "big" else None
            bench.rows.append(Row(
                "1 install", f"{label}, MiB/s (base: previous Zelk.exe)", f"{zelk:.1f}",
                f"{before:.1f}", f"{zelk / before:.2f}", "-",
                f">= {goal:.1f} x" if goal else "-",
                verdict(zelk / before >= goal) if goal else ""))
