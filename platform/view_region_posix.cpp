// Taking a view out of the process (munmap) costs a flush of the processor's
// cache of the address map, the TLB: on a virtual machine a call into the host
// and, once helper threads have run, an interrupt to every processor the
// process ran on. One per cache file was more than half of a warm run. So the
// view of a small file goes into a region of address space reserved for views,
// at a fresh address, and stays there once released, out of use, until the
// region is full: then the whole region is given back and reserved afresh in
// one call, one flush for all the files it held.
//
// The walk maps into a region of its own. Views that helpers map ahead of the
// walk go into regions of their own, used in turn, so that a view held ahead
// for long never keeps the walk's region from being given back; each group has
// its own lock, and a view is released without one, so that the walk never
// waits for a helper's mmap. A region is given back only once no view in it is
// in use. The regions are small, since the pages of released views stay
// mapped (and counted as resident) until their region is given back, and hold
// their files. A file too large for them, one the walk maps while its region
// is full and a view in it in use, and every file after a view its group could
// not take get a view of their own; a view ahead that finds no room is not
// made.
#include "platform/view_region_posix.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace artpeel::platform {

namespace {

constexpr std::size_t kMostRegionsInAGroup = 3;
constexpr std::size_t kLargestViewInRegion = std::size_t{1} << 20;
constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS;

struct Region {
  unsigned char* start = nullptr;  // nullptr: none reserved
  std::size_t used = 0;            // from `start`, since reserved or given back
  // Where a mapping into it failed: left alone when the region is given back,
  // since any mapping made since may have filled it.
  unsigned char* hole = nullptr;
  std::size_t hole_bytes = 0;
  bool holes = false;  // more than one: the region stays reserved
  // Released without the group's lock, by the walk; taken under it. Read and
  // written with the compiler's atomics only (InUse, Take, Release): the C++
  // library's <atomic> needs the C library's GNU extensions, which the POSIX
  // layer is built without, as on macOS.
  std::size_t views_in_use = 0;
};

// The walk's region, or the regions for views ahead. Everything but
// `views_in_use` and `given_up` is kept under the lock. (std::mutex is not to
// be had where the layer is held to plain POSIX.)
struct RegionGroup {
  const std::size_t region_bytes;
  const std::size_t count;
  // A view's id (MappedFile::view_region): this plus its region's index.
  const std::uint8_t first_id;
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  Region region[kMostRegionsInAGroup];
  std::size_t current = 0;
  // A mapping failed: views go elsewhere, and each region goes once empty.
  bool given_up = false;  // read and written with the compiler's atomics

  RegionGroup(std::size_t bytes, std::size_t regions, std::uint8_t first)
      : region_bytes(bytes), count(regions), first_id(first) {}
};

struct Regions {
  RegionGroup walk{std::size_t{4} << 20, 1, 1};
  RegionGroup ahead{std::size_t{2} << 20, kMostRegionsInAGroup, 2};
};

std::size_t InUse(const Region& region) {
  return __atomic_load_n(&region.views_in_use, __ATOMIC_SEQ_CST);
}
void Take(Region& region) { __atomic_add_fetch(&region.views_in_use, 1, __ATOMIC_SEQ_CST); }
// The views still in use in `region` after one is released.
std::size_t Release(Region& region) {
  return __atomic_sub_fetch(&region.views_in_use, 1, __ATOMIC_SEQ_CST);
}
bool GivenUp(const RegionGroup& group) {
  return __atomic_load_n(&group.given_up, __ATOMIC_SEQ_CST);
}

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

void GiveBack(const RegionGroup& group, Region& region) {
  unsigned char* const end = region.start + group.region_bytes;
  if (region.holes) {
    // Two mmaps failed in it: it stays reserved, lest a mapping made since in
    // either place be taken out with it.
  } else if (region.hole == nullptr) {
    munmap(region.start, group.region_bytes);
  } else {
    if (region.hole > region.start) {
      munmap(region.start, static_cast<std::size_t>(region.hole - region.start));
    }
    unsigned char* const after = region.hole + region.hole_bytes;
    if (after < end) munmap(after, static_cast<std::size_t>(end - after));
  }
  region.start = region.hole = nullptr;
}

// Gives back the regions of the group that no view is in use in, the lock
// held; whether it gave back any.
bool GiveBackUnusedLocked(RegionGroup& group) {
  bool freed = false;
  for (std::size_t i = 0; i < group.count; ++i) {
    Region& each = group.region[i];
    if (each.start != nullptr && InUse(each) == 0) {
      GiveBack(group, each);
      freed = true;
    }
  }
  return freed;
}

// The failed call may have left the place reserved, or a hole there that any
// mapping made since may fill: the group's views go elsewhere from now on, and
// each region goes once no view in it is in use (here, or at the last
// release), all but the place.
void GiveUp(RegionGroup& group, Region& failed, unsigned char* place, std::size_t span) {
  failed.holes = failed.hole != nullptr;
  failed.hole = place;
  failed.hole_bytes = span;
  Release(failed);
  __atomic_store_n(&group.given_up, true, __ATOMIC_SEQ_CST);
  GiveBackUnusedLocked(group);
}

// Gives back the views in `region`, none of them in use, all at once, the
// addresses kept; or where that fails, the region itself.
void Empty(RegionGroup& group, Region& region) {
  if (region.start != nullptr &&
      mmap(region.start, group.region_bytes, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0) ==
          MAP_FAILED) {
    GiveBack(group, region);
  }
  region.used = 0;
}

// Whether the group's current region takes `span` bytes more (one not
// reserved yet takes any), the lock held.
bool CurrentHasRoom(const RegionGroup& group, std::size_t span) {
  const Region& current = group.region[group.current];
  return current.start == nullptr || current.used + span <= group.region_bytes;
}

std::size_t NextInTurn(const RegionGroup& group) { return (group.current + 1) % group.count; }

// The group's region with room for `span` bytes, reserved if it was not: the
// current one, or where it is full, the next in turn, emptied, if none of its
// views is in use. Nullptr where there is none.
Region* RegionWithRoom(RegionGroup& group, std::size_t span) {
  Region* region = &group.region[group.current];
  if (!CurrentHasRoom(group, span)) {
    region = &group.region[NextInTurn(group)];
    if (InUse(*region) > 0) return nullptr;
    group.current = NextInTurn(group);
    Empty(group, *region);
  }
  if (region->start == nullptr) {
    // Under a low address-space limit this may fail; it is tried again at the
    // next file.
    void* const reserved = mmap(nullptr, group.region_bytes, PROT_NONE, kReserveFlags, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    region->start = static_cast<unsigned char*>(reserved);
    region->used = 0;
  }
  return region;
}

// The view in one of the group's regions, its id in `view_region`, or nullptr
// where the group does not take it. The place is taken, and counted in use,
// under the lock; the mmap into it is made after, so that helpers mapping at
// once do not wait on each other.
const unsigned char* MapInGroup(RegionGroup& group, int fd, std::size_t size, int extra_flags,
                                std::uint8_t& view_region) {
  const std::size_t span = PageRounded(size);
  if (span > kLargestViewInRegion) return nullptr;
  pthread_mutex_lock(&group.mutex);
  Region* const region = GivenUp(group) ? nullptr : RegionWithRoom(group, span);
  unsigned char* place = nullptr;
  if (region != nullptr) {
    place = region->start + region->used;
    region->used += span;
    Take(*region);
  }
  pthread_mutex_unlock(&group.mutex);
  if (region == nullptr) return nullptr;
  if (mmap(place, size, PROT_READ, MAP_SHARED | MAP_FIXED | extra_flags, fd, 0) == MAP_FAILED) {
    const int error = errno;
    pthread_mutex_lock(&group.mutex);
    GiveUp(group, *region, place, span);
    pthread_mutex_unlock(&group.mutex);
    errno = error;
    return nullptr;
  }
  view_region = static_cast<std::uint8_t>(group.first_id + (region - group.region));
  return place;
}

bool GiveBackUnused(RegionGroup& group) {
  pthread_mutex_lock(&group.mutex);
  const bool freed = GiveBackUnusedLocked(group);
  pthread_mutex_unlock(&group.mutex);
  return freed;
}

}  // namespace

const unsigned char* MapView(int fd, std::size_t size, int extra_flags,
                             std::uint8_t& view_region) {
  Regions& regions = TheRegions();
  view_region = 0;
  const unsigned char* const view = MapInGroup(regions.walk, fd, size, extra_flags, view_region);
  if (view != nullptr) return view;
  void* own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
  if (own == MAP_FAILED && errno == ENOMEM) {
    // Under an address-space limit the regions' reserve may be what is
    // missing: what no view is in use in makes way for the file.
    const bool freed_walks = GiveBackUnused(regions.walk);
    if (GiveBackUnused(regions.ahead) || freed_walks) {
      own = mmap(nullptr, size, PROT_READ, MAP_SHARED | extra_flags, fd, 0);
    }
  }
  return own == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(own);
}

bool RoomAhead(std::size_t size) {
  RegionGroup& group = TheRegions().ahead;
  const std::size_t span = PageRounded(size);
  pthread_mutex_lock(&group.mutex);
  const bool room = !GivenUp(group) && (CurrentHasRoom(group, span) ||
                                        InUse(group.region[NextInTurn(group)]) == 0);
  pthread_mutex_unlock(&group.mutex);
  return room;
}

const unsigned char* MapViewAhead(int fd, std::size_t size, std::uint8_t& view_region) {
  Regions& regions = TheRegions();
  view_region = 0;
  return MapInGroup(regions.ahead, fd, size, 0, view_region);
}

void UnmapView(const unsigned char* view, std::size_t size, std::uint8_t view_region) {
  if (view_region == 0) {
    munmap(const_cast<unsigned char*>(view), size);
    return;
  }
  Regions& regions = TheRegions();
  RegionGroup& group = view_region < regions.ahead.first_id ? regions.walk : regions.ahead;
  Region& region = group.region[view_region - group.first_id];
  // The last view out of a region its group gave up on takes the region with
  // it. (GiveUp sets given_up before it looks at views_in_use, and this looks
  // at given_up after its decrement: one of the two sees the other.)
  if (Release(region) > 0 || !GivenUp(group)) return;
  pthread_mutex_lock(&group.mutex);
  if (region.start != nullptr && InUse(region) == 0) GiveBack(group, region);
  pthread_mutex_unlock(&group.mutex);
}

}  // namespace artpeel::platform
