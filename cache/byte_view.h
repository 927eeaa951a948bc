// The one way the reader touches a cache file's bytes. A ByteView is a read-only
// window on the mapped file; the functions below never read outside it, whatever
// offsets a hostile file makes the reader ask for.
#pragma once

#include <cstdint>

namespace artpeel {

struct ByteView {
  const unsigned char* data = nullptr;
  std::uint64_t size = 0;
  // The open cache file the bytes were mapped from and where in it they start;
  // -1 when they are not a file's. Lets an image be copied from the file by the
  // system, without the process reading its bytes through the mapping.
  std::intptr_t file_handle = -1;
  std::uint64_t file_offset = 0;
};

// True when the `count` bytes starting at `offset` all lie inside `view`.
constexpr bool Contains(ByteView view, std::uint64_t offset, std::uint64_t count) {
  return offset <= view.size && count <= view.size - offset;
}

// The byte at `offset`, or zero past the end: a short file reads as if padded
// with zero bytes, as a mapped page past a file's end does on Windows.
constexpr std::uint8_t ByteAt(ByteView view, std::uint64_t offset) {
  return offset < view.size ? view.data[offset] : std::uint8_t{0};
}

// The big-endian 32-bit number at `offset` (zero-padded past the end, also
// where offset + 3 would wrap around).
constexpr std::uint32_t ReadBE32(ByteView view, std::uint64_t offset) {
  std::uint32_t value = 0;
  for (std::uint64_t i = 0; i < 4; ++i) {
    const bool past_end = offset + i < offset;
    value = value << 8 | (past_end ? std::uint8_t{0} : ByteAt(view, offset + i));
  }
  return value;
}

// The `count` bytes at `offset` as a view of their own, or false when they do
// not all lie inside `view`.
constexpr bool SubView(ByteView view, std::uint64_t offset, std::uint64_t count,
                       ByteView* part) {
  if (!Contains(view, offset, count)) return false;
  *part = ByteView{view.data + offset, count, view.file_handle, view.file_offset + offset};
  return true;
}

}  // namespace artpeel
