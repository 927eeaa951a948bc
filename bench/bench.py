#!/usr/bin/env python3
"""Times artpeel against copying the same bytes (cp -r) and walking the same
tree (find), on synthetic libraries that it writes itself.

Needs: python3 (standard library only), coreutils, findutils, GNU time at
/usr/bin/time (Debian package `time`), and cmake + ninja + a C++20 compiler
unless --build names a folder that already holds artpeel.

Every figure is the median of --rounds timed runs taken after one untimed
warm-up run of each command (none in the network part, whose every run starts
from a fresh mount and dropped caches); the commands of a comparison take turns round by
round. Beside the wall time it gives each run's processor time (user + system
of the command), which a busy shared machine inflates far less. The libraries stay on disk (--data); every timed run writes into a
fresh empty folder under --out, which should be a tmpfs such as /dev/shm, and
the folder is removed after the run.

    cmake --workflow --preset bench                       # artpeel and the bench's programs
    bench/bench.py --build build/bench --data /var/tmp/artpeel-bench   # all but the network part
    bench/bench.py --only medium,walk --rounds 7          # a part of it
    bench/bench.py --only medium --baseline OTHER_BUILD   # beside another build, in turns
    bench/bench.py --only network --windows-build build/windows   # on a share (root)

The network part serves a library over two shares (bench/share.py) at round
trips of 2, 10 and 50 ms: sshfs from a private sshd through a relay that
delays it, and the bench's own latency file system (bench/latency_fs.cpp, a
FUSE passthrough answering every request after the delay, up to 256 at once,
as NFS and SMB clients keep many in flight), which also counts the requests
each command sends. It needs root and FUSE, openssh-server and sshfs for the
first, g++ and libfuse3-dev for the second, and ripgrep (rg) as the reference;
it says why a share is skipped where it cannot run. It first checks that
artpeel (and artpeel.exe) report and write on each share exactly what they do
on disk.

    bench/bench.py --only network --shares latency --round-trips 10 --rounds 3
"""

import argparse
import ctypes
import difflib
import hashlib
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

import share

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
    "network": (1300, 2, 40 * KIB, 7),
}
# Libraries whose files lie in the folders their names give, not one a folder.
PLACED_BY_NAME = {"network"}
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
    "network": ["network"],
}
DEFAULT_PARTS = [part for part in PARTS if part != "network"]
# The parallel-read floor of the cold part: the library's files read by 16
# readers at once, which keeps the disk as busy as it can be.
PARALLEL_READ = "find \"$0\" -type f -print0 | xargs -0 -P16 -n200 cat >/dev/null"
# The cold part's ideal read-ahead: the same 16 readers started beside artpeel,
# which then finds every file on its way already read or being read.
BESIDE_READERS = ("find \"$0\" -type f -print0 | xargs -0 -P16 -n200 cat >/dev/null & "
                  "\"$1\" \"$0\" >/dev/null; status=$?; wait; exit $status")
# On a share, where the listing is the slow part, the same with ten files a
# reader, so that 16 read while find lists; and 16 walkers, one for each folder
# two levels down (Cache/xx), each listing and reading its own part.
SHARE_READ = "find \"$0\" -type f -print0 | xargs -0 -P16 -n10 cat >/dev/null"
SHARE_WALKERS = "for d in \"$0\"/*/*/; do find \"$d\" -type f -exec cat {} + >/dev/null & done; wait"
# Round trips of the network part, in milliseconds, and the one from which on
# a run takes a minute and fewer rounds do (--far-rounds).
ROUND_TRIPS = "2,10,50"
FAR_ROUND_TRIP = 50
# The shares of the network part: sshfs through a delaying relay, and the
# latency file system, which serves many requests at once (bench/share.py).
SHARES = "sshfs,latency"
# ripgrep reading every cache file to its end: each one searched as text,
# nothing skipped, for bytes none of them holds (rg then exits with 1).
RIPGREP = ["rg", "-uuu", "--text", "--count", "--glob", "*.itc2"]
RIPGREP_PATTERN = "no cache file holds these bytes"
# What the latency file system's requests are counted against.
FILE_REQUESTS = ("open", "read", "flush", "release")
FOLDER_REQUESTS = ("opendir", "readdir", "readdirplus", "releasedir")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"


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


def write_synthetic(folder, files, images, image_bytes, seed, by_name=False):
    """`files` cache files of `images` images of `image_bytes` bytes each (a PNG
    header for 600x600, then filler), spread over folder/Cache/xx/yy/zz: one
    file a folder in turn, or, `by_name`, in the folder that the last three hex
    digits of the file's name give, so that some folders hold two and the
    folders are made as their first file comes."""
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
    if not by_name:
        for n in range(min(leaves, files)):
            os.makedirs(leaf(n), exist_ok=True)
    for n in range(files):
        for i in range(images):
            struct.pack_into(">Q", data, FILE_HEADER_BYTES + i * item_bytes + KEY_OFFSET,
                             seeded_value(seed, 1, n * images + i))
        key = seeded_value(seed, 2, n)
        place = leaf(key % leaves if by_name else n % leaves)
        os.makedirs(place, exist_ok=True)
        with open(os.path.join(place, "%s-%016X.itc2" % (library, key)), "wb") as out:
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
    recipe = "synthetic %d files %d images %d bytes seed %d" % LIBRARIES[name]
    return recipe + (" placed by name" if name in PLACED_BY_NAME else "")


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
        write_synthetic(folder, *LIBRARIES[name], by_name=name in PLACED_BY_NAME)
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

    def __init__(self, out_dir, artpeel, baseline=None):
        self.out_dir = out_dir
        self.artpeel = artpeel
        self.baseline = baseline  # another build's artpeel, run beside artpeel
        self.notes = []  # how artpeel compares with the baseline

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
        self.requests = None  # by kind, from a share that counts them

    def median(self):
        return statistics.median(self.times)

    def cpu_median(self):
        return statistics.median(self.cpu)

    def describe(self):
        return ("%-22s median %7.3f s (min %.3f, max %.3f, n=%d)  processor %7.3f s"
                "  peak RSS %4.1f MiB" % (
                    self.label, self.median(), min(self.times), max(self.times),
                    len(self.times), self.cpu_median(), max(self.rss) / 1024))


def compare(runner, rounds, contenders, before=None, warm_up=True, after=None, where=""):
    """contenders: (label, command, expected status, expected files written).
    One untimed warm-up run of each unless not `warm_up`, then `rounds` rounds
    in which each runs once, in turn. `before`, when given, runs before every
    run, untimed; `after` after every timed run, given its series. With a
    baseline build, each contender that runs artpeel has a twin that runs the
    baseline's instead, taking its turn with the rest; the twins' series come
    after the contenders', and how each pair compares goes to runner.notes,
    `where` before it."""
    twins = [(label + ", baseline", [runner.baseline if word == runner.artpeel else word
                                     for word in command], status, expected)
             for label, command, status, expected in contenders
             if runner.baseline and runner.artpeel in command]
    pairs = [n for n, (_, command, _, _) in enumerate(contenders) if runner.artpeel in command]
    contenders = contenders + twins
    series = [Series(label) for label, _, _, _ in contenders]
    for round_number in range(-1 if warm_up else 0, rounds):
        for entry, (label, command, status, expected) in zip(series, contenders):
            elapsed, cpu, rss, outputs = runner.run(command, status, before)
            if expected is not None and outputs != expected:
                fail("%s wrote %d files, expected %d" % (label, outputs, expected))
            if round_number < 0:
                continue
            entry.times.append(elapsed)
            entry.cpu.append(cpu)
            entry.rss.append(rss)
            if after is not None:
                after(entry)
    for entry in series:
        print("  " + entry.describe(), flush=True)
    for n, twin in zip(pairs, series[len(contenders) - len(twins):]):
        ours = series[n]
        runner.notes.append(
            "%s%s / baseline: %.3f s / %.3f s = %.2fx (median of the rounds' ratios %.2fx); "
            "processor %.2fx; peak RSS %.1f / %.1f MiB" % (
                where, ours.label, ours.median(), twin.median(), ours.median() / twin.median(),
                statistics.median(a / b for a, b in zip(ours.times, twin.times)),
                ours.cpu_median() / twin.cpu_median(), max(ours.rss) / 1024,
                max(twin.rss) / 1024))
    return series


def run_for_report(command, out_dir):
    """Runs `command` in a fresh folder under out_dir: its exit status, its
    standard output and error, and a digest of each file it wrote, by name."""
    work = tempfile.mkdtemp(prefix="report-", dir=out_dir)
    try:
        result = subprocess.run(command, cwd=work, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        written = {}
        for name in sorted(os.listdir(work)):
            with open(os.path.join(work, name), "rb") as f:
                written[name] = hashlib.sha256(f.read()).hexdigest()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return result.returncode, result.stdout, result.stderr, written


def run_differences(first, second, first_root, second_root):
    """What differs between two run_for_report results of the same library read
    from two places, the roots as they were named on the command line (which
    standard error may name); '' when nothing does."""
    status, output, errors, written = first
    other_status, other_output, other_errors, other_written = second
    errors = errors.replace(first_root.encode(), b"ROOT")
    other_errors = other_errors.replace(second_root.encode(), b"ROOT")
    found = []
    if status != other_status:
        found.append("exit status %d, then %d" % (status, other_status))
    for what, a, b in (("standard output", output, other_output),
                       ("standard error", errors, other_errors)):
        if a != b:
            diff = difflib.unified_diff(a.decode(errors="replace").splitlines(),
                                        b.decode(errors="replace").splitlines(), lineterm="")
            found.append("%s differs:\n%s" % (what, "\n".join(list(diff)[:20])))
    if written != other_written:
        changed = sorted(set(written.items()) ^ set(other_written.items()))
        found.append("the files written differ, among them %s" %
                     ", ".join(name for name, _ in changed[:5]))
    return "\n".join(found)


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


def start_wine(windows_build, scratch):
    """artpeel.exe of `windows_build`, with a Wine prefix of its own set up in
    `scratch` and its wineserver kept running, so that runs start quickly."""
    exe = os.path.join(os.path.abspath(windows_build), "artpeel.exe")
    if not os.path.isfile(exe):
        fail("%s is missing" % exe)
    if not os.access(WINE, os.X_OK):
        fail("Wine is needed at %s (Debian: wine64)" % WINE)
    os.environ.update(WINEPREFIX=os.path.join(scratch, "wine"), WINEDEBUG="-all",
                      WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
    os.mkdir(os.environ["WINEPREFIX"])
    # Wine's services outlive the commands that start them: they get a log.
    with open(os.path.join(scratch, "wine.log"), "ab") as log:
        for command in ([WINESERVER, "-p"], [WINE, "wineboot", "--init"]):
            if subprocess.run(command, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=log).returncode != 0:
                fail("Wine could not set up its prefix; see %s" % log.name)
    return exe


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def drop_caches():
    """Empties the page cache, the dentries and the inodes, the server's side of
    the share too."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def built_with(artpeel, program):
    """`program` of the bench as the build that made `artpeel` built it (the
    bench preset, or -DARTPEEL_BUILD_BENCH=ON), or None."""
    path = os.path.join(os.path.dirname(artpeel), "bench", program)
    return path if os.access(path, os.X_OK) else None


def copy_floor(out_dir, library, artpeel):
    """The floor of a warm run (bench/copy_floor.cpp, built here unless the
    build of `artpeel` has it) and a manifest of `library`'s images for it: a
    command that creates every image and copies its bytes, with no walk, no
    parsing and no report."""
    program = built_with(artpeel, "copy_floor")
    if program is None:
        program = os.path.join(out_dir, "copy_floor")
        run_quietly(["g++", "-O2", "-o", program, os.path.join(ROOT, "bench", "copy_floor.cpp")])
    lines = []
    for path in sorted(library_files(library)):
        with open(path, "rb") as f:
            data = f.read()
        record, index = struct.unpack_from(">I", data, 0)[0], 1
        while record + 64 <= len(data):
            length, _, header = struct.unpack_from(">I4sI", data, record)
            key = data[record + KEY_OFFSET:record + KEY_OFFSET + 8].hex().upper()
            lines.append("%s %d %d %s-%02d-600x600.png\n" %
                         (path, record + header, length - header, key, index))
            record, index = record + length, index + 1
    manifest = os.path.join(out_dir, "copy_floor.manifest")
    with open(manifest, "w") as f:
        f.writelines(lines)
    return ["sh", "-c", "exec \"$0\" < \"$1\"", program, manifest], len(lines)


def share_makers(library, names, scratch, artpeel):
    """(name, a function of the round trip in ms giving the share) for each
    share of `names` that can be had here; says why where one cannot."""
    makers = []
    for name in names:
        if name == "sshfs":
            makers.append((name, lambda round_trip: share.Share(library, round_trip / 2)))
        elif name == "latency":
            try:
                program = built_with(artpeel, "latency_fs") or share.build_latency_fs(scratch)
            except share.Skipped as why:
                print("network: the latency file system is skipped: %s" % why, flush=True)
                continue
            makers.append((name, lambda round_trip: share.LatencyShare(library, round_trip,
                                                                       program)))
        else:
            fail("unknown share '%s'" % name)
    return makers


def describe_requests(counts, files, folders):
    """The requests a run sent, per cache file and per folder."""
    total = sum(counts.values())
    per_file = ", ".join("%s %.2f" % (kind, counts.get(kind, 0) / files) for kind in FILE_REQUESTS)
    per_folder = ", ".join("%s %.2f" % (kind, counts.get(kind, 0) / folders)
                           for kind in FOLDER_REQUESTS)
    others = ", ".join("%s %d" % (kind, n) for kind, n in counts.items()
                       if n and kind not in FILE_REQUESTS + FOLDER_REQUESTS)
    return ("%d requests, %.2f per cache file or folder; per cache file: %s; per folder: %s;"
            " besides: %s" % (total, total / (files + folders), per_file, per_folder,
                              others or "none"))


def network_part(runner, rounds, far_rounds, round_trips, share_names, artpeel, exe, library,
                 summary, scratch):
    """artpeel, ripgrep with 16 and 64 threads and 16 walkers (and artpeel.exe
    under Wine when `exe` is given) on `library` served over each share of
    `share_names` at each of `round_trips` (ms), mounted afresh with caches
    dropped before every run. On the latency file system, which counts what
    it is asked, the requests of each command's first run too."""
    files, images, _, _ = LIBRARIES["network"]
    folders = sum(1 for _ in os.walk(library)) - 1
    print("network: %d cache files x %d images in %d folders" % (files, images, folders),
          flush=True)
    disk = {"artpeel": run_for_report([artpeel, library], runner.out_dir)}
    if exe:
        disk["artpeel.exe"] = run_for_report([WINE, exe, windows_path(library)], runner.out_dir)
    makers = share_makers(library, share_names, scratch, artpeel)
    rows = {name: [] for name, _ in makers}
    for round_trip in round_trips:
        for name, make in makers:
            if name not in rows:
                continue
            try:
                with make(round_trip) as served:
                    row = share_series(runner, far_rounds if round_trip >= FAR_ROUND_TRIP
                                       else rounds, round_trip, name, served, artpeel, exe,
                                       library, disk, files, images, folders)
            except share.Skipped as why:
                print("network: %s: skipped: %s" % (name, why), flush=True)
                del rows[name]
                continue
            rows[name].append(row)
            summary.extend(share_summary(name, row))
    for name, share_rows in rows.items():
        if not share_rows:
            continue
        print("\n%s:\n| run | " % name +
              " | ".join("%g ms" % round_trip for round_trip, _, _ in share_rows) + " |")
        print("| --- |" + " --- |" * len(share_rows))
        print("| a lookup (median of 21) | " +
              " | ".join("%.2f ms" % lookup for _, lookup, _ in share_rows) + " |")
        for n, entry in enumerate(share_rows[0][2]):
            print("| %s | " % entry.label + " | ".join(
                "%.2f s (%.2f - %.2f)" % (s[n].median(), min(s[n].times), max(s[n].times))
                if len(s[n].times) > 1 else "%.2f s" % s[n].median()
                for _, _, s in share_rows) + " |")
        if share_rows[0][2][0].requests is not None:
            print("| requests by artpeel per cache file or folder | " + " | ".join(
                "%.2f" % (sum(s[0].requests.values()) / (files + folders))
                for _, _, s in share_rows) + " |")
    print(flush=True)


def share_series(runner, rounds, round_trip, name, served, artpeel, exe, library, disk, files,
                 images, folders):
    """The network part's series on one share at one round trip: (round
    trip, lookup time, series)."""
    mount = served.mount()
    lookup = served.lookup_ms()
    print("  %s, %g ms round trip: a lookup on the share takes %.2f ms; load average "
          "%.2f %.2f %.2f" % ((name, round_trip, lookup) + os.getloadavg()), flush=True)
    # The walk order on a share is the server's listing order, the disk's:
    # the report must be the same to the byte.
    here = {"artpeel": run_for_report([artpeel, mount], runner.out_dir)}
    if exe:
        here["artpeel.exe"] = run_for_report([WINE, exe, windows_path(mount)], runner.out_dir)
    for program, run in here.items():
        roots = (library, mount) if program == "artpeel" else \
            (windows_path(library), windows_path(mount))
        differences = run_differences(disk[program], run, *roots)
        if differences:
            fail("%s on the share does not do what it does on disk:\n%s" % (program, differences))
    contenders = [("artpeel", [artpeel, mount], 1, files * images)]
    if shutil.which("rg") is not None:
        contenders += [("ripgrep, %d threads" % threads,
                        RIPGREP + ["-j%d" % threads, RIPGREP_PATTERN, mount], 1, 0)
                       for threads in (16, 64)]
    contenders.append(("16 walkers", ["sh", "-c", SHARE_WALKERS, mount], 0, 0))
    if exe:
        contenders.append(("artpeel.exe (Wine)", [WINE, exe, windows_path(mount)], 1,
                           files * images))
    counts = hasattr(served, "counts")

    def count_requests(entry):
        if counts and entry.requests is None:
            served.unmount()
            entry.requests = served.counts
    series = compare(runner, rounds, contenders, before=lambda: (served.mount(), drop_caches()),
                     warm_up=False, after=count_requests if counts else None,
                     where="on %s at %g ms, " % (name, round_trip))
    for entry in series:
        if entry.requests is not None:
            print("    %s: %s" % (entry.label, describe_requests(entry.requests, files, folders)),
                  flush=True)
    return round_trip, lookup, series


def share_summary(name, row):
    """The summary's lines for one share at one round trip."""
    round_trip, _, series = row
    by_label = {entry.label: entry.median() for entry in series}
    ours = by_label["artpeel"]
    line = "artpeel on %s at %g ms: %.2f s; / 16 walkers %.2fx" % (
        name, round_trip, ours, ours / by_label["16 walkers"])
    if name == "sshfs" and round_trip == 2:
        line += " (target <= 1.5: %s)" % verdict(ours <= 1.5 * by_label["16 walkers"])
    for threads, target in ((16, 0.5), (64, 1.0)):
        reference = by_label.get("ripgrep, %d threads" % threads)
        if reference is not None:
            line += "; / ripgrep %d threads %.2fx" % (threads, ours / reference)
            if name == "latency":
                line += " (target <= %g: %s)" % (target, verdict(ours <= target * reference))
    return [line]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", help="build folder holding artpeel "
                        "(default: configure and build ROOT/build/bench)")
    parser.add_argument("--data", default="/var/tmp/artpeel-bench",
                        help="where the libraries are generated, on disk (default %(default)s)")
    parser.add_argument("--out", default="/dev/shm/artpeel-bench",
                        help="where timed runs write, a tmpfs (default %(default)s)")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds (default 5)")
    parser.add_argument("--only", default=",".join(DEFAULT_PARTS),
                        help="parts to run, from %s (default all but network)" % ",".join(PARTS))
    parser.add_argument("--round-trips", default=ROUND_TRIPS,
                        help="round trips of the network part in ms (default %(default)s)")
    parser.add_argument("--far-rounds", type=int, default=1,
                        help="timed rounds of the network part at %d ms and more (default 1)"
                        % FAR_ROUND_TRIP)
    parser.add_argument("--shares", default=SHARES,
                        help="shares of the network part (default %(default)s)")
    parser.add_argument("--baseline", help="a build folder holding another artpeel, run "
                        "beside artpeel in every comparison, taking turns with it")
    parser.add_argument("--windows-build", help="a folder holding artpeel.exe, which the "
                        "network part then also runs under Wine")
    parser.add_argument("--remove-data", action="store_true",
                        help="remove the generated libraries afterwards")
    args = parser.parse_args()

    parts = [p for p in args.only.split(",") if p]
    for part in parts:
        if part not in PARTS:
            fail("unknown part '%s'" % part)
    if args.rounds < 1 or args.far_rounds < 1:
        fail("--rounds and --far-rounds must be at least 1")
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
    print("rounds: %d after one warm-up run of each command%s" % (
        args.rounds, " (none on the share)" if "network" in parts else ""))
    print(flush=True)

    baseline = find_or_build_artpeel(args.baseline) if args.baseline else None
    runner = Runner(out_dir, artpeel, baseline)
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
        contenders = [
            ("artpeel " + size, [artpeel, folders[size]], 1, images_of(size)),
            ("cp -r " + size, ["cp", "-r", folders[size], "copy"], 0, None),
        ]
        if size == "medium":
            floor_command, floor_images = copy_floor(out_dir, folders[size], artpeel)
            contenders.append(("create and copy floor", floor_command, 0, floor_images))
        series = compare(runner, args.rounds, contenders)
        ours, theirs = series[:2]
        if size == "medium":
            to_floor = ours.median() / series[2].median()
            summary.append("artpeel / create-and-copy floor on warm medium %.2fx   "
                           "(target <= 1.9: %s)" % (to_floor, verdict(to_floor <= 1.9)))
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
        ])[:2]
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
        ours, copy, floor, ideal = compare(runner, args.rounds, [
            ("artpeel medium, cold", [artpeel, folders["medium"]], 1, images_of("medium")),
            ("cp -r medium, cold", ["cp", "-r", folders["medium"], "copy"], 0, None),
            ("16 readers, cold", ["sh", "-c", PARALLEL_READ, folders["medium"]], 0, 0),
            ("artpeel, 16 readers beside", ["sh", "-c", BESIDE_READERS, folders["medium"], artpeel],
             1, images_of("medium")),
        ], before=evicter(folders["medium"]))[:4]
        peak_rss["medium"] = max(max(ours.rss), peak_rss.get("medium", 0))
        to_copy = ours.median() / copy.median()
        to_floor = ours.median() / floor.median()
        summary.append("artpeel / cp -r on cold medium %.2fx   (target <= 0.55: %s)" %
                       (to_copy, verdict(to_copy <= 0.55)) + cpu_note(ours, copy))
        summary.append("artpeel / 16 readers on cold medium %.2fx   (target <= 1.5: %s)" %
                       (to_floor, verdict(to_floor <= 1.5)))
        to_ideal = ours.median() / ideal.median()
        summary.append("artpeel / artpeel with 16 readers beside on cold medium %.2fx   "
                       "(target <= 1.15: %s)" % (to_ideal, verdict(to_ideal <= 1.15)))

    if "network" in parts:
        round_trips = [float(value) for value in args.round_trips.split(",") if value]
        scratch = tempfile.mkdtemp(prefix="network-", dir=out_dir)
        try:
            exe = start_wine(args.windows_build, scratch) if args.windows_build else None
            network_part(runner, args.rounds, args.far_rounds, round_trips,
                         [name for name in args.shares.split(",") if name], artpeel, exe,
                         folders["network"], summary, scratch)
        finally:
            if args.windows_build:
                subprocess.run([WINESERVER, "-k"], stderr=subprocess.DEVNULL)
            shutil.rmtree(scratch, ignore_errors=True)

    if peak_rss:
        worst = max(peak_rss.values())
        summary.append("peak RSS of artpeel: " + ", ".join(
            "%s %.1f MiB" % (name, kib / 1024) for name, kib in peak_rss.items()) +
            "   (target <= 8 MiB, flat: %s)" % verdict(worst <= 8 * 1024))

    summary.extend(runner.notes)
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
