#include "cache/image_export.h"

#include <cinttypes>
#include <cstdio>

#include "cache/itc2_format.h"
#include "cache/report.h"
#include "platform/platform.h"

namespace artpeel {

void FormatOutputName(const CacheItem& item, char (&name)[kOutputNameCapacity]) {
  std::size_t used = 0;
  for (const std::uint8_t byte : item.ImageKey) {
    used += static_cast<std::size_t>(
        std::snprintf(name + used, sizeof name - used, "%02X", static_cast<unsigned>(byte)));
  }
  const char* extension = item.FormatCode == kFormatPng ? ".png" : ".dat";
  std::snprintf(name + used, sizeof name - used, "-%02" PRId64 "-%" PRId32 "x%" PRId32 "%s",
                item.ItemIndex, item.Width, item.Height, extension);
}

bool ExportImage(const CacheItem& item, DumpTally& tally) {
  const bool is_png = item.FormatCode == kFormatPng;
  if (!is_png) {
    PrintReport("\t\t[%2" PRId64 "] unknown file format: %08X\n", item.ItemIndex,
                static_cast<unsigned>(item.FormatCode));
  }
  char name[kOutputNameCapacity];
  FormatOutputName(item, name);

  const ByteView& payload = item.Payload;
  // The line that says the image is written goes into the report in the step
  // that puts it under its name (platform::WriteFileReplacing).
  char written_line[kOutputNameCapacity + 96];
  const int written_length = std::snprintf(
      written_line, sizeof written_line, "\t\t[%2" PRId64 "] wrote %s image to file '%s'(%" PRIu64 ")\n",
      item.ItemIndex, is_png ? "PNG" : "Unknown", name, payload.size);
  switch (platform::WriteFileReplacing(
      name, payload.data, payload.size, payload.file_handle, payload.file_offset,
      {written_line, static_cast<std::size_t>(written_length)})) {
    case platform::WriteStatus::kCreateFailed:
      PrintReport("\t\t[%2" PRId64 "] unable to create file '%s'\n", item.ItemIndex, name);
      ++tally.images_not_written;
      return true;
    case platform::WriteStatus::kWriteFailed:
      PrintReport("\t\t[%2" PRId64 "] unable to write file '%s'\n", item.ItemIndex, name);
      ++tally.images_not_written;
      return true;
    case platform::WriteStatus::kSourceCut:
      // The reader reports the cache file cut short; the image file is fine.
      ++tally.images_not_written;
      return false;
    case platform::WriteStatus::kWritten:
      ++tally.images_written;
      tally.image_bytes_written += payload.size;
      return true;
  }
  return true;
}

}  // namespace artpeel
