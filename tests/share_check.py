#!/usr/bin/env python3
"""artpeel reads a library on a network share as it reads it on disk: the
sample library and 60 generated cache files in the cache's folder layout,
served by a private sshd through a relay that delays 0.5 ms each way and
mounted with sshfs (bench/share.py). The exit status, the report, the
diagnostics (the named folders' place set aside) and the images written must
be the same to the byte: the walk on sshfs meets the names in the order the
server lists them, the disk's order.

    tests/share_check.py ARTPEEL

Exits with 77, which ctest counts as skipped, saying why, where FUSE, sshd or
sshfs cannot run (or not as root).
"""

import os
import shutil
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.dont_write_bytecode = True  # nothing written into the source tree
import bench  # noqa: E402
import share  # noqa: E402

FILES, IMAGES = 60, 2
SAMPLE_IMAGES = 12


def main():
    artpeel = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="share-check-") as scratch:
        library = os.path.join(scratch, "library")
        shutil.copytree(os.path.join(ROOT, "examples", "iTunes"), os.path.join(library, "iTunes"))
        bench.write_synthetic(os.path.join(library, "synthetic"), FILES, IMAGES, 4096, 8,
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
        except share.Skipped as why:
            print("share check: skipped: %s" % why)
            sys.exit(share.SKIPPED_STATUS)
    if differences:
        sys.exit("share check: artpeel on the share does not do what it does on disk:\n"
                 + differences)
    print("share check: on an sshfs share artpeel reports and writes what it does on disk"
          " (%d report lines, %d images)" % (on_disk[1].count(b"\n"), len(on_disk[3])))


if __name__ == "__main__":
    main()
