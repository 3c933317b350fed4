#!/usr/bin/python3
"""Zelk's main job, shown end to end on this machine.

Publishes a sample release (the stand-in launcher, its icon and some data) to a local
update server that plays the first built-in server (http://127.0.0.1:30110/updates),
runs Zelk.exe in its normal mode under Wine on the build's X display, saves a
screenshot of the splash while it downloads, and prints what happened. A second run
finds the installation up to date. Run through tools/demo, which builds first.
"""

import argparse
import pathlib
import shutil
import subprocess
import sys
import time

SOURCE = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / "tests" / "servers"))
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
sys.path.insert(0, str(SOURCE / "tools"))

import publish  # noqa: E402
import servers  # noqa: E402


def capture_splash(path, env):
    """Saves the splash window's area of the screen; False when it is not shown."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Zelk$",
                            "getwindowgeometry", "--shell"], capture_output=True, text=True,
                           env=env).stdout
    geometry = dict(line.split("=", 1) for line in found.splitlines() if "=" in line)
    if not geometry:
        return False
    crop = f"{geometry['WIDTH']}x{geometry['HEIGHT']}+{geometry['X']}+{geometry['Y']}"
    return subprocess.run(["import", "-window", "root", "-crop", crop, str(path)],
                          env=env).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(SOURCE / "build"), help="build folder")
    build = pathlib.Path(parser.parse_args().build).resolve()

    import os
    os.environ["ZELK_BUILD_DIR"] = str(build)
    import harness
    from conftest import prefix_user_folder

    subprocess.run([str(SOURCE / "tools" / "wine-session"), "start", str(harness.WINE_RUN)],
                   check=True)
    demo = build / "demo"
    sample = demo / "sample"
    (sample / "data").mkdir(parents=True, exist_ok=True)
    (sample / "ZelkLauncher.exe").write_bytes(
        (build / "tests" / "standin" / "ZelkLauncher.exe").read_bytes())
    (sample / "zelk.ico").write_bytes((SOURCE / "resources" / "zelk.ico").read_bytes())
    (sample / "data" / "monde.pak").write_bytes(servers.pattern_bytes(24 << 20, 7))
    (sample / "data" / "lisez-moi.txt").write_text("Bienvenue dans Zelk !\n", "utf-8")
    publish.publish(sample, demo / "updates", channel="release")

    shutil.rmtree(demo / "nginx", ignore_errors=True)  # a fresh access log for this run
    record = demo / "launcher-record.txt"
    record.unlink(missing_ok=True)
    root = prefix_user_folder() / "AppData" / "Local" / "Zelk"
    shot = demo / "splash.png"

    # Slowed down so that the download can be watched.
    port = harness.built_in_ports()[0]
    with servers.Nginx(demo / "nginx", demo / "updates", [servers.Listener(port=port)],
                       url_prefix="/updates/", rate="12m") as nginx:
        began = time.monotonic()
        process = harness.start(["zelk://demo/bienvenue"],
                                env={"ZELK_STANDIN_RECORD": harness.win_path(record)})
        took_shot = False
        while process.poll() is None:
            if not took_shot and any("/files/" in r.path for r in nginx.requests()):
                time.sleep(1.0)
                took_shot = capture_splash(shot, harness.wine_env())
            time.sleep(0.05)
        elapsed = time.monotonic() - began
        fetched = [r.path for r in nginx.requests() if "/files/" in r.path]

    print(f"Zelk.exe exited with code {process.returncode} after {elapsed:.1f} s")
    if fetched:
        print(f"downloaded {len(fetched)} file(s) from {nginx.url()}/release")
    else:
        print("already up to date: only the manifest and its signature were fetched")
    print(f"installed in {root}:")
    for path in sorted(root.rglob("*")):
        if path.is_file():
            print(f"  {path.stat().st_size:>10}  {path.relative_to(root)}")
    if record.exists():
        for line in record.read_text("utf-8").splitlines():
            command, folder = line.split("\t")
            print(f"launcher started: {command}\n  in {folder}")
    if took_shot:
        print(f"screenshot of the splash during the download: {shot}")
    return 0 if process.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
