// Views of cache files mapped at fresh addresses in a region of reserved
// address space and given back together (view_region_posix.cpp): the POSIX
// layer's mmap and munmap of a cache file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace artpeel::platform {

// A read-only shared view of the first `size` bytes of the file open at `fd`,
// mmap's `extra_flags` (MAP_POPULATE) added, or nullptr with errno from the
// mmap that failed. `view_region` says which region holds it, 0 for none.
const unsigned char* MapView(int fd, std::size_t size, int extra_flags,
                             std::uint8_t& view_region);

// A view in a region kept for helpers of the look-ahead, or nullptr where none
// has room: a view of its own would cost the flush the regions save.
const unsigned char* MapViewAhead(int fd, std::size_t size, std::uint8_t& view_region);

// Whether a view ahead of `size` bytes would find room now: a hint, since
// helpers map at once.
bool RoomAhead(std::size_t size);

// Gives back a view of MapView or MapViewAhead: one in a region goes with the
// region.
void UnmapView(const unsigned char* view, std::size_t size, std::uint8_t view_region);

}  // namespace artpeel::platform
