"""switch: the switch of an update (its files put in place once every content is on
disk), from the log's "switched" line, against the whole update: the 10,000 small files
of the scale row all changed (that row's updates, run here when it did not run), and
the 256 MiB file changed. With --previous, the earlier program's update time too (it
has no separate switch). No goal."""

import shutil

from common import Bench, Downloads, Row, median, note, spread

TARGETS = ["trivial_get"]  # warm_up starts it


def run(bench: Bench) -> None:
    p = bench.plan
    count = p.scale_files
    if not any(files == count for files, _ in bench.switches):
        release, changed = bench.scale_release(count), bench.scale_release(count, "-changed")
        bench.base_url(release)
        bench.warm_up()
        for i in range(p.scale_install_runs):
            note(f"switch: update of {count} changed files, run {i + 1}")
            for _, zelk in bench.scale_contenders():
                bench.changed_update(release, changed, count, zelk)
        note_downloads(bench, f"{count} files all changed, update", changed.total, count)
    big, big_changed = bench.release("big"), bench.release("big-changed")
    bench.base_url(big)
    for i in range(p.install_runs):
        note(f"switch: update of the {p.big_mib} MiB file, run {i + 1}")
        for _, zelk in bench.scale_contenders():
            bench.changed_update(big, big_changed, 1, zelk)
    shutil.rmtree(bench.work / "root-update", ignore_errors=True)
    note_downloads(bench, f"1 x {p.big_mib} MiB changed, update", big_changed.total, 1)
    ms = lambda v: f"{v * 1000:.0f}"  # noqa: E731
    seconds = lambda v: f"{v:.2f}"  # noqa: E731
    for files, label in ((count, f"{count} x {p.scale_file_bytes} B files"),
                         (1, f"1 x {p.big_mib} MiB file")):
        for suffix, zelk in bench.scale_contenders():
            switches = [s for s in bench.switches.get((files, zelk), []) if s is not None]
            updates = [r.seconds for r in bench.update_times.get((files, zelk), [])]
            update = f"{median(updates):.2f}" if updates else "-"
            switch = f"{median(switches) * 1000:.0f}" if switches else "-"
            share = (f"{median(switches) / median(updates):.3f}"
                     if switches and updates else "-")
            bench.rows.append(Row("9 switch", f"{label} changed: switch ms (base: update s)"
                                  f"{suffix}", switch, update, share,
                                  spread=spread(switches, ms),
                                  base_spread=spread(updates, seconds)))


def note_downloads(bench: Bench, what: str, total: int, files: int) -> None:
    bench.downloads.append(Downloads("9 switch", what, total, {
        f"Zelk.exe{suffix}": [r.downloaded for r in bench.update_times[(files, zelk)]]
        for suffix, zelk in bench.scale_contenders()}))
