#!/usr/bin/env python3
"""artpeel reads a library on a network share as it reads it on disk: the
sample library and 60 generated cache files in the cache's folder layout,
served by a private sshd through a relay that delays 0.5 ms each way and
mounted with sshfs (bench/share.py). The exit status, the report, the
diagnostics (the named folders' place set aside) and the images written must
be the same to the byte: the walk on sshfs meets the names in the order the
server lists them, the disk's order.

Then the share stops answering in the middle of a run (the relay frozen, the
connection up), and the run is ended by SIGINT sent to its process group as
Ctrl+C sends it, and in a second run over the images of an earlier one by
SIGTERM sent to artpeel alone: artpeel must end by that signal within a
second, with no temporary file and only whole images in its folder, although
the process that walked stays held in the kernel until the relay goes on.

    tests/share_check.py ARTPEEL

Exits with 77, which ctest counts as skipped, saying why, where FUSE, sshd or
sshfs cannot run (or not as root).
"""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.dont_write_bytecode = True  # nothing written into the source tree
import bench  # noqa: E402
import share  # noqa: E402

FILES, IMAGES = 60, 2
SAMPLE_IMAGES = 12
FROZEN_FILES = 400  # far more than the look-ahead holds, so that the run waits on the share
NOT_HELD = "the run was not held by the share: the check checks nothing"


def images_in(folder):
    images = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as image:
            images[name] = image.read()
    return images


def waiting(pid):
    """Whether `pid`, a child of this process, has not ended."""
    try:
        return os.waitpid(pid, os.WNOHANG) == (0, 0)
    except ChildProcessError:  # waited for by the process that made it
        return False


def end_on_frozen_share(artpeel, served, library, scratch, signal_number, over_earlier):
    """What is wrong with a run on `library`'s frozen folder that is ended by
    `signal_number`; '' when nothing is."""
    out = tempfile.mkdtemp(dir=scratch)
    folder = os.path.join(library, "frozen")
    subprocess.run([artpeel, folder], cwd=out, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    whole = images_in(out)
    if not over_earlier:
        for name in whole:
            os.remove(os.path.join(out, name))
    report = os.path.join(scratch, "report")
    with open(report, "wb") as report_file:
        run = subprocess.Popen([artpeel, os.path.join(served.mount(), "frozen")], cwd=out,
                               stdout=report_file, stderr=subprocess.DEVNULL, process_group=0)
    while os.path.getsize(report) == 0 and run.poll() is None:
        time.sleep(0.005)
    with open("/proc/%d/task/%d/children" % (run.pid, run.pid)) as children:
        walker = [int(pid) for pid in children.read().split()]
    served.relay.send_signal(signal.SIGSTOP)
    time.sleep(0.5)  # every request under way is taken by sshfs, and waits
    start = time.monotonic()
    if signal_number == signal.SIGINT:
        os.killpg(run.pid, signal_number)
    else:
        run.send_signal(signal_number)
    try:
        status = run.wait(timeout=5)
    except subprocess.TimeoutExpired:
        status = None
    took = time.monotonic() - start
    found = []
    held = [pid for pid in walker if waiting(pid)]
    served.relay.send_signal(signal.SIGCONT)
    if status is None:
        run.kill()
        run.wait()
    if status != -signal_number or took > 1:
        found.append("ended with %s after %.2f s, not by signal %d within 1 s"
                     % (status, took, signal_number))
    if not held:
        found.append(NOT_HELD)
    for pid in held:  # gone once the share answers
        for _ in range(1000):
            if not waiting(pid):
                break
            time.sleep(0.01)
        else:
            found.append("the process that walked is still there once the share answers")
    left = images_in(out)
    wrong = sorted(name for name in left if whole.get(name) != left[name])
    if wrong:
        found.append("left in the folder: " + ", ".join(wrong[:5]))
    return "; ".join(found)


def main():
    artpeel = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="share-check-") as scratch:
        library = os.path.join(scratch, "library")
        shutil.copytree(os.path.join(ROOT, "examples", "iTunes"), os.path.join(library, "iTunes"))
        bench.write_synthetic(os.path.join(library, "synthetic"), FILES, IMAGES, 4096, 8,
                              by_name=True)
        bench.write_synthetic(os.path.join(library, "frozen"), FROZEN_FILES, IMAGES, 4096, 9,
                              by_name=True)

        def run_on(root):
            return bench.run_for_report([artpeel, os.path.join(root, "iTunes"),
                                         os.path.join(root, "synthetic")], scratch)
        on_disk = run_on(library)
        if on_disk[0] != 1 or len(on_disk[3]) != SAMPLE_IMAGES + FILES * IMAGES:
            sys.exit("share check: on disk artpeel ended with %d and wrote %d images:\n%s"
                     % (on_disk[0], len(on_disk[3]), on_disk[2].decode(errors="replace")))
        try:
            with share.Share(library, 0.5) as served:
                on_share = run_on(served.mount())
                differences = bench.run_differences(on_disk, on_share, library,
                                                    served.mount_point)
                differences = "\n" + differences if differences else ""
                # The walk's process, orphaned, comes to this one to be waited for.
                PR_SET_CHILD_SUBREAPER = 36
                ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1)
                for signal_number, over_earlier in ((signal.SIGINT, False),
                                                    (signal.SIGTERM, True)):
                    # A share frozen while nothing of the run was under way on
                    # it (the files ahead opened, the walk waiting for a page,
                    # a wait that a signal ends) holds nothing: tried again.
                    for _ in range(3):
                        wrong = end_on_frozen_share(artpeel, served, library, scratch,
                                                    signal_number, over_earlier)
                        if wrong != NOT_HELD:
                            break
                    if wrong:
                        differences += "\nended by signal %d on a frozen share: %s" % (
                            signal_number, wrong)
        except share.Skipped as why:
            print("share check: skipped: %s" % why)
            sys.exit(share.SKIPPED_STATUS)
    if differences:
        sys.exit("share check: artpeel on the share does not do what it does on disk:"
                 + differences)
    print("share check: on an sshfs share artpeel reports and writes what it does on disk"
          " (%d report lines, %d images), and ends at once by SIGINT or SIGTERM when the"
          " share stops answering" % (on_disk[1].count(b"\n"), len(on_disk[3])))


if __name__ == "__main__":
    main()
