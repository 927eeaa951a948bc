#!/usr/bin/env python3
"""A cache file changed on its server after the run opened it ahead of its
turn is read as the walk without helpers reads it, on a share that does not
cache attributes (NFS mounted noac, FUSE with attr_timeout=0): the bench's
latency file system (bench/latency_fs.cpp) with --attr-timeout 0 at 5 ms a
request. A cache file of thousands of items stored elsewhere comes first: its
report, left unread, fills the pipe and holds the walk there, while the
helpers open the two files below it ahead. Once both are open, one is
rewritten in place with two images and the other cut short inside its image,
on the server's side, and the report is read. It and the images must be those
of a run without helpers over the changed files: the two new images, and
"runs past the end of the file".

    tests/share_change_check.py ARTPEEL [LATENCY_FS]

LATENCY_FS is the built latency file system; without it, it is built here.
Exits with 77, which ctest counts as skipped, saying why, where FUSE or
libfuse 3 is missing (or not as root).
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.dont_write_bytecode = True  # nothing written into the source tree
import bench  # noqa: E402
import share  # noqa: E402

DELAY_MS = 5
REMOTE_ITEMS = 4000  # some 160 KB of report: more than a pipe holds
O_PATH = 0o10000000
CHANGED = ("rewritten.itc2", "cut.itc2")


def cache_file(keys, image_bytes=3000):
    data = bench.cache_file(len(keys), payload=bytes(range(256)) * (image_bytes // 256))
    for n, key in enumerate(keys):
        item = bench.FILE_HEADER_BYTES + n * (bench.ITEM_HEADER_BYTES + image_bytes // 256 * 256)
        data[item + bench.KEY_OFFSET:item + bench.KEY_OFFSET + 8] = key.to_bytes(8, "big")
    return bytes(data)


def remote_items_file():
    return bytes(bench.cache_file(REMOTE_ITEMS, location=b"abcd"))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def opened_by(pid):
    """The files the process `pid` has open for reading (a descriptor that
    only names a file, O_PATH, does not count)."""
    names = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                with open("/proc/%d/fdinfo/%s" % (pid, fd)) as info:
                    flags = int(info.read().split("flags:")[1].split()[0], 8)
                if not flags & O_PATH:
                    names.add(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
            except (OSError, IndexError, ValueError):
                pass
    except OSError:
        pass
    return names


def run_with_change(artpeel, mount, library, out):
    """Runs artpeel on the share, changes the two files on the server once the
    run has them open ahead, then reads its report; None where it never had
    them open."""
    run = subprocess.Popen([artpeel, os.path.join(mount, "F")], cwd=out, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    wanted = {os.path.join(mount, "F", "S", "T", name) for name in CHANGED}
    opened_ahead = False
    deadline = time.monotonic() + 20
    while not opened_ahead and time.monotonic() < deadline and run.poll() is None:
        # The walk runs in a child of the process started.
        with open("/proc/%d/task/%d/children" % (run.pid, run.pid)) as children:
            opened_ahead = any(wanted <= opened_by(int(pid)) for pid in children.read().split())
        time.sleep(0.005)
    # What follows an open ahead (its size, its bytes asked into the cache)
    # takes a few round trips more.
    time.sleep(10 * DELAY_MS / 1000)
    folder = os.path.join(library, "F", "S", "T")
    with open(os.path.join(folder, "rewritten.itc2"), "r+b") as rewritten:
        rewritten.truncate(0)
        rewritten.write(cache_file([0x0B, 0x0C]))
    os.truncate(os.path.join(folder, "cut.itc2"), 1000)
    report = run.communicate(timeout=60)[0]
    return report if opened_ahead else None


def main():
    artpeel = os.path.abspath(sys.argv[1])
    try:
        program = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else None
        with tempfile.TemporaryDirectory(prefix="share-change-check-") as scratch:
            library = os.path.join(scratch, "library")
            write(os.path.join(library, "F", "S", "remote.itc2"), remote_items_file())
            for name, key in zip(CHANGED, (0x0A, 0x0D)):
                write(os.path.join(library, "F", "S", "T", name), cache_file([key]))
            if program is None:
                program = share.build_latency_fs(scratch)
            outs = [os.path.join(scratch, name) for name in ("on-share", "alone")]
            for out in outs:
                os.mkdir(out)
            with share.LatencyShare(library, DELAY_MS, program, ["--attr-timeout", "0"]) as served:
                mount_point = served.mount()
                # Every answer is held back for the delay: the check's timing
                # and the bench's figures rest on it.
                lookup_ms = served.lookup_ms()
                report = run_with_change(artpeel, mount_point, library, outs[0])
            if report is None:
                sys.exit("share change check: the run never had the files open ahead; the "
                         "check checks nothing")
            # Without helpers (too few descriptors for any), over the files as
            # they are now.
            alone = subprocess.run(["sh", "-c", 'ulimit -n 16 && exec "$0" "$1"', artpeel,
                                    os.path.join(library, "F")], cwd=outs[1],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
            found = []
            if lookup_ms < DELAY_MS:
                found.append("a lookup took %.2f ms, short of the file system's delay of %s ms"
                             % (lookup_ms, DELAY_MS))
            if report != alone:
                found.append("the report differs from the one without helpers:\n%s\n---\n%s"
                             % (report.decode(errors="replace"), alone.decode(errors="replace")))
            images = [{name: open(os.path.join(out, name), "rb").read()
                       for name in os.listdir(out)} for out in outs]
            if images[0] != images[1]:
                found.append("the images differ: %s against %s"
                             % (sorted(images[0]), sorted(images[1])))
            if b"runs past the end of the file" not in alone or len(images[1]) != 2:
                found.append("the changed files are not what the check means them to be")
    except share.Skipped as why:
        print("share change check: skipped: %s" % why)
        sys.exit(share.SKIPPED_STATUS)
    if found:
        sys.exit("share change check: " + "\n".join(found))


if __name__ == "__main__":
    main()
