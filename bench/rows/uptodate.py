"""uptodate: bench mode over an installation that already matches the manifest, against
trivial_get.exe (a Wine program fetching manifest.json and manifest.sig).
Goal: median <= the baseline's median + 100 ms."""

from common import Bench, Row, median, spread, verdict

TARGETS = ["trivial_get"]


def run(bench: Bench) -> None:
    zelk, trivial = bench.uptodate_figures(bench.plan.uptodate_runs)
    release = bench.release("small")
    ours = median(r.seconds for r in zelk) * 1000
    base = median(r.seconds for r in trivial) * 1000
    ms = lambda v: f"{v * 1000:.0f}"  # noqa: E731
    bench.rows.append(Row("2 up to date", f"{len(release.files)} files, ms (base: trivial_get)",
                          f"{ours:.0f}", f"{base:.0f}", f"{ours / base:.2f}", "-",
                          "<= base + 100", verdict(ours <= base + 100),
                          spread((r.seconds for r in zelk), ms),
                          spread((r.seconds for r in trivial), ms)))
