// Builds ITC2 artwork cache files byte by byte.
//
// Used by the tests and the fuzzer's corpus writer to craft well-formed and
// deliberately broken cache files. Every field of both headers can be
// overridden; the writer never "fixes" a value, it writes exactly what the
// FileHeaderSpec and ItemSpec fields say.
//
// Layout written (all integers unsigned 32-bit big-endian, tags 4 bytes in
// file order):
//
//   file header (28 bytes, then zero padding up to HeaderLength):
//     0 HeaderLength   4 Signature   8..23 HeaderFlags[4]   24 ContentTag
//
//   record header (64 bytes, then zero padding up to HeaderLength):
//     0 ItemLength   4 ItemTag   8 HeaderLength   12..27 Unknowns_1[4]
//     28..35 zero    36..43 ImageKey   44 Location   48 FormatCode
//     52..55 zero    56 Width   60 Height
//   followed by the payload.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace artpeel::tools {

inline constexpr uint32_t kFileHeaderSize = 28;
inline constexpr uint32_t kItemHeaderSize = 64;
inline constexpr uint32_t kDefaultItemHeaderLength = 208;
inline constexpr uint32_t kFormatPng = 0x504E4766;   // "PNGf"
inline constexpr uint32_t kFormatJpeg = 0x4A504567;  // "JPEg", not a format the tool knows

struct FileHeaderSpec {
  uint32_t HeaderLength = kFileHeaderSize;  // offset of the first record
  std::array<uint8_t, 4> Signature = {'i', 't', 'c', 'h'};
  std::array<uint32_t, 4> HeaderFlags = {2, 2, 2, 0};
  std::array<uint8_t, 4> ContentTag = {'a', 'r', 't', 'w'};
};

struct ItemSpec {
  // Default: HeaderLength + Payload.size(), i.e. the record ends right after
  // its payload when HeaderLength >= 64.
  std::optional<uint32_t> ItemLength;
  std::array<uint8_t, 4> ItemTag = {'i', 't', 'e', 'm'};
  uint32_t HeaderLength = kDefaultItemHeaderLength;  // where the payload starts
  std::array<uint32_t, 4> Unknowns_1 = {1, 2, 1, 0};
  std::array<uint8_t, 8> ImageKey = {};
  std::array<uint8_t, 4> Location = {'l', 'o', 'c', 'l'};
  uint32_t FormatCode = kFormatPng;
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::vector<uint8_t> Payload;
};

// Four tag bytes from a four-letter string literal: Tag("free").
constexpr std::array<uint8_t, 4> Tag(const char (&text)[5]) {
  return {static_cast<uint8_t>(text[0]), static_cast<uint8_t>(text[1]),
          static_cast<uint8_t>(text[2]), static_cast<uint8_t>(text[3])};
}

// Eight key bytes holding `value` big-endian, so that the key's hex digits in
// file order read like the number: KeyFromU64(0x0123456789ABCDEF) gives the
// bytes 01 23 45 67 89 AB CD EF.
std::array<uint8_t, 8> KeyFromU64(uint64_t value);

// The key the tests give an image when its key does not matter.
inline constexpr uint64_t kSampleKey = 0x0123456789ABCDEF;

// A well-formed record holding a PNG image stored in the cache file: `payload`
// as the image's bytes, under `key`, `width` by `height` pixels.
ItemSpec PngItem(std::string_view payload, uint64_t key = kSampleKey, uint32_t width = 600,
                 uint32_t height = 600);

void AppendBE32(std::vector<uint8_t>& out, uint32_t value);

// Overwrites four bytes at `offset` with `value` big-endian. `out` must
// already hold offset + 4 bytes.
void StoreBE32(std::vector<uint8_t>& out, size_t offset, uint32_t value);

// Appends the 28-byte file header, then zero padding up to HeaderLength if
// HeaderLength > 28. A HeaderLength below 28 still writes all 28 bytes.
void AppendFileHeader(std::vector<uint8_t>& out, const FileHeaderSpec& header = {});

// Appends one record: the 64-byte record header, zero padding up to
// HeaderLength (when HeaderLength > 64), then the payload.
//
// The fields are written as given even when they disagree with each other or
// with the bytes that follow:
//  - HeaderLength < 64 still writes all 64 header bytes and then the payload,
//    so a reader that trusts HeaderLength sees part of the header as payload
//    (and, with the default ItemLength, misses the payload's last bytes);
//  - an explicit ItemLength is written as is and does not change how many
//    bytes are appended (64 or HeaderLength, plus the payload).
// Payloads of 4 GiB or more are not supported (the default ItemLength wraps).
void AppendItem(std::vector<uint8_t>& out, const ItemSpec& item);

// The number of bytes AppendItem appends for `item`.
size_t AppendedItemSize(const ItemSpec& item);

// A cache file: the file header followed by the given records, back to back.
// Well-formed when the header and the records keep their default layout.
std::vector<uint8_t> BuildCacheFile(const std::vector<ItemSpec>& items,
                                    const FileHeaderSpec& header = {});

// Writes `bytes` to `path` in binary mode, creating or truncating the file.
// Returns false when the file cannot be created or not all bytes get written.
bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace artpeel::tools
