// The cache file reader: maps one cache file that the walk opened, prints its
// report (a line for the file, its header's lines, then a line or more for
// each record) and hands every image stored in the file itself to
// ExportImage. Its bytes are read only through ByteView, which never reads
// past the file's end, and a record or image that would reach past it gets a
// line of its own instead of being used.
#include "cache/cache_reader.h"

#include <cinttypes>
#include <cstring>

#include "cache/image_export.h"
#include "cache/itc2_format.h"
#include "cache/report.h"
#include "platform/platform.h"

namespace artpeel {

namespace {

void PrintItemLine(std::int64_t index, const char* text) {
  PrintReport("\t\t[%2" PRId64 "] %s\n", index, text);
}

// Hands a "locl" item to the export once its payload is known to lie inside the
// file; reports the item instead when it does not. False when the file was
// found cut short under the export.
bool ExportLocalItem(ByteView file, std::uint64_t record, const CacheItemHeader& header,
                     std::int64_t index, DumpTally& tally) {
  if (header.HeaderLength > header.ItemLength) {
    PrintItemLine(index, "header is longer than the item");
    return true;
  }
  CacheItem item{
      .ItemIndex = index,
      .ImageKey = header.ImageKey,
      .FormatCode = header.FormatCode,
      .Width = static_cast<std::int32_t>(header.Width),
      .Height = static_cast<std::int32_t>(header.Height),
      .Payload = {},
  };
  if (!SubView(file, record + header.HeaderLength, header.ItemLength - header.HeaderLength,
               &item.Payload)) {
    PrintItemLine(index, "runs past the end of the file");
    return true;
  }
  return ExportImage(item, tally);
}

// What a guarded read hands back; its frames may be abandoned part way, so the
// counts go straight to the caller's tally, which outlives them.
struct MappedRead {
  DumpTally* tally;
  bool whole = false;  // no image's bytes were found gone
};

void DumpMappedContents(const platform::MappedFile& file, void* context) {
  auto& read = *static_cast<MappedRead*>(context);
  read.whole = DumpCacheContents(ByteView{file.data, file.size, file.file_handle, 0}, *read.tally);
}

}  // namespace

const char* DisplayName(const char* path) {
  const char* last_separator = std::strrchr(path, platform::kPathSeparator);
  return last_separator != nullptr ? last_separator + 1 : path;
}

bool DumpCacheContents(ByteView file, DumpTally& tally) {
  const CacheFileHeader header = ReadCacheFileHeader(file);
  if (header.Signature != kSignatureItch) {
    PrintReport("\tisn't a ITC2 file\n");
    return true;
  }
  if (header.HeaderFlags != kExpectedHeaderFlags) {
    PrintReport("\tdifferent header flags detected!\n");
  }
  if (header.ContentTag != kContentArtwork) {
    PrintReport("\tdoesn't contain artwork\n");
    return true;
  }
  PrintReport("\tdumping items...\n");

  std::uint64_t record = header.HeaderLength;
  for (std::int64_t index = 1; record < file.size; ++index) {
    if (!Contains(file, record, kRecordPrefixSize)) {
      PrintItemLine(index, "runs past the end of the file");
      return true;
    }
    const CacheItemHeader item = ReadCacheItemHeader(file, record);
    if (item.ItemTag != kItemTagItem) {
      PrintItemLine(index, "is not an item");
    } else {
      if (!Contains(file, record, kCacheItemHeaderSize)) {
        PrintItemLine(index, "runs past the end of the file");
        return true;
      }
      if (item.Unknowns_1 != kExpectedUnknowns1) {
        PrintItemLine(index, "different Unknowns_1s detected!");
      }
      if (item.HeaderLength != kExpectedItemHeaderLength) {
        PrintItemLine(index, "different header Lengths detected.");
      }
      if (item.Location == kLocationLocal) {
        if (!ExportLocalItem(file, record, item, index, tally)) return false;
      } else {
        PrintReport("\t\t[%2" PRId64 "] unknown file location %08X\n", index,
                    static_cast<unsigned>(item.Location));
      }
    }
    // A zero length would leave the walk standing on this record forever.
    if (item.ItemLength == 0) {
      PrintItemLine(index, "has zero length; skipping the rest of the file");
      return true;
    }
    record += item.ItemLength;
  }
  return true;
}

namespace {

// Reads what the reader reads of a file, up to the images: its header and, if
// it holds artwork, the header of each record in its chain. What it read goes to
// `context`, so that the reads are not left out.
void ReadHeaders(const platform::MappedFile& file, void* context) {
  const ByteView view{file.data, file.size};
  const CacheFileHeader header = ReadCacheFileHeader(view);
  std::uint32_t read = header.Signature;
  if (header.Signature == kSignatureItch && header.ContentTag == kContentArtwork) {
    for (std::uint64_t record = header.HeaderLength;
         record < view.size && Contains(view, record, kRecordPrefixSize);) {
      const CacheItemHeader item = ReadCacheItemHeader(view, record);
      read ^= item.ItemLength ^ item.Location;
      if (item.ItemLength == 0) break;
      record += item.ItemLength;
    }
  }
  *static_cast<std::uint32_t*>(context) = read;
}

}  // namespace

void BringHeadersIn(const platform::MappedFile& file) {
  if (file.data == nullptr) return;
  std::uint32_t read = 0;
  platform::ReadMappedFileGuarded(file, ReadHeaders, &read);
}

void DumpCacheFile(const char* path, platform::MappedFile file, DumpTally& tally) {
  if (file.status == platform::MapStatus::kOpened) platform::MapOpenedFile(file);
  switch (file.status) {
    case platform::MapStatus::kOpenFailed:
      PrintReport("Unable to open '%s' Error code: 0x%08X\n", path,
                  static_cast<unsigned>(file.error_code));
      break;
    case platform::MapStatus::kMapFailed:
      PrintReport("Unable to map file '%s'\n", path);
      break;
    case platform::MapStatus::kViewFailed:
      PrintReport("Unable to map view of file '%s'\n", path);
      break;
    case platform::MapStatus::kOpened:  // mapped above
    case platform::MapStatus::kMapped:
      DumpMappedCacheFile(path, file, tally);
      return;
  }
  // Counted after its line, as every count is: a run that ends between the
  // two counts what its report names.
  ++tally.cache_files_not_read;
}

void DumpMappedCacheFile(const char* path, platform::MappedFile& file, DumpTally& tally) {
  PrintReport("Dumping contents of %s:\n", DisplayName(path));
  ++tally.cache_files_read;
  // A page of the view lost under the reader faults; an image's bytes lost
  // under the kernel's copy make the export stop. Either way the file was cut.
  MappedRead read{&tally};
  if (!platform::ReadMappedFileGuarded(file, DumpMappedContents, &read) || !read.whole) {
    PrintReport("\tfile was truncated while being read\n");
  }
  platform::ReleaseMappedFile(file);
}

}  // namespace artpeel
