// Reading one ITC2 artwork cache file and handing its local images to the export.
#pragma once

#include <array>
#include <cstdint>

#include "cache/byte_view.h"
#include "cache/report.h"

namespace artpeel {

// One locally stored image, as the reader hands it to ExportImage. Payload points
// into the mapped cache file and is valid only during that call.
struct CacheItem {
  std::int64_t ItemIndex;  // 1-based number of the record in its cache file
  std::array<std::uint8_t, 8> ImageKey;
  std::uint32_t FormatCode;
  std::int32_t Width;
  std::int32_t Height;
  ByteView Payload;
};

namespace platform {
struct MappedFile;
}

// Dumps the cache file at `path`, which the walk has opened, and mapped, for it
// (platform::OpenFileReadOnly, MapOpenedFile) or whose open or map failed: maps
// it if it is not yet, reports its header and every record on standard output,
// exports each locally stored image to the current directory, and releases the
// file, counting in `tally` what it did. Failures are reported as lines; it
// never stops the program.
void DumpCacheFile(const char* path, platform::MappedFile file, DumpTally& tally);

// What DumpCacheFile does once `file` is mapped: prints the file's "Dumping
// contents" line, reads it, and releases it. A file cut short while it is read
// is reported, and the walk goes on. Open to the tests, which change the file
// between mapping and reading.
void DumpMappedCacheFile(const char* path, platform::MappedFile& file, DumpTally& tally);

// Reads the headers of a file a helper mapped ahead of its turn
// (platform::MapAhead), the file's and its records', as the reader will, so
// that their pages are in the process's address map at the file's turn: on
// some virtual machines a page's first read costs as much as a small file's
// copy. Nothing is printed or written. A page lost meanwhile (the file cut
// short) ends it quietly; the reader meets the loss at the file's turn.
void BringHeadersIn(const platform::MappedFile& file);

// The reader's work on bytes already in memory: everything DumpCacheFile prints
// after the file's "Dumping contents" line, and the images it counts. False
// when an image's bytes were found gone from the file (cut short meanwhile),
// where it stops.
bool DumpCacheContents(ByteView file, DumpTally& tally);

// The part of `path` after its last path separator.
const char* DisplayName(const char* path);

}  // namespace artpeel
