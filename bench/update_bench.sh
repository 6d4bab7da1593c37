#!/bin/sh
# Updates four simulated phones that need the same package with one `kavrin update --all`
# (`--sim-phones 4 --sim-models 1`), against the same four updated one after another by four
# `kavrin update` processes, each side timed as a whole, and prints:
#   update_four_phones ours=<s> anchor=<s> ratio=<anchor/ours>
# Each figure is the median over the pairs, then [min..max]; the ratio is that of the medians,
# then [min..max] of the pairs' own ratios: how many times faster the phones are updated at once.
# The pairs run in alternating order, each run in a fresh working directory and with the
# simulated update server in its own process, as `kavrin update` starts it. A run that does not
# end with exit code 0, or whose phones needed the package downloaded more than once, fails the
# benchmark: the figure counts only when the package was shared.
# Usage: bench/update_bench.sh [build tree] (default build-bench; built in Release if new)
# KAVRIN_BENCH_UPDATE_SIZE is the package size in bytes (default 134217728).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KAVRIN_BENCH_BUILD:-$root/build-bench}}
size=${KAVRIN_BENCH_UPDATE_SIZE:-134217728}
pairs=5

case $size in
'' | *[!0-9]* | 0*)
    echo "KAVRIN_BENCH_UPDATE_SIZE takes a positive number of bytes, not '$size'" >&2
    exit 64
    ;;
esac
. "$root/bench/download_common.sh"
build_kavrin
work=$(mktemp -d "$build/update-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work" "$size" "$pairs" "$kavrin" <<'PY'
import os, shutil, statistics, subprocess, sys, time

work, size, pairs, kavrin = sys.argv[1:]
size, pairs = int(size), int(pairs)
workdir = os.path.join(work, "w")
package_request = "GET update-test.kavrin.example/packages/"


def fail(message):
    sys.exit("update_bench: " + message)


def timed(commands):
    """Runs the commands one after another in a fresh working directory: their seconds, and the
    package requests the simulated servers served."""
    shutil.rmtree(workdir, ignore_errors=True)
    os.mkdir(workdir)
    requests = 0
    started = time.monotonic()
    for command in commands:
        command = command + ["--workdir", workdir, "--sim-package-size", str(size), "--verbose"]
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True)
        if result.returncode != 0:
            fail("%s ended with %d:\n%s" % (" ".join(command), result.returncode,
                                            result.stderr[-3000:]))
        requests += result.stderr.count(package_request)
    return time.monotonic() - started, requests


def ours():
    seconds, requests = timed([[kavrin, "update", "--sim-phones", "4", "--sim-models", "1"]])
    if requests != 1:
        fail("kavrin update --all asked for the package %d times, not once" % requests)
    return seconds


def anchor():
    return timed([[kavrin, "update"]] * 4)[0]


results = []
for pair in range(pairs):
    if pair % 2 == 0:
        together = ours()
        apart = anchor()
    else:
        apart = anchor()
        together = ours()
    results.append((together, apart))
together = [o for o, _ in results]
apart = [a for _, a in results]
ratios = [a / o for o, a in results]
print("update_four_phones ours=%.2fs[%.2f..%.2f] anchor=%.2fs[%.2f..%.2f] ratio=%.3f[%.3f..%.3f]"
      % (statistics.median(together), min(together), max(together), statistics.median(apart),
         min(apart), max(apart), statistics.median(apart) / statistics.median(together),
         min(ratios), max(ratios)))
PY
