// The folder walk: finds the cache files below a folder and hands each to the reader.
#pragma once

namespace artpeel {

struct Progress;

// Walks every folder below `folder`, depth-first in the platform's listing order.
// For each subfolder it first dumps the cache files directly in it, then walks
// it. A folder that links lead to by several ways is walked once, on the first
// way the walk takes to it. Cache files directly in `folder` itself are not
// dumped. Adds nothing to the report: what it cannot do (folders it cannot list
// or passes over, cache files directly in `folder`) it says on standard error,
// one line each. The dumps are counted in `progress`, which is kept up to date
// on the terminal.
void DumpFolder(const char* folder, Progress& progress);

}  // namespace artpeel
