#!/usr/bin/env python3
"""The attempt over a far and slow link (the bed's link.py, TAVRO_BED_LINK),
run inside the bed by bench/run-link-bench.sh. Measures and prints; never
passes or fails on a time.

  link_bench.py attempt BUILD_DIR INSTALLER   (nginx on 443: TAVRO_BED_SITE=none)
  link_bench.py window BUILD_DIR INSTALLER    (the bed's release site)
  link_bench.py chart BUILD_DIR               (outside the bed: the chart)

attempt: per size, our --download-test beside the floor that does the same
work the fastest way (one curl fetching the manifest and the installer over
one connection, then sha256sum of what it wrote), with the TCP connections
each made (link.log counts them; each is one TLS handshake, since nothing
here resumes a TLS session). window: the time from the click to Setup
started, and the bytes a "Try again" fetches after a cut at 80 %.
Appends its rows to BUILD_DIR/bench/link-results.txt (and the attempt's
figures to link-chart.dat, which chart draws into link-results.png)."""
import json
import os
import statistics
import subprocess
import sys
import time

MODE = sys.argv[1]
sys.argv = [sys.argv[0]] + sys.argv[2:]
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from chart_style import HISTOGRAM_STYLE  # noqa: E402

CHART_DATA = os.path.join(os.path.abspath(sys.argv[1]), "bench", "link-chart.dat")


def chart():
    """Seconds of the attempt beside the floor's, per link and size."""
    script = """
set terminal pngcairo noenhanced size 1000,500 font ",10"
set output '{out}'
set title "TAVRO installer --download-test over the bed's link (Wine on Linux stands in for Windows)"
{style}set ylabel "seconds (median, log scale)"
plot '{d}' using 2:xtic(1) title "ours --download-test", '' using 3 title "floor: one curl connection + sha256sum"
""".format(out=CHART_DATA.replace(".dat", ".png").replace("link-chart", "link-results"), d=CHART_DATA, style=HISTOGRAM_STYLE)
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


if MODE == "chart":
    chart()
    sys.exit(0)

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (reads BUILD_DIR and INSTALLER from argv)
import bed  # noqa: E402

LINK = os.environ["TAVRO_BED_LINK"]
LINK_LOG = os.path.join(bench.BED, "link.log")
RUNS = max(3, int(os.environ.get("TAVRO_BENCH_RUNS", "3")))
SIZES_MIB = [int(s) for s in os.environ.get("TAVRO_BENCH_SIZES", "1 64").split()]
OUT = os.path.join(bench.BUILD, "bench", "link-results.txt")


def log_text():
    try:
        with open(LINK_LOG) as f:
            return f.read()
    except FileNotFoundError:  # written from the first connection on
        return ""


def connections_during(action):
    """What `action` returns, and how many connections link.log saw open
    meanwhile with the bytes they carried down."""
    start = len(log_text())
    value = action()
    # A connection's closing line comes once both ends have let go.
    deadline = time.monotonic() + 10
    while True:
        lines = [json.loads(line) for line in log_text()[start:].splitlines() if line.strip()]
        opened = [e["connection"] for e in lines if "down" not in e]
        closed = {e["connection"]: e["down"] for e in lines if "down" in e}
        if set(opened) <= set(closed) or time.monotonic() > deadline:
            return value, len(opened), sum(closed.get(n, 0) for n in opened)
        time.sleep(0.05)


def timed(command):
    # Output into a file, never a pipe: Wine's helper processes would hold it.
    result = bench.checked(command[-1][:60], bench.run(command))
    return result.wall, result.output


def attempt_rows():
    os.makedirs(bench.SCRATCH, exist_ok=True)
    # Wine's background processes start once, detached from any pipe.
    subprocess.run([bench.WINE_RUN, "--start-server"], check=True)
    subprocess.run([bench.WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    site = bench.start_nginx()
    rows = []
    # What the attempt pays that the floor does not, whatever the link: a
    # Wine process started through cmd, with no network.
    start = statistics.median(timed([bench.WINE_RUN, "cmd", "/c", bench.winpath(bench.INSTALLER) + " --self-test"])[0]
                              for _ in range(RUNS))
    rows.append("start of the installer through cmd, --self-test, no network: %.2f s (median of %d)" % (start, RUNS))
    print(rows[-1], flush=True)
    try:
        for size_mib in SIZES_MIB:
            _, url_path, sha = bench.make_release(size_mib)
            profile = os.path.join(bench.SCRATCH, "localappdata")
            setup = os.path.join(profile, "TAVRO", "Installer", "TAVRO-Static-Module-Setup-%d.0.0.0.exe" % size_mib)
            os.makedirs(profile, exist_ok=True)
            floor_file = os.path.join(bench.SCRATCH, "floor.bin")
            attempt = [bench.WINE_RUN, "cmd", "/c", "set LOCALAPPDATA=%s&& %s --download-test" % (
                bench.winpath(profile), bench.winpath(bench.INSTALLER))]
            floor = ["/bin/sh", "-c", "curl -fsS --cacert '{ca}' -o '{d}/manifest.txt' https://{h}{m} -o '{f}' "
                     "https://{h}{u} && sha256sum '{f}'".format(ca=bench.CA, d=bench.SCRATCH, h=bench.HOST,
                                                               m=bench.MANIFEST_PATH, f=floor_file, u=url_path)]
            figures = {"attempt": [], "floor": []}
            counts = {"attempt": set(), "floor": set()}
            for _ in range(RUNS):
                for name, command in (("attempt", attempt), ("floor", floor)):
                    (wall, said), opened, _ = connections_during(lambda: timed(command))
                    done = setup if name == "attempt" else floor_file
                    if bed.sha256(open(done, "rb").read()) != sha:
                        raise SystemExit("link bench: %s (%d MiB) did the work wrong: %s" % (name, size_mib, said))
                    os.remove(done)
                    figures[name].append(wall)
                    counts[name].add(opened)
            attempt_s, floor_s = (statistics.median(figures[n]) for n in ("attempt", "floor"))
            rows.append("link %s ms,Mbit  %4d MiB  attempt %7.2f s  floor %7.2f s  %.3fx  connections: attempt %s, "
                        "floor %s  (medians of %d)" % (LINK, size_mib, attempt_s, floor_s, attempt_s / floor_s,
                                                       "/".join(map(str, sorted(counts["attempt"]))),
                                                       "/".join(map(str, sorted(counts["floor"]))), RUNS))
            print(rows[-1], flush=True)
            with open(CHART_DATA, "a") as f:
                f.write('"%s ms,Mbit, %d MiB" %.3f %.3f\n' % (LINK, size_mib, attempt_s, floor_s))
    finally:
        site.terminate()
        site.wait()
    return rows


def open_window(user):
    process = subprocess.Popen(user.command(bed.INSTALLER), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    bed.drive("wait-window", bed.WINDOW_WAIT)
    return process


def window_rows():
    display = bed.Display()
    bed.start_wine()
    rows = []
    try:
        # The sample setup with 1 MiB more at its end (an overlay Windows
        # ignores), so the download is more than one window of TCP.
        setup = bed.sample_setup_bytes() + os.urandom(1 << 20)
        clicks = []
        for _ in range(RUNS):
            bed.reset_site()
            bed.publish_release(setup)
            user = bed.UserProfile()
            process = open_window(user)
            ran = os.path.join(user.working_dir, "sample-setup-ran.txt")
            start = time.perf_counter()
            bed.drive("click", "command")
            bed.wait_until(lambda: os.path.exists(ran) or process.poll() is not None, 120)
            clicks.append(time.perf_counter() - start)
            bed.window_attempt_exit_code(process)
        rows.append("link %s ms,Mbit  click to Setup started (%d bytes): %.2f s (median of %d)" % (
            LINK, len(setup), statistics.median(clicks), RUNS))
        print(rows[-1], flush=True)

        # Cut at 80 % with the one resume refused: the attempt fails and
        # keeps its bytes; "Try again" fetches the manifest and the rest.
        cut = len(setup) * 4 // 5
        bed.reset_site()
        bed.publish_release(setup)
        bed.set_rules({"/releases/setup.exe": {"sequence": [{"cut": cut}, {"status": 503}, {}]}})
        user = bed.UserProfile()
        process = bed.start_window_attempt(user, bed.INSTALLER)
        bed.drive("wait-messagebox", bed.WINDOW_WAIT)
        bed.drive("dismiss-messagebox", bed.WINDOW_WAIT)
        bed.drive("wait-button", bed.WINDOW_WAIT, "Try again", 1)
        _, opened, down = connections_during(
            lambda: (bed.drive("click", "command"), bed.drive("wait-gone", bed.WINDOW_WAIT)))
        bed.window_attempt_exit_code(process)
        asked = [r["headers"].get("Range") for r in bed.requests() if r.get("path") == "/releases/setup.exe"]
        rows.append("link %s ms,Mbit  Try again after a cut at 80 %%: %d bytes down over %d connection(s) for a "
                    "%d-byte setup (%.1f %%; the setup's own part %d bytes, %.1f %%); ranges asked %s" % (
                        LINK, down, opened, len(setup), 100.0 * down / len(setup), len(setup) - cut,
                        100.0 * (len(setup) - cut) / len(setup), asked))
        print(rows[-1], flush=True)
    finally:
        display.close()
    return rows


def main():
    rows = attempt_rows() if MODE == "attempt" else window_rows()
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "a") as f:
        f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
