// Closing the descriptors the walk is done with in batches
// (close_soon_posix.cpp): where Linux has io_uring, one system call closes
// up to sixteen of them.
#pragma once

namespace artpeel::platform {

// The calling thread closes in batches from now on: the thread that writes
// the images, which lets go of the most descriptors. Nothing where the process
// has few descriptors to spare, or the system has no io_uring (a container may
// refuse it).
void BatchClosesOnThisThread();

// Closes `fd`, at once or, on the thread that batches, with the next few. Only
// for a descriptor whose close fails in no way the run would report: a cache
// file or a folder, only read; an image on a file system with nothing to do at
// close (ClosingCannotFail).
void CloseSoon(int fd);

// Whether a close of a file written in the current directory cannot fail: its
// file system (ext4, XFS, Btrfs, tmpfs) has nothing to write back at close,
// where a share's may report a delayed write error.
bool ClosingCannotFail();

}  // namespace artpeel::platform
