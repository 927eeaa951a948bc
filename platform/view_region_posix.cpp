// Taking a view out of the process (munmap) costs a flush of the processor's
// cache of the address map, the TLB: on a virtual machine a call into the host
// and, once helper threads have run, an interrupt to every processor the
// process ran on. One per cache file was more than half of a warm run. So the
// view of a small file goes into a region of address space reserved for views,
// at a fresh address, and stays there once released, out of use, until the
// region is full: then the whole region is given back and reserved afresh in
// one call, one flush for all the files it held.
//
// The walk maps into a region of its own, one view at a time. Views that
// helpers map ahead of the walk go into regions of their own, used in turn, so
// that a view held ahead for long never keeps the walk's region from being
// given back. A region is given back only once no view in it is in use. The
// regions are small, since the pages of released views stay mapped (and
// counted as resident) until their region is given back, and hold their
// files. A file too large for them, one the walk maps while its region is full
// and a view in it in use, and every file after a view the regions could not
// take get a view of their own; a view ahead that finds no room is not made.
#include "platform/view_region_posix.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace artpeel::platform {

namespace {

constexpr std::size_t kWalkRegionBytes = std::size_t{4} << 20;
constexpr std::size_t kAheadRegionBytes = std::size_t{2} << 20;
constexpr std::size_t kAheadRegionCount = 3;
constexpr std::size_t kLargestViewInRegion = std::size_t{1} << 20;
constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS;

struct Region {
  std::size_t bytes = kAheadRegionBytes;
  unsigned char* start = nullptr;  // nullptr: none reserved
  std::size_t used = 0;            // from `start`, since reserved or given back
  std::size_t views_in_use = 0;
  // What is given back once the regions are given up: all of it, or for the
  // region whose mapping failed, the part before the place it failed at.
  std::size_t bytes_to_give_back = kAheadRegionBytes;
};

// The process's regions, as its address space is one: the walk's first, then
// those for views ahead. (std::mutex is not to be had where the layer is held
// to plain POSIX.)
struct Regions {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  Region region[1 + kAheadRegionCount] = {{kWalkRegionBytes, nullptr, 0, 0, kWalkRegionBytes}};
  std::size_t current_ahead = 1;
  bool given_up = false;
};

// Never destroyed: a helper still in a slow call when the process exits may map
// ahead while the exit runs, and must find the regions as they were. The
// system takes them back with the process.
Regions& TheRegions() {
  static Regions& regions = *new Regions;
  return regions;
}

std::size_t PageRounded(std::size_t size) {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

void GiveBack(Region& region) {
  munmap(region.start, region.bytes_to_give_back);
  region.start = nullptr;
}

// The region that holds `view`, or nullptr.
Region* RegionOf(Regions& regions, const unsigned char* view) {
  for (Region& each : regions.region) {
    if (each.start != nullptr && view >= each.start && view < each.start + each.bytes) {
      return &each;
    }
  }
  return nullptr;
}

// The failed call may have left the place reserved, or a hole there that any
// mapping made since may fill: views go elsewhere from now on. What lies after
// the place was never used and goes now; the rest of each region goes once no
// view in it is in use.
void GiveUp(Regions& regions, Region& failed, unsigned char* place, std::size_t span) {
  munmap(place + span, static_cast<std::size_t>(failed.start + failed.bytes - (place + span)));
  failed.bytes_to_give_back = static_cast<std::size_t>(place - failed.start);
  if (failed.bytes_to_give_back == 0) failed.start = nullptr;
  regions.given_up = true;
  for (Region& each : regions.region) {
    if (each.start != nullptr && each.views_in_use == 0) GiveBack(each);
  }
}

// Gives back the views in `region`, none of them in use, all at once, the
// addresses kept; or where that fails, the region itself.
void Empty(Region& region) {
  if (region.start != nullptr &&
      mmap(region.start, region.bytes, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0) ==
          MAP_FAILED) {
    GiveBack(region);
  }
  region.used = 0;
}

// The region with room for `span` bytes, reserved if it was not: the walk's
// own, emptied when full while none of its views is in use; ahead, the current
// one or the next in turn, emptied, when none of its views is in use. Nullptr
// where there is none.
Region* RegionWithRoom(Regions& regions, std::size_t span, bool ahead) {
  Region* region = &regions.region[ahead ? regions.current_ahead : 0];
  if (region->start != nullptr && region->used + span > region->bytes) {
    if (ahead) {
      const std::size_t next = regions.current_ahead % kAheadRegionCount + 1;
      region = &regions.region[next];
      if (region->views_in_use > 0) return nullptr;
      regions.current_ahead = next;
    } else if (region->views_in_use > 0) {
      return nullptr;
    }
    Empty(*region);
  }
  if (region->start == nullptr) {
    // Under a low address-space limit this may fail; it is tried again at the
    // next file.
    void* const reserved = mmap(nullptr, region->bytes, PROT_NONE, kReserveFlags, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    region->start = static_cast<unsigned char*>(reserved);
    region->used = 0;
  }
  return region;
}

// The view in a region, or nullptr where the regions do not take it.
const unsigned char* MapInRegion(Regions& regions, int fd, std::size_t size, int extra_flags,
                                 bool ahead) {
  const std::size_t span = PageRounded(size);
  if (regions.given_up || span > kLargestViewInRegion) return nullptr;
  Region* const region = RegionWithRoom(regions, span, ahead);
  if (region == nullptr) return nullptr;
  unsigned char* const place = region->start + region->used;
  if (mmap(place, size, PROT_READ, MAP_SHARED | MAP_FIXED | extra_flags, fd, 0) == MAP_FAILED) {
    const int error = errno;
    GiveUp(regions, *region, place, span);
    errno = error;
    return nullptr;
  }
  region->used += span;
  ++region->views_in_use;
  return place;
}

}  // namespace

const unsigned char* MapView(int fd, std::size_t size, int extra_flags, bool& in_region) {
  Regions& regions = TheRegions();
  pthread_mutex_lock(&regions.mutex);
  const unsigned char* view = MapInRegion(regions, fd, size, extra_flags, false);
  in_region = view != nullptr;
  if (!in_region) {
    void* own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
    if (own == MAP_FAILED && errno == ENOMEM) {
      // Under an address-space limit the regions' reserve may be what is
      // missing: what no view is in use in makes way for the file.
      bool freed = false;
      for (Region& each : regions.region) {
        if (each.start != nullptr && each.views_in_use == 0) {
          GiveBack(each);
          freed = true;
        }
      }
      if (freed) own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
    }
    view = own == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(own);
  }
  pthread_mutex_unlock(&regions.mutex);
  return view;
}

const unsigned char* MapViewAhead(int fd, std::size_t size) {
  Regions& regions = TheRegions();
  pthread_mutex_lock(&regions.mutex);
  const unsigned char* const view = MapInRegion(regions, fd, size, 0, true);
  pthread_mutex_unlock(&regions.mutex);
  return view;
}

void UnmapView(const unsigned char* view, std::size_t size, bool in_region) {
  if (!in_region) {
    munmap(const_cast<unsigned char*>(view), size);
    return;
  }
  Regions& regions = TheRegions();
  pthread_mutex_lock(&regions.mutex);
  Region* const region = RegionOf(regions, view);
  if (region != nullptr && --region->views_in_use == 0 && regions.given_up) GiveBack(*region);
  pthread_mutex_unlock(&regions.mutex);
}

}  // namespace artpeel::platform
