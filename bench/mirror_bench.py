"""What each fault of the official host adds to an attempt of the keyed file
built with a mirror host (build/test-mirror/), in the test bed: the median of
--download-test over TAVRO_BENCH_RUNS runs (5) per fault, each with a
profile of its own, against the healthy official host. Measures; never
fails on a time."""
import os
import statistics
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "bed"))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests", "e2e"))
import bed  # noqa: E402
import test_mirrors  # noqa: E402

RUNS = int(os.environ.get("TAVRO_BENCH_RUNS", "5"))


def main():
    bed.start_wine()
    rows = []
    for fault in test_mirrors.FAULTS:
        test_mirrors.set_up_site(fault)
        times = []
        for _ in range(RUNS):
            user = bed.UserProfile()
            start = time.monotonic()
            code = user.run(test_mirrors.MIRRORED, "--download-test")
            times.append(time.monotonic() - start)
            if code != 0:
                raise SystemExit("the attempt failed with the official host %s" % fault)
        rows.append((fault, statistics.median(times), min(times), max(times)))
    healthy = rows[0][1]
    print("Official host | attempt, median (s) | min-max (s) | added (s)")
    print("---|---|---|---")
    for fault, median, low, high in rows:
        print("%s | %.2f | %.2f-%.2f | %+.2f" % (fault, median, low, high, median - healthy))


if __name__ == "__main__":
    main()
