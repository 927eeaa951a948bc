// Windows refuses to cut short a file while a mapping of it exists, and the
// reader holds the cache file open without sharing besides: the pages of a mapped
// cache file cannot vanish under the reader, so the guard just runs the reading.
#include "platform/platform.h"

namespace artpeel::platform {

bool ReadMappedFileGuarded(const MappedFile& file,
                           void (*read_file)(const MappedFile& file, void* context),
                           void* context) {
  read_file(file, context);
  return true;
}

}  // namespace artpeel::platform
