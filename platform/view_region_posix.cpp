// Taking a view out of the process (munmap) costs a flush of the processor's
// cache of the address map, the TLB: on a virtual machine a call into the host
// and, once helper threads have run, an interrupt to every processor the
// process ran on. One per cache file was more than half of a warm run. So the
// view of a small file goes into a region of address space reserved for views,
// at a fresh address, and stays there once released, out of use, until the
// region is full: then the whole region is given back and reserved afresh in
// one call, one flush for all the files it held.
//
// The region is small, since the pages of released views stay mapped (and
// counted as resident) until it is given back, and hold their files. A file
// too large for it, one mapped while another view in it is in use, and every
// file after a view the region could not take get a view of their own.
#include "platform/view_region_posix.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace artpeel::platform {

namespace {

constexpr std::size_t kRegionBytes = std::size_t{4} << 20;
constexpr std::size_t kLargestViewInRegion = kRegionBytes / 4;
constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS;

// The process's one region, as its address space is one. (std::mutex is not
// to be had where the layer is held to plain POSIX.)
struct Region {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  unsigned char* start = nullptr;  // nullptr: none reserved
  std::size_t used = 0;            // from `start`, since reserved or given back
  std::size_t views_in_use = 0;
  bool given_up = false;

  // Whatever it holds goes at exit.
  ~Region() {
    if (start != nullptr) munmap(start, kRegionBytes);
  }
};

Region& TheRegion() {
  static Region region;
  return region;
}

std::size_t PageRounded(std::size_t size) {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

void GiveBack(Region& region) {
  munmap(region.start, kRegionBytes);
  region.start = nullptr;
}

// The view in the region, or nullptr where the region does not take it.
const unsigned char* MapInRegion(Region& region, int fd, std::size_t size, int extra_flags) {
  const std::size_t span = PageRounded(size);
  if (region.given_up || region.views_in_use > 0 || span > kLargestViewInRegion) return nullptr;
  if (region.start != nullptr && region.used + span > kRegionBytes) {
    // Every view in it released: all given back at once, the addresses kept.
    if (mmap(region.start, kRegionBytes, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0) ==
        MAP_FAILED) {
      GiveBack(region);
    }
    region.used = 0;
  }
  if (region.start == nullptr) {
    // Under a low address-space limit this may fail; it is tried again at the
    // next file.
    void* const reserved = mmap(nullptr, kRegionBytes, PROT_NONE, kReserveFlags, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    region.start = static_cast<unsigned char*>(reserved);
    region.used = 0;
  }
  unsigned char* const place = region.start + region.used;
  if (mmap(place, size, PROT_READ, MAP_SHARED | MAP_FIXED | extra_flags, fd, 0) == MAP_FAILED) {
    // The failed call may have left the place reserved, or a hole there that
    // any mapping made since may fill: it is the region's no more. What lies
    // before and after it is given back, and views go elsewhere from now on.
    if (region.used > 0) munmap(region.start, region.used);
    munmap(place + span, kRegionBytes - region.used - span);
    region.start = nullptr;
    region.given_up = true;
    return nullptr;
  }
  region.used += span;
  ++region.views_in_use;
  return place;
}

}  // namespace

const unsigned char* MapView(int fd, std::size_t size, int extra_flags, bool& in_region) {
  Region& region = TheRegion();
  pthread_mutex_lock(&region.mutex);
  const unsigned char* view = MapInRegion(region, fd, size, extra_flags);
  in_region = view != nullptr;
  if (!in_region) {
    void* own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
    if (own == MAP_FAILED && errno == ENOMEM && region.start != nullptr &&
        region.views_in_use == 0) {
      // Under an address-space limit the region's reserve may be what is
      // missing: it makes way for the file.
      GiveBack(region);
      own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
    }
    view = own == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(own);
  }
  pthread_mutex_unlock(&region.mutex);
  return view;
}

void UnmapView(const unsigned char* view, std::size_t size, bool in_region) {
  if (!in_region) {
    munmap(const_cast<unsigned char*>(view), size);
    return;
  }
  Region& region = TheRegion();
  pthread_mutex_lock(&region.mutex);
  --region.views_in_use;
  pthread_mutex_unlock(&region.mutex);
}

}  // namespace artpeel::platform
