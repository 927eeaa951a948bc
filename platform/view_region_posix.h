// Views of cache files mapped at fresh addresses in a region of reserved
// address space and given back together (view_region_posix.cpp): the POSIX
// layer's mmap and munmap of a cache file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace artpeel::platform {

// A read-only shared view of the first `size` bytes of the file open at `fd`,
// mmap's `extra_flags` (MAP_POPULATE) added, or nullptr with errno from the
// mmap that failed. `in_region` says whether it lies in the region.
const unsigned char* MapView(int fd, std::size_t size, int extra_flags, bool& in_region);

// A view in a region for a helper of the look-ahead, or nullptr where neither
// region has room: a view of its own would cost the flush the regions save.
const unsigned char* MapViewAhead(int fd, std::size_t size);

// Gives back a view of MapView: one in the region goes with the region.
void UnmapView(const unsigned char* view, std::size_t size, bool in_region);

}  // namespace artpeel::platform
