// The layout of an ITC2 artwork cache file: a file header, then a chain of
// records running to the end of the file. Every integer is big-endian 32-bit;
// four-character tags are kept as the big-endian number of their four bytes, so
// comparing numbers compares the bytes in file order.
#pragma once

#include <array>
#include <cstdint>

#include "cache/byte_view.h"

namespace artpeel {

constexpr std::uint32_t FourCC(const char (&tag)[5]) {
  return std::uint32_t{static_cast<unsigned char>(tag[0])} << 24 |
         std::uint32_t{static_cast<unsigned char>(tag[1])} << 16 |
         std::uint32_t{static_cast<unsigned char>(tag[2])} << 8 |
         std::uint32_t{static_cast<unsigned char>(tag[3])};
}

inline constexpr std::uint32_t kSignatureItch = FourCC("itch");
inline constexpr std::uint32_t kContentArtwork = FourCC("artw");
inline constexpr std::uint32_t kItemTagItem = FourCC("item");
inline constexpr std::uint32_t kLocationLocal = FourCC("locl");
inline constexpr std::uint32_t kFormatPng = FourCC("PNGf");

inline constexpr std::array<std::uint32_t, 4> kExpectedHeaderFlags = {2, 2, 2, 0};
inline constexpr std::array<std::uint32_t, 4> kExpectedUnknowns1 = {1, 2, 1, 0};
inline constexpr std::uint32_t kExpectedItemHeaderLength = 208;

// Bytes a record needs before its end for its length and tag to be read, and for
// the whole fixed item header.
inline constexpr std::uint64_t kRecordPrefixSize = 8;
inline constexpr std::uint64_t kCacheItemHeaderSize = 64;

// At file offset 0.
struct CacheFileHeader {
  std::uint32_t HeaderLength;  // offset of the first record
  std::uint32_t Signature;
  std::array<std::uint32_t, 4> HeaderFlags;
  std::uint32_t ContentTag;
};

// At the start of every record; offsets are from the record's first byte.
struct CacheItemHeader {
  std::uint32_t ItemLength;    // the whole record, header included
  std::uint32_t ItemTag;
  std::uint32_t HeaderLength;  // where the payload starts
  std::array<std::uint32_t, 4> Unknowns_1;
  std::array<std::uint8_t, 8> ImageKey;
  std::uint32_t Location;
  std::uint32_t FormatCode;
  std::uint32_t Width;
  std::uint32_t Height;
};

// Bytes past the end of the file read as zero: the caller decides, by the file's
// size, which fields it may trust.
constexpr CacheFileHeader ReadCacheFileHeader(ByteView file) {
  return CacheFileHeader{
      .HeaderLength = ReadBE32(file, 0),
      .Signature = ReadBE32(file, 4),
      .HeaderFlags = {ReadBE32(file, 8), ReadBE32(file, 12), ReadBE32(file, 16),
                      ReadBE32(file, 20)},
      .ContentTag = ReadBE32(file, 24),
  };
}

constexpr CacheItemHeader ReadCacheItemHeader(ByteView file, std::uint64_t record) {
  CacheItemHeader header{
      .ItemLength = ReadBE32(file, record + 0),
      .ItemTag = ReadBE32(file, record + 4),
      .HeaderLength = ReadBE32(file, record + 8),
      .Unknowns_1 = {ReadBE32(file, record + 12), ReadBE32(file, record + 16),
                     ReadBE32(file, record + 20), ReadBE32(file, record + 24)},
      .ImageKey = {},
      .Location = ReadBE32(file, record + 44),
      .FormatCode = ReadBE32(file, record + 48),
      .Width = ReadBE32(file, record + 56),
      .Height = ReadBE32(file, record + 60),
  };
  for (std::uint64_t i = 0; i < header.ImageKey.size(); ++i) {
    header.ImageKey[i] = ByteAt(file, record + 36 + i);
  }
  return header;
}

}  // namespace artpeel
