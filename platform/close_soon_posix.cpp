// Closes in batches. A warm run lets go of some five descriptors a cache file
// (the file, its folder, its images): with io_uring each close is an entry in
// a ring shared with the kernel, and one io_uring_enter hands it thirty-two. The
// closes are not waited for: their results are read off and dropped, as those
// of closes that cannot fail. The ring is the batching thread's alone, so no
// lock guards it; every other thread closes at once.
#include "platform/close_soon_posix.h"

#include <sys/resource.h>
#include <unistd.h>
#if ARTPEEL_HAVE_IO_URING
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#endif
#if ARTPEEL_HAVE_STATFS
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstring>

namespace artpeel::platform {

#if ARTPEEL_HAVE_IO_URING

namespace {

constexpr unsigned kBatch = 32;
// Thirty-two descriptors waiting to be closed are nothing to a process with this
// many; under a lower limit (ulimit -n) every close is made at once.
constexpr rlim_t kFewestDescriptors = 256;

// The kernel's ring of submissions and of completions, mapped in.
struct Ring {
  int fd = -1;
  unsigned* sq_tail = nullptr;
  unsigned sq_mask = 0;
  unsigned* sq_array = nullptr;
  io_uring_sqe* sqes = nullptr;
  unsigned* cq_head = nullptr;
  unsigned* cq_tail = nullptr;
  unsigned waiting = 0;  // closes in the ring, not yet handed over
};

thread_local Ring* batching = nullptr;
// Whether this thread has asked for a ring already: it asks once, so that a
// system without one (or a ring given up) costs no call at each image.
thread_local bool asked_for_ring = false;

unsigned* At(void* base, unsigned offset) {
  return reinterpret_cast<unsigned*>(static_cast<unsigned char*>(base) + offset);
}

// The ring, or nullptr where io_uring cannot be had.
Ring* SetUpRing() {
  io_uring_params params;
  std::memset(&params, 0, sizeof params);
  const long fd = syscall(__NR_io_uring_setup, kBatch, &params);
  if (fd < 0) return nullptr;
  // Closes came with Linux 5.6, which is also the first to say it reads files
  // at their current position: an older kernel would leave them open.
  if ((params.features & IORING_FEAT_RW_CUR_POS) == 0) {
    close(static_cast<int>(fd));
    return nullptr;
  }
  const std::size_t sq_bytes = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  const std::size_t cq_bytes = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  const bool single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
  const std::size_t ring_bytes = single && cq_bytes > sq_bytes ? cq_bytes : sq_bytes;
  void* const sq = mmap(nullptr, ring_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                        static_cast<int>(fd), IORING_OFF_SQ_RING);
  void* const cq = single || sq == MAP_FAILED
                       ? sq
                       : mmap(nullptr, cq_bytes, PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_POPULATE, static_cast<int>(fd), IORING_OFF_CQ_RING);
  void* const sqes = sq == MAP_FAILED || cq == MAP_FAILED
                         ? MAP_FAILED
                         : mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe),
                                PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                                static_cast<int>(fd), IORING_OFF_SQES);
  if (sqes == MAP_FAILED) {
    // What was mapped stays, a few pages; the descriptor goes.
    close(static_cast<int>(fd));
    return nullptr;
  }
  auto* const ring = new Ring;
  ring->fd = static_cast<int>(fd);
  ring->sq_tail = At(sq, params.sq_off.tail);
  ring->sq_mask = *At(sq, params.sq_off.ring_mask);
  ring->sq_array = At(sq, params.sq_off.array);
  ring->sqes = static_cast<io_uring_sqe*>(sqes);
  ring->cq_head = At(cq, params.cq_off.head);
  ring->cq_tail = At(cq, params.cq_off.tail);
  return ring;
}

// Hands the waiting closes to the kernel, and drops the results of those it
// has made. False where it took none: the ring is then given up.
bool HandOver(Ring& ring) {
  while (ring.waiting > 0) {
    const long taken = syscall(__NR_io_uring_enter, ring.fd, ring.waiting, 0, 0, nullptr, 0);
    if (taken < 0 && errno == EINTR) continue;
    if (taken <= 0) return false;
    ring.waiting -= static_cast<unsigned>(taken);
  }
  __atomic_store_n(ring.cq_head, __atomic_load_n(ring.cq_tail, __ATOMIC_ACQUIRE),
                   __ATOMIC_RELEASE);
  return true;
}

}  // namespace

void BatchClosesOnThisThread() {
  if (asked_for_ring) return;
  asked_for_ring = true;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < kFewestDescriptors) return;
  batching = SetUpRing();
}

void CloseSoon(int fd) {
  Ring* const ring = batching;
  if (ring == nullptr) {
    close(fd);
    return;
  }
  const unsigned tail = *ring->sq_tail;  // this thread alone moves it
  const unsigned index = tail & ring->sq_mask;
  io_uring_sqe& entry = ring->sqes[index];
  std::memset(&entry, 0, sizeof entry);
  entry.opcode = IORING_OP_CLOSE;
  entry.fd = fd;
  ring->sq_array[index] = index;
  __atomic_store_n(ring->sq_tail, tail + 1, __ATOMIC_RELEASE);
  if (++ring->waiting < kBatch) return;
  if (!HandOver(*ring)) {
    // The kernel took none of them: they are closed here, and from now on
    // every close is made at once.
    for (unsigned i = 0; i < ring->waiting; ++i) {
      close(ring->sqes[(tail - i) & ring->sq_mask].fd);
    }
    batching = nullptr;
  }
}

#else

void BatchClosesOnThisThread() {}

void CloseSoon(int fd) { close(fd); }

#endif

bool ClosingCannotFail() {
#if ARTPEEL_HAVE_STATFS
  // The current directory is the run's for its whole length: asked once.
  static const bool cannot_fail = [] {
    constexpr long kExt4 = 0xEF53, kXfs = 0x58465342, kTmpfs = 0x01021994;
    constexpr long kBtrfs = static_cast<long>(0x9123683EL);
    struct statfs here;
    if (statfs(".", &here) != 0) return false;
    const long type = static_cast<long>(here.f_type);
    return type == kExt4 || type == kXfs || type == kTmpfs || type == kBtrfs;
  }();
  return cannot_fail;
#else
  return false;
#endif
}

}  // namespace artpeel::platform
