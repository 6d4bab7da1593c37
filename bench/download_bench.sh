#!/bin/sh
# Downloads one package from the simulated update server's HTTPS front end on loopback with
# `kavrin download` (which checks its SHA-256) and with `curl -o` (pinning the same key), each
# timed as a whole process, and prints:
#   download_throughput ours=<MB/s> anchor=<MB/s> ratio=<ours/anchor>
#   download_verify_tail ours=<s/GiB>
#   download_cold_cache ours=<MB/s> anchor=<MB/s> ratio=<ours/anchor>
#   download_peak_rss ours=<MiB> anchor=<MiB> ratio=<anchor/ours>
#   download_cpu ours=<s/GiB> anchor=<s/GiB> ratio=<anchor/ours>
# Each figure is the median over the pairs, then [min..max]; a ratio is that of the medians,
# then [min..max] of the pairs' own ratios. Pairs run in alternating order, which evens out what
# the machine did just before.
#
# download_throughput: the whole `kavrin download`, verification included, against `curl -o`
#   alone, with the page cache as the runs leave it.
# download_verify_tail: in the same kavrin runs, from the last "Progress is:" line (the last
#   piece is on disk) to "checksum verification successful", scaled to one GiB: what verifying
#   adds once the body is in. It has no anchor.
# download_cold_cache: what someone sees whose memory cannot hold the package: `kavrin download`
#   against `curl -o` followed by `sha256sum` of the file, flushed and evicted from the page
#   cache (POSIX_FADV_DONTNEED) before sha256sum reads it. When kavrin starts reading its own
#   package back ("Starting hash calculation"), it is stopped and its package flushed and evicted
#   likewise. Neither the evictions nor the stop are timed.
# download_peak_rss: of each whole process in the download_throughput runs (/usr/bin/time -f %M).
# download_cpu: the CPU time (user and system) of the same processes, scaled to one GiB: where the
#   throughput ratio comes from when the simulated server and the client share few cores.
#
# Both clients use one server process (`kavrin sim-server`) and HTTP/1.1, and write into a
# directory of the build tree (on disk: a tmpfs could not be evicted).
# Usage: bench/download_bench.sh [build tree] (default build-bench; built in Release if new)
# KAVRIN_BENCH_DOWNLOAD_SIZE is the package size in bytes (default 1073741824); a smaller one,
# say 33554432, makes a quick check.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KAVRIN_BENCH_BUILD:-$root/build-bench}}
size=${KAVRIN_BENCH_DOWNLOAD_SIZE:-1073741824}
pairs=9
host=update-test.kavrin.example
url=https://$host/packages/kavrin-sim-update.bin

case $size in
'' | *[!0-9]* | 0*)
    echo "KAVRIN_BENCH_DOWNLOAD_SIZE takes a positive number of bytes, not '$size'" >&2
    exit 64
    ;;
esac
if [ ! -x /usr/bin/time ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends time
fi
. "$root/bench/download_common.sh"
build_kavrin
work=$(mktemp -d "$build/download-bench.XXXXXX")
server=""
trap '[ -n "$server" ] && kill -INT "$server" 2>/dev/null; rm -rf "$work"' EXIT

start_sim_server "$work/server.out" --sim-package-size "$size"
pin=$(dev_key_pin)

python3 - "$work" "$size" "$pairs" "$kavrin" "$port" "$url" "$host" "$pin" \
    "$root/testkit/keys/dev-server-cert.pem" <<'PY'
import os, shutil, signal, statistics, subprocess, sys, time

work, size, pairs, kavrin, port, url, host, pin, cert = sys.argv[1:]
size, pairs = int(size), int(pairs)
usage_file = os.path.join(work, "usage")
package_hash = None  # as kavrin's log states it


def fail(message):
    sys.exit("download_bench: " + message)


def evict(path):
    """Writes the file's dirty pages and drops it from the page cache, and checks that it went."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fdatasync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    if shutil.which("fincore"):
        resident = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                                  capture_output=True, text=True, check=True).stdout.strip()
        if int(resident) > size // 100:
            fail("%s keeps %s bytes in the page cache after eviction" % (path, resident))


def timed(command, watch=None):
    """Runs a command; its seconds (less what `watch` reports as not to be timed) and, when it
    runs under /usr/bin/time, its (peak RSS in KiB, CPU seconds). `watch(line, process)` sees each
    stderr line."""
    untimed = 0.0
    started = time.monotonic()
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True) as process:
        for line in process.stderr:
            if watch:
                untimed += watch(line, process)
        status = process.wait()
    seconds = time.monotonic() - started - untimed
    if status != 0:
        fail("%s ended with %d" % (" ".join(command), status))
    usage = None
    if command[0] == "/usr/bin/time":
        with open(usage_file) as lines:
            rss, user, system = lines.read().split()[-3:]
        usage = (int(rss), float(user) + float(system))
    return seconds, usage


def with_usage(command):
    return ["/usr/bin/time", "-f", "%M %U %S", "-o", usage_file] + command


def ours(cold):
    """One `kavrin download`: (seconds, usage, seconds from the last piece to the verdict)."""
    workdir = os.path.join(work, "kavrin")
    shutil.rmtree(workdir, ignore_errors=True)
    package = os.path.join(workdir, "kavrin-sim-update.bin")
    marks = {}

    def watch(line, process):
        now = time.monotonic()
        if "Progress is:" in line:
            marks["last piece"] = now
        elif "checksum verification successful" in line:
            marks["verified"] = now
        elif "correct hash:" in line:
            global package_hash
            package_hash = line.split()[-1]
        elif cold and "Starting hash calculation" in line:
            process.send_signal(signal.SIGSTOP)
            evict(package)
            process.send_signal(signal.SIGCONT)
            return time.monotonic() - now
        return 0.0

    command = [kavrin, "download", "YAV:0", "--workdir", workdir, "--verbose",
               "--sim-address", "127.0.0.1:" + port]
    seconds, usage = timed(command if cold else with_usage(command), watch)
    if len(marks) != 2:
        fail("kavrin's log lacks a \"Progress is:\" or a \"checksum verification successful\" line")
    if os.path.getsize(package) != size:
        fail("kavrin's package holds %d bytes" % os.path.getsize(package))
    shutil.rmtree(workdir)
    return seconds, usage, marks["verified"] - marks["last piece"]


def anchor(cold):
    """One `curl -o` (and when cold, `sha256sum` of its file): (seconds, usage)."""
    target = os.path.join(work, "curl.bin")
    command = ["curl", "-sS", "--http1.1", "-o", target, "--cacert", cert,
               "--pinnedpubkey", "sha256//" + pin,
               "--connect-to", "%s:443:127.0.0.1:%s" % (host, port), url]
    seconds, usage = timed(command if cold else with_usage(command))
    if os.path.getsize(target) != size:
        fail("curl's file holds %d bytes" % os.path.getsize(target))
    if cold:
        evict(target)
        started = time.monotonic()
        digest = subprocess.run(["sha256sum", target], capture_output=True, text=True,
                                check=True).stdout.split()[0]
        seconds += time.monotonic() - started
        if package_hash and digest != package_hash:
            fail("sha256sum says %s, kavrin's log %s" % (digest, package_hash))
    os.remove(target)
    return seconds, usage


def alternating(cold):
    """`pairs` pairs of (ours, anchor) results, the first of each pair alternating."""
    results = []
    for pair in range(pairs):
        sides = [lambda: ours(cold), lambda: anchor(cold)]
        first, second = (0, 1) if pair % 2 == 0 else (1, 0)
        done = {first: sides[first](), second: sides[second]()}
        results.append((done[0], done[1]))
    return results


def spread(values, form, unit):
    """The median with its unit, then [min..max]."""
    return (form + unit + "[" + form + ".." + form + "]") % (statistics.median(values),
                                                              min(values), max(values))


def comparison(name, ours_values, anchor_values, form, unit, anchor_over_ours=False):
    if anchor_over_ours:
        ratios = [a / o for o, a in zip(ours_values, anchor_values)]
        ratio = statistics.median(anchor_values) / statistics.median(ours_values)
    else:
        ratios = [o / a for o, a in zip(ours_values, anchor_values)]
        ratio = statistics.median(ours_values) / statistics.median(anchor_values)
    print("%s ours=%s anchor=%s ratio=%.3f[%.3f..%.3f]" % (
        name, spread(ours_values, form, unit), spread(anchor_values, form, unit), ratio,
        min(ratios), max(ratios)))


def rates(seconds):
    return [size / 1e6 / s for s in seconds]


warm = alternating(cold=False)
cold = alternating(cold=True)
comparison("download_throughput", rates(o[0] for o, _ in warm), rates(a[0] for _, a in warm),
           "%.0f", "MB/s")
print("download_verify_tail ours=%s" % spread([o[2] * (1 << 30) / size for o, _ in warm],
                                              "%.3f", "s/GiB"))
comparison("download_cold_cache", rates(o[0] for o, _ in cold), rates(a[0] for _, a in cold),
           "%.0f", "MB/s")
comparison("download_peak_rss", [o[1][0] / 1024 for o, _ in warm],
           [a[1][0] / 1024 for _, a in warm], "%.1f", "MiB", anchor_over_ours=True)
comparison("download_cpu", [o[1][1] * (1 << 30) / size for o, _ in warm],
           [a[1][1] * (1 << 30) / size for _, a in warm], "%.2f", "s/GiB", anchor_over_ours=True)
PY
