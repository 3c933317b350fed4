"""memory: the peak resident set of the Wine process (GNU time's %M) while Zelk installs
a 1 GiB, the 256 MiB and a 129 MiB file, against the bare loop; Zelk with nothing to
fetch against trivial_get, Wine's own floor.
Goal: <= 48 MiB whatever the file's size (files stream to disk)."""

from common import MIB, Bench, Row, spread, verdict

TARGETS = ["bare_install", "trivial_get"]
MEMORY_LIMIT_MIB = 48  # Wine's own floor is about 20 MiB


def run(bench: Bench) -> None:
    plan = bench.plan
    # Floors: trivial_get is Wine's own; Zelk with nothing to fetch adds its libraries
    # and its flow, without any file in memory.
    zelk_idle, trivial = bench.uptodate_figures(max(3, plan.memory_runs))
    floor = max(r.peak for r in trivial) / MIB
    idle = max(r.peak for r in zelk_idle) / MIB
    bench.rows.append(Row("3 memory", "nothing to fetch, peak MiB (base: Wine floor)",
                          f"{idle:.1f}", f"{floor:.1f}", f"{idle / floor:.2f}",
                          spread=spread(r.peak / MIB for r in zelk_idle),
                          base_spread=spread(r.peak / MIB for r in trivial)))
    # Files stream to disk: the peak must not grow with the file.
    for name in ("huge", "big", "mid"):
        figures = bench.install_figures(name, plan.memory_runs, with_curl=False)
        largest = bench.release(name).largest / MIB
        bench.note_install_downloads("3 memory", f"1 x {largest:.0f} MiB", name)
        ours = max(r.peak for r in figures.zelk) / MIB
        bare = max(r.peak for r in figures.bare) / MIB
        before = (f"{max(r.peak for r in figures.previous) / MIB:.1f} previous"
                  if figures.previous else f"{ours - idle:.1f} over idle")
        bench.rows.append(Row("3 memory", f"{largest:.0f} MiB file, peak MiB (base: bare)",
                              f"{ours:.1f}", f"{bare:.1f}", f"{ours / bare:.2f}", before,
                              f"<= {MEMORY_LIMIT_MIB}", verdict(ours <= MEMORY_LIMIT_MIB),
                              spread(r.peak / MIB for r in figures.zelk),
                              spread(r.peak / MIB for r in figures.bare)))
