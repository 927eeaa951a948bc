// artpeel: dumps the images stored in the artwork cache files below the folders
// named on the command line into the current directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "cache/report.h"
#include "cli/progress.h"
#include "platform/platform.h"
#include "walk/folder_walk.h"

namespace {

// The walk's diagnostics go to standard error, one line each, each on a line
// of its own where a progress line is shown.
void TellUnreadableFolder(void* progress, const char* folder, std::uint32_t error_code) {
  artpeel::ClearProgress(*static_cast<artpeel::Progress*>(progress));
  std::fprintf(stderr, "artpeel: cannot read folder '%s': %s\n", folder,
               artpeel::platform::ErrorMessage(error_code).c_str());
}

void TellFolderBeyondPathLimit(void* progress, const char* folder) {
  artpeel::ClearProgress(*static_cast<artpeel::Progress*>(progress));
  std::fprintf(stderr,
               "artpeel: skipped folder '%s': the paths in it would exceed the system's "
               "limit of %zu characters\n",
               folder, artpeel::platform::MaxPathLength());
}

void TellCacheFilesInNamedFolder(void* progress, const char* folder, std::size_t count) {
  artpeel::ClearProgress(*static_cast<artpeel::Progress*>(progress));
  std::fprintf(stderr,
               "artpeel: skipped %zu cache file%s directly in '%s': only the folders below a "
               "named folder are read\n",
               count, count == 1 ? "" : "s", folder);
}

void ShowCacheFileDumped(void* progress) {
  artpeel::UpdateProgress(*static_cast<artpeel::Progress*>(progress));
}

int Run(int argc, char** argv, bool console_held_open) {
  if (argc <= 1) {
    // The usage text ends without a line break.
    std::printf(
        "usage: %s iTunesFolder [Second iTunesFolder]...\n"
        "\tit will dump all embedded images to the current directory.",
        argc == 1 && argv[0] != nullptr ? argv[0] : "artpeel");
    return 0;
  }
  artpeel::Progress progress = artpeel::StartProgress(console_held_open);
  const artpeel::WalkEvents events = {.context = &progress,
                                      .folder_unreadable = TellUnreadableFolder,
                                      .folder_beyond_path_limit = TellFolderBeyondPathLimit,
                                      .cache_files_in_named_folder = TellCacheFilesInNamedFolder,
                                      .cache_file_dumped = ShowCacheFileDumped};
  // A run ended from outside shows its summary too, counting what its report
  // names; a background job's would stop it (`stty tostop`).
  artpeel::platform::SetEndingSummary(
      [](void* shown) {
        if (artpeel::platform::TerminalInForeground()) {
          artpeel::FinishProgress(*static_cast<artpeel::Progress*>(shown));
        }
      },
      &progress);
  for (int i = 1; i < argc; ++i) {
    artpeel::DumpFolder(argv[i], progress.tally, events);
  }
  // The images are written whether or not the report reached its reader.
  std::uint32_t error_code = 0;
  if (!artpeel::FinishReport(error_code)) {
    artpeel::ClearProgress(progress);
    std::fprintf(stderr, "artpeel: cannot write the report to standard output: %s\n",
                 artpeel::platform::ErrorMessage(error_code).c_str());
  }
  artpeel::FinishProgress(progress);
  artpeel::platform::SetEndingSummary(nullptr, nullptr);
  // A walk ends with status 1 whatever it met on the way.
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  artpeel::platform::PrepareProcess();
  // Decided before the run, while whoever started it is surely still there.
  const bool console_held_open =
      artpeel::platform::ShouldWaitForKey(artpeel::platform::ReadConsoleFacts());
  const int status = Run(argc, argv, console_held_open);
  // Everything is shown before the console gets its own code page back.
  std::fflush(stdout);
  std::fflush(stderr);
  if (console_held_open) artpeel::platform::HoldOwnConsoleOpen();
  artpeel::platform::RestoreConsole();
  artpeel::platform::NoteRunFinished(status);
  return status;
}
