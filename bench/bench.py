#!/usr/bin/env python3
"""Times artpeel against copying the same bytes (cp -r) and walking the same
tree (find), on synthetic libraries that it writes itself.

Needs: python3 (standard library only), coreutils, findutils, GNU time at
/usr/bin/time (Debian package `time`), and cmake + ninja + a C++20 compiler
unless --build names a folder that already holds artpeel.

Every figure is the median of --rounds timed runs taken after one untimed
warm-up run of each command; the commands of a comparison take turns round by
round. Beside the wall time it gives each run's processor time (user + system
of the command), which a busy shared machine inflates far less. The libraries stay on disk (--data); every timed run writes into a
fresh empty folder under --out, which should be a tmpfs such as /dev/shm, and
the folder is removed after the run.

    bench/bench.py --data /var/tmp/artpeel-bench          # everything
    bench/bench.py --only medium,walk --rounds 7          # a part of it
"""

import argparse
import ctypes
import mmap
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GNU_TIME = "/usr/bin/time"
KIB = 1024

# name: (cache files, images per file, bytes per image, seed)
LIBRARIES = {
    "small": (2000, 2, 40 * KIB, 1),
    "medium": (10000, 2, 40 * KIB, 2),
    "large": (20000, 3, 60 * KIB, 3),
    "small-x2": (4000, 2, 40 * KIB, 4),
    "small-x4": (8000, 2, 40 * KIB, 5),
}
WALK_TREE = {"folders": 50000, "files": 20, "seed": 6}
ITEM_HEADER_BYTES = 208
FILE_HEADER_BYTES = 28

# What each part of the bench needs generated.
PARTS = {
    "small": ["small"],
    "medium": ["medium"],
    "large": ["large"],
    "walk": ["walk"],
    "growth": ["small", "small-x2", "small-x4"],
    "cold": ["medium"],
}
# The parallel-read floor of the cold part: the library's files read by 16
# readers at once, which keeps the disk as busy as it can be.
PARALLEL_READ = "find \"$0\" -type f -print0 | xargs -0 -P16 -n200 cat >/dev/null"


def fail(message):
    sys.exit("bench: " + message)


def run_quietly(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if result.returncode != 0:
        fail("'%s' failed:\n%s" % (" ".join(command), result.stdout))
    return result.stdout


def find_or_build_artpeel(build_dir):
    """The artpeel binary; builds a release tree when no build folder was given."""
    if build_dir is None:
        build_dir = os.path.join(ROOT, "build", "bench")
        if shutil.which("cmake") is None:
            fail("cmake is needed to build artpeel (or pass --build DIR)")
        print("building artpeel (Release) in %s" % build_dir, flush=True)
        configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     "-DARTPEEL_BUILD_TESTS=OFF"]
        if shutil.which("ninja") is not None:
            configure += ["-G", "Ninja"]
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            run_quietly(configure)
        run_quietly(["cmake", "--build", build_dir, "--target", "artpeel", "--parallel", "2"])
    artpeel = os.path.join(build_dir, "artpeel")
    if not os.access(artpeel, os.X_OK):
        fail("%s is missing; build the artpeel target first" % artpeel)
    return os.path.abspath(artpeel)


def library_bytes(name):
    files, images, image_bytes, _ = LIBRARIES[name]
    return files * (FILE_HEADER_BYTES + images * (ITEM_HEADER_BYTES + image_bytes))


# ---- Writing the libraries ------------------------------------------------------------
# Cache files as artpeel reads them: every integer a big-endian 32-bit number,
# a 28-byte file header, then records of a 208-byte item header and a payload.
# Keys and names come from a seeded bijection, so no two images share a name.

FANOUT = 16  # two-hex-digit folders per level
KEY_OFFSET = 36  # of the image key within an item header
MASK64 = 2**64 - 1


def seeded_value(seed, stream, index):
    """splitmix64's output function on a mix of the three: distinct inputs give
    distinct values."""
    value = (seed * 0xD1B54A32D192ED03 + stream * 0x8CB92BA72F3D8DD7 +
             (index + 1) * 0x9E3779B97F4A7C15) & MASK64
    value = ((value ^ (value >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    value = ((value ^ (value >> 27)) * 0x94D049BB133111EB) & MASK64
    return value ^ (value >> 31)


def cache_file(items, location=b"locl", payload=b""):
    """A cache file of `items` records, each a 600x600 image with `payload`."""
    header = struct.pack(">I4s4I4s", FILE_HEADER_BYTES, b"itch", 2, 2, 2, 0, b"artw")
    record = struct.pack(">I4sI4I8x8x4s4s4xII", ITEM_HEADER_BYTES + len(payload), b"item",
                         ITEM_HEADER_BYTES, 1, 2, 1, 0, location, b"PNGf", 600, 600)
    return bytearray(header + (record.ljust(ITEM_HEADER_BYTES, b"\0") + payload) * items)


def write_synthetic(folder, files, images, image_bytes, seed):
    """`files` cache files of `images` images of `image_bytes` bytes each (a PNG
    header for 600x600, then filler), spread over folder/Cache/xx/yy/zz."""
    ihdr = b"IHDR" + struct.pack(">IIBBBBB", 600, 600, 8, 2, 0, 0, 0)
    head = b"\x89PNG\r\n\x1a\n\0\0\0\x0d" + ihdr + struct.pack(">I", zlib.crc32(ihdr))
    filler = bytes((i * 131 + (i >> 8)) & 0xFF for i in range(len(head), image_bytes))
    data = cache_file(images, payload=(head + filler)[:image_bytes])
    item_bytes = ITEM_HEADER_BYTES + image_bytes
    leaves = FANOUT ** 3
    library = "%016X" % seeded_value(seed, 0, 0)

    def leaf(n):
        return os.path.join(folder, "Cache", "%02x" % (n % FANOUT), "%02x" % (n // FANOUT % FANOUT),
                            "%02x" % (n // FANOUT ** 2))
    for n in range(min(leaves, files)):
        os.makedirs(leaf(n), exist_ok=True)
    for n in range(files):
        for i in range(images):
            struct.pack_into(">Q", data, FILE_HEADER_BYTES + i * item_bytes + KEY_OFFSET,
                             seeded_value(seed, 1, n * images + i))
        name = "%s-%016X.itc2" % (library, seeded_value(seed, 2, n))
        with open(os.path.join(leaf(n % leaves), name), "wb") as out:
            out.write(data)


def write_walk_tree(folder, folders, files, seed):
    """`folders` folders below `folder`, FANOUT a level and filled level by level,
    holding `files` small cache files whose one image is kept elsewhere."""
    paths = []
    for n in range(folders):
        parent = folder if n < FANOUT else paths[n // FANOUT - 1]
        paths.append(os.path.join(parent, "%02x" % (n % FANOUT)))
    for n in range(folders):
        if (n + 1) * FANOUT >= folders:  # no folder below it: makedirs makes its parents
            os.makedirs(paths[n], exist_ok=True)
    data = cache_file(1, location=b"down")
    for n in range(files):
        key = seeded_value(seed, 3, n)
        struct.pack_into(">Q", data, FILE_HEADER_BYTES + KEY_OFFSET, key)
        with open(os.path.join(paths[n % folders], "%016X.itc2" % key), "wb") as out:
            out.write(data)


def library_recipe(name):
    """What a library is written from; kept in its stamp."""
    if name == "walk":
        return "walk tree %(folders)d folders %(files)d files seed %(seed)d" % WALK_TREE
    return "synthetic %d files %d images %d bytes seed %d" % LIBRARIES[name]


def ensure_generated(data_dir, name):
    """Writes the library `name` under data_dir unless the same one is there."""
    folder = os.path.join(data_dir, name)
    stamp = folder + ".stamp"
    wanted = library_recipe(name)
    if os.path.isdir(folder) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read().strip() == wanted:
                return folder
    shutil.rmtree(folder, ignore_errors=True)
    needed = library_bytes(name) if name != "walk" else 256 * 1024 * 1024
    free = shutil.disk_usage(data_dir).free
    if free < needed * 1.1:
        fail("%s needs about %d MiB in %s, %d MiB free" %
             (name, needed // 2**20, data_dir, free // 2**20))
    print("generating %s in %s" % (name, folder), flush=True)
    if name == "walk":
        write_walk_tree(folder, WALK_TREE["folders"], WALK_TREE["files"], WALK_TREE["seed"])
    else:
        write_synthetic(folder, *LIBRARIES[name])
    with open(stamp, "w") as f:
        f.write(wanted + "\n")
    return folder


def library_files(folder):
    for root, _, files in os.walk(folder):
        for name in files:
            yield os.path.join(root, name)


def evict(folder):
    """Drops the pages of every file of the library from the page cache, as if
    the machine had not read them since it started."""
    for path in library_files(folder):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def resident_fraction(paths):
    """The share of the pages of `paths` that are in the page cache (mincore)."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]
    page = os.sysconf("SC_PAGE_SIZE")
    resident = total = 0
    for path in paths:
        size = os.path.getsize(path)
        if size == 0:
            continue
        fd = os.open(path, os.O_RDONLY)
        try:
            address = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
            if address in (None, ctypes.c_void_p(-1).value):
                fail("cannot map %s to check its pages" % path)
            pages = (size + page - 1) // page
            vector = (ctypes.c_ubyte * pages)()
            if libc.mincore(address, size, vector) != 0:
                fail("mincore failed on %s" % path)
            libc.munmap(address, size)
        finally:
            os.close(fd)
        resident += sum(byte & 1 for byte in vector)
        total += pages
    return resident / total if total else 0.0


def evicter(folder):
    """What runs before each cold run: evicts the library, then checks on a
    sample of its files that their pages are out."""
    sample = [path for i, path in enumerate(library_files(folder)) if i % 500 == 0]

    def evict_and_check():
        evict(folder)
        left = resident_fraction(sample)
        if left > 0.01:
            fail("%.0f %% of the sampled library pages are still cached after eviction"
                 % (left * 100))
    return evict_and_check


class Runner:
    """Runs one command at a time in a fresh folder under out_dir, timing it
    and taking its peak resident set from GNU time."""

    def __init__(self, out_dir):
        self.out_dir = out_dir

    def run(self, command, expect_status=0, before=None):
        work = tempfile.mkdtemp(prefix="run-", dir=self.out_dir)
        if before is not None:
            before()
        rss_file = os.path.join(self.out_dir, os.path.basename(work) + ".rss")
        try:
            start = time.perf_counter()
            child = subprocess.Popen([GNU_TIME, "-f", "%M", "-o", rss_file] + command,
                                     cwd=work, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            # wait4 gives the processor time of time and of the command it ran.
            _, wait_status, usage = os.wait4(child.pid, 0)
            elapsed = time.perf_counter() - start
            child.returncode = os.waitstatus_to_exitcode(wait_status)
            status = child.returncode
            cpu = usage.ru_utime + usage.ru_stime
            if status != expect_status:
                fail("'%s' ended with status %d, not %d" % (" ".join(command), status,
                                                           expect_status))
            with open(rss_file) as f:
                rss_kib = int(f.read().split()[-1])
            outputs = count_files(work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
            if os.path.exists(rss_file):
                os.remove(rss_file)
        return elapsed, cpu, rss_kib, outputs


def count_files(folder):
    return sum(len(files) for _, _, files in os.walk(folder))


class Series:
    def __init__(self, label):
        self.label = label
        self.times = []
        self.cpu = []
        self.rss = []

    def median(self):
        return statistics.median(self.times)

    def cpu_median(self):
        return statistics.median(self.cpu)

    def describe(self):
        return ("%-22s median %7.3f s (min %.3f, max %.3f, n=%d)  processor %7.3f s"
                "  peak RSS %4.1f MiB" % (
                    self.label, self.median(), min(self.times), max(self.times),
                    len(self.times), self.cpu_median(), max(self.rss) / 1024))


def compare(runner, rounds, contenders, before=None):
    """contenders: (label, command, expected status, expected files written).
    One untimed warm-up run of each, then `rounds` rounds in which each runs
    once, in turn. `before`, when given, runs before every run, untimed."""
    series = [Series(label) for label, _, _, _ in contenders]
    for label, command, status, expected in contenders:
        _, _, _, outputs = runner.run(command, status, before)
        if expected is not None and outputs != expected:
            fail("%s wrote %d files, expected %d" % (label, outputs, expected))
    for _ in range(rounds):
        for entry, (_, command, status, _) in zip(series, contenders):
            elapsed, cpu, rss, _ = runner.run(command, status, before)
            entry.times.append(elapsed)
            entry.cpu.append(cpu)
            entry.rss.append(rss)
    for entry in series:
        print("  " + entry.describe(), flush=True)
    return series


def cpu_note(ours, theirs):
    """The same ratio by processor time, which waiting for a busy processor
    does not inflate."""
    return "\n      by processor time %.2fx" % (ours.cpu_median() / theirs.cpu_median())


def verdict(ok):
    return "meets target" if ok else "MISSES target"


def filesystem_of(path):
    best, kind = "", "?"
    with open("/proc/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            mount_point = fields[1].replace("\\040", " ")
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best):
                best, kind = mount_point, fields[2]
    return "%s (%s on %s)" % (path, kind, best)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder holding artpeel "
                        "(default: configure and build ROOT/build/bench)")
    parser.add_argument("--data", default="/var/tmp/artpeel-bench",
                        help="where the libraries are generated, on disk (default %(default)s)")
    parser.add_argument("--out", default="/dev/shm/artpeel-bench",
                        help="where timed runs write, a tmpfs (default %(default)s)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--only", default=",".join(PARTS),
                        help="parts to run, from %s (default all)" % ",".join(PARTS))
    parser.add_argument("--remove-data", action="store_true",
                        help="remove the generated libraries afterwards")
    args = parser.parse_args()

    parts = [p for p in args.only.split(",") if p]
    for part in parts:
        if part not in PARTS:
            fail("unknown part '%s'" % part)
    if args.rounds < 1:
        fail("--rounds must be at least 1")
    if not os.access(GNU_TIME, os.X_OK):
        fail("GNU time is needed at %s for peak RSS (Debian: apt-get install time)" % GNU_TIME)
    for tool in ("cp", "find"):
        if shutil.which(tool) is None:
            fail("%s is needed" % tool)

    artpeel = find_or_build_artpeel(args.build)
    data_dir = os.path.abspath(args.data)
    out_dir = os.path.abspath(args.out)
    os.makedirs(data_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    folders = {}
    for part in parts:
        for name in PARTS[part]:
            if name not in folders:
                folders[name] = ensure_generated(data_dir, name)

    print()
    print("machine: %d cores, %s, Linux %s" % (os.cpu_count() or 0, cpu_model(),
                                              platform.release()))
    print("libraries: %s" % filesystem_of(data_dir))
    print("outputs:   %s" % filesystem_of(out_dir))
    if "(tmpfs " not in filesystem_of(out_dir):
        print("warning: --out is not on a tmpfs; creating files on a disk file system "
              "can dominate the timings")
    print("load average at start: %.2f %.2f %.2f" % os.getloadavg())
    print("rounds: %d after one warm-up run of each command" % args.rounds)
    print(flush=True)

    runner = Runner(out_dir)
    summary = []
    peak_rss = {}

    def images_of(name):
        files, images, _, _ = LIBRARIES[name]
        return files * images

    for size in ("small", "medium", "large"):
        if size not in parts:
            continue
        files, images, image_bytes, _ = LIBRARIES[size]
        print("%s: %d cache files x %d images x %d KiB (%d MiB)" %
              (size, files, images, image_bytes // KIB, library_bytes(size) // 2**20),
              flush=True)
        ours, theirs = compare(runner, args.rounds, [
            ("artpeel " + size, [artpeel, folders[size]], 1, images_of(size)),
            ("cp -r " + size, ["cp", "-r", folders[size], "copy"], 0, None),
        ])
        ratio = ours.median() / theirs.median()
        peak_rss[size] = max(ours.rss)
        line = "artpeel / cp -r on %-6s %.2fx" % (size, ratio)
        if size == "medium":
            line += "   (target <= 0.70: %s)" % verdict(ratio <= 0.70)
        summary.append(line + cpu_note(ours, theirs))

    if "walk" in parts:
        print("walk: %d folders holding %d cache files, nothing to export" %
              (WALK_TREE["folders"], WALK_TREE["files"]), flush=True)
        ours, theirs = compare(runner, args.rounds, [
            ("artpeel walk", [artpeel, folders["walk"]], 1, 0),
            ("find -iname '*.itc2'", ["find", folders["walk"], "-iname", "*.itc2"], 0, None),
        ])
        ratio = ours.median() / theirs.median()
        peak_rss["walk"] = max(ours.rss)
        summary.append("artpeel / find on walk    %.2fx   (target <= 0.70: %s)" %
                       (ratio, verdict(ratio <= 0.70)) + cpu_note(ours, theirs))

    if "growth" in parts:
        print("growth: small at 1x, 2x and 4x the cache files", flush=True)
        names = ["small", "small-x2", "small-x4"]
        series = compare(runner, args.rounds, [
            ("artpeel %dx" % factor, [artpeel, folders[name]], 1, images_of(name))
            for factor, name in zip((1, 2, 4), names)])
        base = series[0].median()
        for factor, name, entry in zip((1, 2, 4), names, series):
            peak_rss[name] = max(max(entry.rss), peak_rss.get(name, 0))
        cpu_base = series[0].cpu_median()
        summary.append("growth: 2x takes %.2fx the time of 1x, 4x takes %.2fx"
                       "   (target 4x <= 4.20x: %s)" %
                       (series[1].median() / base, series[2].median() / base,
                        verdict(series[2].median() / base <= 4.2)) +
                       "\n      by processor time 2x %.2fx, 4x %.2fx" %
                       (series[1].cpu_median() / cpu_base, series[2].cpu_median() / cpu_base))

    if "cold" in parts:
        print("cold: medium, its pages evicted from the page cache before every run",
              flush=True)
        os.sync()  # pages still dirty from generating the library cannot be evicted
        ours, copy, floor = compare(runner, args.rounds, [
            ("artpeel medium, cold", [artpeel, folders["medium"]], 1, images_of("medium")),
            ("cp -r medium, cold", ["cp", "-r", folders["medium"], "copy"], 0, None),
            ("16 readers, cold", ["sh", "-c", PARALLEL_READ, folders["medium"]], 0, 0),
        ], before=evicter(folders["medium"]))
        peak_rss["medium"] = max(max(ours.rss), peak_rss.get("medium", 0))
        to_copy = ours.median() / copy.median()
        to_floor = ours.median() / floor.median()
        summary.append("artpeel / cp -r on cold medium %.2fx   (target <= 0.55: %s)" %
                       (to_copy, verdict(to_copy <= 0.55)) + cpu_note(ours, copy))
        summary.append("artpeel / 16 readers on cold medium %.2fx   (target <= 1.5: %s)" %
                       (to_floor, verdict(to_floor <= 1.5)))

    if peak_rss:
        worst = max(peak_rss.values())
        summary.append("peak RSS of artpeel: " + ", ".join(
            "%s %.1f MiB" % (name, kib / 1024) for name, kib in peak_rss.items()) +
            "   (target <= 8 MiB, flat: %s)" % verdict(worst <= 8 * 1024))

    print()
    print("load average at end: %.2f %.2f %.2f" % os.getloadavg())
    print("summary:")
    for line in summary:
        print("  " + line)

    if args.remove_data:
        for name, folder in folders.items():
            shutil.rmtree(folder, ignore_errors=True)
            if os.path.exists(folder + ".stamp"):
                os.remove(folder + ".stamp")


if __name__ == "__main__":
    main()
