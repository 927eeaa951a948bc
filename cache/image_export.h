// Writing one locally stored image to a file of its own in the current directory.
#pragma once

#include <cstddef>

#include "cache/cache_reader.h"

namespace artpeel {

// Room for the longest name the output format can produce, with plenty to spare.
inline constexpr std::size_t kOutputNameCapacity = 200;

// Builds the output name: the key as sixteen hex digits, then
// "-<index>-<width>x<height>" and ".png" or ".dat".
void FormatOutputName(const CacheItem& item, char (&name)[kOutputNameCapacity]);

// Names the image, writes it to the current directory, reports the result and
// counts it in `tally`. False when the image's bytes were gone from the cache
// file as it was written (cut short meanwhile): nothing is written or
// reported for it, and the file is not to be read further.
bool ExportImage(const CacheItem& item, DumpTally& tally);

}  // namespace artpeel
