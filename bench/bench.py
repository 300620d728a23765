#!/usr/bin/env python3
"""Benchmarks of the installer under Wine, run inside the test bed by
bench/run-bench.sh. Measures and prints; never passes or fails on a time.

  bench.py BUILD_DIR [INSTALLER]

INSTALLER is the file whose --download-test and --self-test are measured
(the shipped i686 file where the host runs 32-bit programs), by default the
build tree's own. Bodies are served by nginx on loopback in the bed, so the
server is not what limits the reference. Per installer size: our whole
--download-test attempt beside curl + sha256sum, the two stages alone
(DownloadUrlToFile, ComputeHandleSha256) beside curl -o and sha256sum, and the bare
WinHTTP and CNG floor; then cold start and file sizes. Writes
BUILD_DIR/bench/results.txt and results.png.
"""
import datetime
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

BUILD = os.path.abspath(sys.argv[1])
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "bed"))
import bed  # noqa: E402
from chart_style import HISTOGRAM_STYLE  # noqa: E402
BED = os.environ["TAVRO_BED_DIR"]
DOCROOT = os.path.join(BED, "docroot")
WINE_RUN = os.environ["TAVRO_WINE_RUN"]
HOST = os.environ.get("TAVRO_OFFICIAL_HOST", "tavro.example")
CA = os.path.join(BED, "certs", "ca.pem")
RUNS = max(5, int(os.environ.get("TAVRO_BENCH_RUNS", "5")))
SIZES_MIB = [int(s) for s in os.environ.get("TAVRO_BENCH_SIZES", "1 64 512").split()]
TREE_INSTALLER = os.path.join(BUILD, "TAVRO-Static-Module-Installer.exe")
INSTALLER = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else TREE_INSTALLER
SHIPPED = os.path.join(REPO, "build", "TAVRO-Static-Module-Installer.exe")
BENCH_BIN = os.path.join(BUILD, "bench")
OUT = os.path.join(BUILD, "bench")
SCRATCH = os.path.join(BED, "bench")
MANIFEST_PATH = "/updates/tavro-update.txt"
# What one DLL adds to a cold start, for the DLLs the installer loads when
# it needs them.
LOADED_DLLS = ("winhttp.dll", "bcrypt.dll", "comctl32.dll")
MIB = 1 << 20


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def exe(name):
    return os.path.join(BENCH_BIN, name + ".exe")


# The signature stage: a setup signed by a throwaway publisher whose CA the
# prefix trusts for the run, as a build with TAVRO_PUBLISHER checks it.
BENCH_PUBLISHER = "TAVRO Bench Publisher"
SAMPLE_SETUP = os.path.join(BUILD, "tests", "driver", "sample_setup.exe")
TRUST_ROOT = os.path.join(BUILD, "tests", "driver", "trust_root.exe")


def make_publisher():
    pki = os.path.join(SCRATCH, "pki")
    os.makedirs(pki, exist_ok=True)

    def openssl(*args):
        subprocess.run(("openssl",) + args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki + "/ca.key", "-out", pki + "/ca.pem",
            "-days", "2", "-subj", "/CN=TAVRO Bench Root", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    with open(pki + "/signer.ext", "w") as f:
        f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", pki + "/signer.key", "-out", pki + "/signer.csr",
            "-subj", "/CN=" + BENCH_PUBLISHER)
    openssl("x509", "-req", "-in", pki + "/signer.csr", "-CA", pki + "/ca.pem", "-CAkey", pki + "/ca.key",
            "-set_serial", "2", "-days", "2", "-extfile", pki + "/signer.ext", "-out", pki + "/signer.pem")
    with open(pki + "/chain.pem", "w") as chain:
        for name in ("signer.pem", "ca.pem"):
            with open(os.path.join(pki, name)) as f:
                chain.write(f.read())
    subprocess.run([WINE_RUN, TRUST_ROOT, "add", winpath(pki + "/ca.pem")], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return pki


def make_signed_setup(pki, size_mib):
    """The sample setup grown to size_mib (random bytes after its image,
    which Authenticode hashes too), signed by the bench publisher."""
    unsigned = os.path.join(SCRATCH, "unsigned-setup.exe")
    signed = os.path.join(SCRATCH, "signed-setup.exe")
    shutil.copy(SAMPLE_SETUP, unsigned)
    with open(unsigned, "ab") as f:
        f.write(b"\0" * (-os.path.getsize(unsigned) % 8))
        left = size_mib * MIB - os.path.getsize(unsigned)
        while left > 0:
            block = os.urandom(min(left, MIB))
            f.write(block)
            left -= len(block)
    subprocess.run(["osslsigncode", "sign", "-certs", pki + "/chain.pem", "-key", pki + "/signer.key", "-h",
                    "sha256", "-in", unsigned, "-out", signed], check=True, stdout=subprocess.DEVNULL)
    os.remove(unsigned)
    os.sync()
    return signed


class Run:
    """One finished process: wall seconds, exit code, CPU seconds of the
    process Linux reaped, its output and the key=value lines in it."""

    def __init__(self, wall, code, cpu, maxrss_kib, output, values):
        self.wall, self.code, self.cpu, self.maxrss_kib = wall, code, cpu, maxrss_kib
        self.output, self.values = output, values


def run(command, watch_name=None):
    """Runs a command with its output in a file (never a pipe: Wine's helper
    processes could inherit and hold it). With watch_name, polls /proc for
    the process running that program and keeps its peak RSS (VmHWM) as
    values["vmhwm_kib"] and its CPU seconds as the run's."""
    out_path = os.path.join(SCRATCH, "out.txt")
    peak = {}
    done = threading.Event()
    poller = None
    if watch_name:
        poller = threading.Thread(target=poll_peak_rss, args=(watch_name, done, peak))
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
        if poller:
            poller.start()
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
    done.set()
    if poller:
        poller.join()
    with open(out_path, encoding="utf-8", errors="replace") as f:
        output = f.read()
    values = {}
    for line in output.splitlines():
        key, sep, value = line.strip().partition("=")
        if sep:
            values[key] = value
    cpu = usage.ru_utime + usage.ru_stime
    if watch_name:
        if peak["hwm"] == 0:
            raise SystemExit("bench: never saw %s running" % watch_name)
        values["vmhwm_kib"] = peak["hwm"]
        cpu = peak["cpu"]  # the watched process, not its cmd parent
    return Run(wall, process.returncode, cpu, usage.ru_maxrss, output, values)


def basename(path):
    return path.replace("\\", "/").rsplit("/", 1)[-1].lower()


def find_pid(name, argument=0):
    """The process whose argv[argument] names the file `name`, or None. Wine
    puts a Windows program's own path in argv[0]; cmd's command line only
    mentions the program further on."""
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().decode("utf-8", "replace").split("\0")
            except OSError:
                continue  # ended between listing and reading
            if len(argv) > argument and basename(argv[argument]) == name.lower():
                return pid
    return None


def process_cpu(pid):
    """CPU seconds used so far by a process (0 once it is gone)."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError):
        return 0.0


def poll_peak_rss(name, done, peak):
    """Peak RSS (VmHWM, a high-water mark, so the last reading before exit
    holds the peak) and CPU seconds of the watched process."""
    pid = None
    peak.update(hwm=0, cpu=0.0)
    while not done.is_set():
        pid = pid or find_pid(name)
        if pid:
            try:
                with open("/proc/%s/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            peak["hwm"] = max(peak["hwm"], int(line.split()[1]))
                peak["cpu"] = max(peak["cpu"], process_cpu(pid))
            except OSError:
                pass
        time.sleep(0.02)


def checked(label, result):
    if result.code != 0:
        raise SystemExit("bench: %s exited with %d: %r" % (label, result.code, result.values))
    return result


# ---------------------------------------------------------------- the site

def start_nginx():
    """nginx in one process (so its CPU is one process's), serving the
    docroot on 443 with the bed's official certificate, and on 4443 as a
    server that ignores Range."""
    return bed.start_nginx(SCRATCH, port=443, no_ranges_port=4443)


# ---------------------------------------------------------------- one size

def make_release(size_mib):
    """A random installer body and a manifest naming it; returns its path."""
    name = "setup-%dMiB.bin" % size_mib
    path = os.path.join(DOCROOT, "releases", name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        for _ in range(size_mib):
            block = os.urandom(MIB)
            digest.update(block)
            f.write(block)
    os.sync()  # no writeback of the new file during the runs
    manifest = "version=%d.0.0.0\ninstallerUrl=https://%s/releases/%s\ninstallerSha256=%s\n" % (
        size_mib, HOST, name, digest.hexdigest())
    os.makedirs(os.path.join(DOCROOT, "updates"), exist_ok=True)
    with open(os.path.join(DOCROOT, MANIFEST_PATH.lstrip("/")), "w") as f:
        f.write(manifest)
    return path, "/releases/" + name, digest.hexdigest()


def bench_size(size_mib, site, pki):
    body, url_path, sha = make_release(size_mib)
    signed = make_signed_setup(pki, size_mib)
    url = "https://%s%s" % (HOST, url_path)
    profile = os.path.join(SCRATCH, "localappdata")
    os.makedirs(profile, exist_ok=True)
    setup = os.path.join(profile, "TAVRO", "Installer", "TAVRO-Static-Module-Setup-%d.0.0.0.exe" % size_mib)
    stage_file = os.path.join(SCRATCH, "stage.bin")
    curl_file = os.path.join(SCRATCH, "curl.bin")
    floor_file = os.path.join(SCRATCH, "floor.bin")
    attempt_line = "set LOCALAPPDATA=%s&& %s --download-test" % (winpath(profile), winpath(INSTALLER))
    # The same work in one program, started through the same cmd line.
    floor_attempt_line = "set LOCALAPPDATA=%s&& %s %s %s %s %s" % (
        winpath(profile), winpath(exe("floor_attempt")), HOST, MANIFEST_PATH, url_path, winpath(floor_file))
    reference = ("curl -fsS --cacert '{ca}' -o '{d}/manifest.txt' https://{host}{manifest} && "
                 "url=$(sed -n 's/^installerUrl=//p' '{d}/manifest.txt') && "
                 "curl -fsS --cacert '{ca}' -o '{f}' \"$url\" && sha256sum '{f}'").format(
                     ca=CA, d=SCRATCH, host=HOST, manifest=MANIFEST_PATH, f=curl_file)
    curl_only = ["curl", "-fsS", "--cacert", CA, "-o", curl_file, url]

    # name: (command, process to watch for peak RSS, file to remove after)
    variants = {
        "attempt": ([WINE_RUN, "cmd", "/c", attempt_line], "TAVRO-Static-Module-Installer.exe", setup),
        "reference": (["/bin/sh", "-c", reference], None, curl_file),
        "floor_dl": ([WINE_RUN, exe("floor_winhttp"), HOST, url_path], None, None),
        "floor_dl_file": ([WINE_RUN, exe("floor_winhttp"), HOST, url_path, winpath(floor_file)], None, floor_file),
        "floor_hash": ([WINE_RUN, exe("floor_cng"), winpath(body)], None, None),
        "floor_attempt": ([WINE_RUN, "cmd", "/c", floor_attempt_line], "floor_attempt.exe", floor_file),
        "stage_dl": ([WINE_RUN, exe("stage_bench"), "download", url, winpath(stage_file)], None, stage_file),
        "stage_dl_window": ([WINE_RUN, exe("stage_bench"), "download", url, winpath(stage_file), "window"],
                            None, stage_file),
        "curl_o": (curl_only, None, curl_file),
        "stage_hash": ([WINE_RUN, exe("stage_bench"), "hash", winpath(body)], None, None),
        "stage_signature": ([WINE_RUN, exe("stage_bench"), "signature", winpath(signed), BENCH_PUBLISHER], None,
                            None),
        "sha256sum": (["sha256sum", body], None, None),
    }
    wineserver = find_pid("wineserver64") or find_pid("wineserver32") or find_pid("wineserver")
    server = site.pid
    results = {name: [] for name in variants}
    wineserver_cpu = {name: [] for name in variants}
    server_cpu = {name: [] for name in variants}
    # Round robin, so that drift on the machine spreads over every figure.
    for _ in range(RUNS):
        for name, (command, watch, leftover) in variants.items():
            before = (process_cpu(wineserver), process_cpu(server))
            result = checked("%s (%d MiB)" % (name, size_mib), run(command, watch))
            wineserver_cpu[name].append(process_cpu(wineserver) - before[0])
            server_cpu[name].append(process_cpu(server) - before[1])
            # A figure counts only for work done right.
            digest = result.values.get("sha256", result.output.split(" ", 1)[0] if name in (
                "reference", "sha256sum") else sha)
            received = result.values.get("bytes", os.path.getsize(leftover) if leftover else size_mib * MIB)
            if name == "stage_signature":
                digest, received = (sha, size_mib * MIB) if result.values.get("verified") == "1" else (None, 0)
            if digest != sha or int(received) != size_mib * MIB:
                raise SystemExit("bench: %s (%d MiB) did the work wrong: %r" % (name, size_mib, result.output))
            results[name].append(result)
            if leftover and os.path.exists(leftover):
                os.remove(leftover)
    os.remove(body)
    os.remove(signed)
    return {"results": results, "wineserver_cpu": wineserver_cpu, "server_cpu": server_cpu}


# ---------------------------------------------------------------- report

def stats(values):
    return statistics.median(values), min(values), max(values)


class Table:
    def __init__(self):
        self.lines = []

    def text(self, line=""):
        self.lines.append(line)

    def row(self, label, values, unit="s", size_mib=None, cpu=None):
        med, low, high = stats(values)
        rate = "%9.1f" % (size_mib / med) if size_mib and med > 0 else " " * 9
        fmt = "%8.3f" if unit == "s" else "%8.1f"
        extra = ""
        if cpu is not None:
            extra = "  cpu %5.2f/%5.2f/%5.2f" % cpu
        self.lines.append("  %-44s %s %s %s %-3s %s%s" % (label, fmt % med, fmt % low, fmt % high, unit, rate, extra))
        return med

    def ratio(self, label, value, target=None):
        goal = ""
        if target is not None:
            goal = "   target <= %.2fx: %s" % (target, "met" if value <= target else "NOT met")
        self.lines.append("  %-44s %8.2fx%s" % (label, value, goal))


def median_of(runs, key):
    return statistics.median(key(r) for r in runs)


def report(info, per_size, cold, sizes, resume):
    t = Table()
    t.text("TAVRO Static Module installer: benchmarks (%s)" % info["date"])
    t.text("Machine: nproc %s, memory %.1f GiB, %s, %s" % (info["nproc"], info["mem_gib"], info["wine"], info["nginx"]))
    t.text("Installer under test: %s (%s)" % (info["installer"], info["which"]))
    t.text("Wine on Linux stands in for Windows; absolute figures are Wine's.")
    t.text("Each figure: %d runs, median / min / max. Wall = process start to exit seen from Linux;" % RUNS)
    t.text("in-process = the program's own clock around the work only. MiB/s from the median.")
    t.text("cpu = CPU seconds (medians): measured process / wineserver / release server (nginx, TLS).")
    t.text("Served files are on disk (page cache); downloaded files land on %s." % info["scratch"])
    t.text("")
    t.text("  %-44s %8s %8s %8s %-3s %9s" % ("", "median", "min", "max", "", "MiB/s"))
    chart = []
    peaks = {}
    for size_mib in SIZES_MIB:
        data = per_size[size_mib]
        r = data["results"]

        def cpu(name):
            return (median_of(r[name], lambda x: x.cpu),
                    statistics.median(data["wineserver_cpu"][name]),
                    statistics.median(data["server_cpu"][name]))

        def walls(name):
            return [x.wall for x in r[name]]

        def inner(name):
            return [float(x.values["seconds"]) for x in r[name]]

        t.text("")
        t.text("%d MiB installer" % size_mib + " " + "-" * 60)
        t.text(" end to end (wall)")
        ours = t.row("ours: --download-test (via cmd /c)", walls("attempt"), size_mib=size_mib, cpu=cpu("attempt"))
        ref = t.row("reference: curl manifest + file, sha256sum", walls("reference"), size_mib=size_mib,
                    cpu=cpu("reference"))
        floor_same = t.row("floor: floor_attempt, same work (via cmd /c)", walls("floor_attempt"), size_mib=size_mib,
                           cpu=cpu("floor_attempt"))
        # Paired by round: run i of the download floor plus run i of the hash floor.
        floor = t.row("floor: floor_winhttp + floor_cng", [a + b for a, b in zip(walls("floor_dl"), walls(
            "floor_hash"))], size_mib=size_mib)
        floor_file = statistics.median(a + b for a, b in zip(walls("floor_dl_file"), walls("floor_hash")))
        t.ratio("ours / reference", ours / ref)
        t.ratio("ours / floor doing the same work", ours / floor_same, 1.10 if size_mib >= 64 else None)
        t.ratio("ours / floor_winhttp + floor_cng", ours / floor)
        t.ratio("ours / the same two, writing the file", ours / floor_file)
        t.text(" download stage")
        dl = t.row("ours: DownloadUrlToFile (in-process)", inner("stage_dl"), size_mib=size_mib,
                   cpu=cpu("stage_dl"))
        t.row("ours: same on a worker, window takes posts", inner("stage_dl_window"), size_mib=size_mib,
              cpu=cpu("stage_dl_window"))
        fdl = t.row("floor: WinHTTP read loop (in-process)", inner("floor_dl"), size_mib=size_mib,
                    cpu=cpu("floor_dl"))
        t.row("floor: WinHTTP read loop (wall)", walls("floor_dl"), size_mib=size_mib)
        fdlw = t.row("floor: same + 256 KiB file writes (in-proc.)", inner("floor_dl_file"), size_mib=size_mib,
                     cpu=cpu("floor_dl_file"))
        cdl = t.row("reference: curl -o (wall)", walls("curl_o"), size_mib=size_mib, cpu=cpu("curl_o"))
        t.ratio("DownloadUrlToFile / floor", dl / fdl, 1.05)
        t.ratio("DownloadUrlToFile / floor writing the file", dl / fdlw, 1.05)
        t.ratio("DownloadUrlToFile / curl -o", dl / cdl)
        values = r["floor_dl"][0].values
        t.text("  WinHTTP reads: %s for %d MiB; bytes per read avg %s, min %s, max %s" % (
            values["reads"], size_mib, values["chunk_avg"], values["chunk_min"], values["chunk_max"]))
        t.text("  progress posts the window took: %s (one per percent moved)" % (
            r["stage_dl_window"][0].values["progress_posts"]))
        t.text(" hash stage")
        hs = t.row("ours: ComputeHandleSha256 (in-process)", inner("stage_hash"), size_mib=size_mib,
                   cpu=cpu("stage_hash"))
        fhs = t.row("floor: CNG, 64 KiB reads (in-process)", inner("floor_hash"), size_mib=size_mib,
                    cpu=cpu("floor_hash"))
        t.row("floor: CNG, 64 KiB reads (wall)", walls("floor_hash"), size_mib=size_mib)
        shs = t.row("reference: sha256sum (wall)", walls("sha256sum"), size_mib=size_mib, cpu=cpu("sha256sum"))
        t.ratio("ComputeHandleSha256 / floor", hs / fhs)
        t.ratio("ComputeHandleSha256 / sha256sum", hs / shs)
        t.text(" signature stage (a build with TAVRO_PUBLISHER, after the hash matched)")
        sig = t.row("ours: CheckPublisherSignature (in-process)", inner("stage_signature"), size_mib=size_mib,
                    cpu=cpu("stage_signature"))
        t.ratio("CheckPublisherSignature / ComputeHandleSha256", sig / hs)
        t.text("  split of DownloadUrlToFile + ComputeHandleSha256: download %.0f%%, hash %.0f%%" % (
            100 * dl / (dl + hs), 100 * hs / (dl + hs)))
        t.text(" peak memory")
        rss = t.row("ours: installer process, VmHWM (polled)", [x.values["vmhwm_kib"] / 1024 for x in r["attempt"]],
                    unit="MiB")
        t.row("floor_winhttp process, max RSS", [x.maxrss_kib / 1024 for x in r["floor_dl"]], unit="MiB")
        t.row("reference: curl -o, max RSS", [x.maxrss_kib / 1024 for x in r["curl_o"]], unit="MiB")
        chart.append((size_mib, size_mib / ours, size_mib / ref, size_mib / floor_same, size_mib / dl, size_mib / fdl,
                      size_mib / cdl, size_mib / hs, size_mib / fhs, size_mib / shs, rss))
        peaks[size_mib] = rss

    if len(peaks) > 1:
        smallest, largest = min(peaks), max(peaks)
        growth = peaks[largest] - peaks[smallest]
        t.text("")
        t.text("  peak memory, %d MiB attempt minus %d MiB attempt: %.1f MiB   target <= 2.0 MiB: %s" % (
            largest, smallest, growth, "met" if growth <= 2.0 else "NOT met"))

    t.text("")
    t.text("%d MiB installer, first connection dropped at 50%%" % RESUME_MIB + " " + "-" * 37)
    resumed = t.row("ours: --download-test, resumed (wall)", resume["resume"][0])
    restarted = t.row("ours: same, server ignores Range: from zero", resume["restart"][0])
    t.row("server sent, resumed", resume["resume"][1], unit="MiB")
    t.row("server sent, from zero", resume["restart"][1], unit="MiB")
    t.ratio("resumed / from zero (wall)", resumed / restarted)

    t.text("")
    t.text("Cold start (wall, %d runs)" % len(cold["selftest"]) + " " + "-" * 50)
    ours = t.row("ours: --self-test", cold["selftest"])
    trivial = t.row("floor: trivial.exe (wWinMain returns 0)", cold["trivial"])
    for name in LOADED_DLLS:
        t.row("trivial.exe loading %s" % name, cold[name])
    t.row("cmd /c exit (the wrapper of the runs above)", cold["cmd"])
    t.ratio("ours / trivial", ours / trivial, 1.3)
    with_winhttp = statistics.median(cold["winhttp.dll"])
    t.ratio("ours / trivial loading winhttp.dll", ours / with_winhttp)
    t.text("")
    t.text("Files" + " " + "-" * 70)
    for label, path in sizes:
        t.text("  %-44s %s" % (label, "%d bytes" % os.path.getsize(path) if os.path.exists(path) else "not built"))
    t.text("")
    t.text("Peak memory of ours: VmHWM of the Linux process running TAVRO-Static-Module-Installer.exe")
    t.text("(the Windows process itself, started by cmd), polled every 20 ms; its cpu is read the same way.")
    t.text("Others: max RSS of the process reaped (wine-run execs into the Windows process).")
    return t.lines, chart


def pe_machine(path):
    try:
        with open(path, "rb") as f:
            data = f.read(4096)
        offset = int.from_bytes(data[0x3C:0x40], "little")
        machine = int.from_bytes(data[offset + 4:offset + 6], "little")
        return {0x14C: "i686", 0x8664: "x86_64"}.get(machine, hex(machine))
    except (OSError, ValueError):
        return "?"


def chart_png(chart, path, info):
    data = os.path.join(SCRATCH, "chart.dat")
    with open(data, "w") as f:
        for row in chart:
            f.write('"%d MiB" %s\n' % (row[0], " ".join("%.3f" % v for v in row[1:])))
    script = """
set terminal pngcairo noenhanced size 1400,900 font ",10"
set output '{out}'
set multiplot layout 2,2 title "TAVRO installer, {date}, nproc {nproc}, {wine}: Wine on Linux stands in for Windows; absolute figures are Wine's"
{style}set yrange [1:2000]
set ylabel "MiB/s (median, log scale)"
set title "End to end: manifest, download, SHA-256"
plot '{d}' using 2:xtic(1) title "ours --download-test", '' using 3 title "curl + sha256sum", '' using 4 title "floor: same work, one program"
set title "Download stage"
plot '{d}' using 5:xtic(1) title "ours DownloadUrlToFile", '' using 6 title "floor WinHTTP loop", '' using 7 title "curl -o"
set title "Hash stage"
plot '{d}' using 8:xtic(1) title "ours ComputeHandleSha256", '' using 9 title "floor CNG", '' using 10 title "sha256sum"
unset logscale y
set yrange [0:*]
set ylabel "MiB"
set title "Peak RSS of the installer process"
plot '{d}' using 11:xtic(1) title "VmHWM (median)"
unset multiplot
""".format(out=path, d=data, date=info["date"], nproc=info["nproc"], wine=info["wine"], style=HISTOGRAM_STYLE)
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def machine_info():
    with open("/proc/meminfo") as f:
        mem_kib = int(next(line for line in f if line.startswith("MemTotal:")).split()[1])
    wine = run([WINE_RUN, "--version"]).output.strip()
    return {"date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "nproc": os.cpu_count(),
            "mem_gib": mem_kib / (1 << 20), "wine": wine, "arch": pe_machine(INSTALLER),
            "nginx": run(["nginx", "-v"]).output.strip().replace("nginx version: ", ""),
            # Relative to the repository: the report is committed.
            "installer": os.path.relpath(INSTALLER, os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
            "which": "i686, the shipped file" if os.path.abspath(INSTALLER) == SHIPPED and pe_machine(
                INSTALLER) == "i686" else "%s build of the same sources" % pe_machine(INSTALLER)}


RESUME_MIB = 64


def bench_resume():
    """A 64 MiB installer whose first connection a relay drops halfway: the
    whole attempt's time and the bytes the server sent through the relay,
    when the attempt resumes (nginx answers the Range) and when it must
    start again from zero (the same nginx ignoring Range)."""
    body, url_path, sha = make_release(RESUME_MIB)
    profile = os.path.join(SCRATCH, "localappdata")
    os.makedirs(profile, exist_ok=True)
    setup = os.path.join(profile, "TAVRO", "Installer", "TAVRO-Static-Module-Setup-%d.0.0.0.exe" % RESUME_MIB)
    attempt_line = "set LOCALAPPDATA=%s&& %s --download-test" % (winpath(profile), winpath(INSTALLER))
    figures = {}
    for name, port in (("resume", 443), ("restart", 4443)):
        walls, sent = [], []
        for _ in range(RUNS):
            relay = bed.CuttingRelay(port, RESUME_MIB * MIB // 2)
            with open(os.path.join(DOCROOT, MANIFEST_PATH.lstrip("/")), "w") as f:
                f.write("version=%d.0.0.0\ninstallerUrl=https://%s:%d%s\ninstallerSha256=%s\n"
                        % (RESUME_MIB, HOST, relay.port, url_path, sha))
            result = checked("%s after a drop" % name, run([WINE_RUN, "cmd", "/c", attempt_line]))
            os.remove(setup)
            walls.append(result.wall)
            sent.append(relay.sent / MIB)
        figures[name] = (walls, sent)
    os.remove(body)
    return figures


def main():
    shutil.rmtree(SCRATCH, ignore_errors=True)
    os.makedirs(SCRATCH)
    # Downloaded files go to memory: the virtual disk's writeback of
    # gigabytes of dirty pages made every figure that writes a file noisy.
    # The mount is private to the bed's namespace and ends with it.
    on_tmpfs = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3g", "tmpfs", SCRATCH],
                              stderr=subprocess.DEVNULL).returncode == 0
    os.makedirs(OUT, exist_ok=True)
    info = machine_info()
    info["scratch"] = "tmpfs" if on_tmpfs else "disk"
    # Wine's background processes start once, detached from any pipe.
    subprocess.run([WINE_RUN, "--start-server"], check=True)
    subprocess.run([WINE_RUN, "cmd", "/c", "exit"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)

    pki = make_publisher()
    site = start_nginx()
    try:
        per_size = {}
        for size_mib in SIZES_MIB:
            print("bench: %d MiB ..." % size_mib, flush=True)
            per_size[size_mib] = bench_size(size_mib, site, pki)
        print("bench: a drop at 50%% of %d MiB ..." % RESUME_MIB, flush=True)
        resume = bench_resume()
    finally:
        site.terminate()
        site.wait()
        subprocess.run([WINE_RUN, TRUST_ROOT, "remove", winpath(pki + "/ca.pem")], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    print("bench: cold start ...", flush=True)
    cold = {name: [] for name in ("selftest", "trivial", "cmd") + LOADED_DLLS}
    for _ in range(max(RUNS, 10)):
        cold["selftest"].append(checked("--self-test", run([WINE_RUN, INSTALLER, "--self-test"])).wall)
        cold["trivial"].append(checked("trivial", run([WINE_RUN, exe("trivial")])).wall)
        for name in LOADED_DLLS:
            cold[name].append(checked("trivial " + name, run([WINE_RUN, exe("trivial"), name])).wall)
        cold["cmd"].append(checked("cmd", run([WINE_RUN, "cmd", "/c", "exit"])).wall)

    sizes = [("shipped installer (%s)" % pe_machine(SHIPPED), SHIPPED),
             ("installer under test (%s)" % info["arch"], INSTALLER),
             ("trivial.exe of this build", exe("trivial"))]
    lines, chart = report(info, per_size, cold, sizes, resume)
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    with open(os.path.join(OUT, "results.txt"), "w") as f:
        f.write(text)
    chart_png(chart, os.path.join(OUT, "results.png"), info)
    print("bench: wrote %s and %s" % (os.path.join(OUT, "results.txt"), os.path.join(OUT, "results.png")))


if __name__ == "__main__":
    main()
