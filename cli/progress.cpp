#include "cli/progress.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "platform/platform.h"

namespace artpeel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstUpdate = std::chrono::milliseconds(500);
constexpr auto kUpdateInterval = std::chrono::milliseconds(200);
constexpr std::string_view kPrefix = "artpeel: ";

// `count` with its thousands set apart by commas: 1,234,567.
std::string Grouped(std::uint64_t count) {
  std::string digits = std::to_string(count);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, 1, ',');
  return digits;
}

// "1 image", "2,048 images".
std::string Counted(std::uint64_t count, const char* thing) {
  return Grouped(count) + " " + thing + (count == 1 ? "" : "s");
}

// Bytes in binary units with one decimal, as in "61.2 MiB"; plain below 1 KiB.
std::string SizeText(std::uint64_t bytes) {
  if (bytes < 1024) return Counted(bytes, "byte");
  constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double size = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  for (; size >= 1024 && unit + 1 < std::size(kUnits); ++unit) size /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", size, kUnits[unit]);
  return text;
}

// "4.2 s", "3 min 07 s", "2 h 05 min".
std::string DurationText(Clock::duration elapsed) {
  const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100;
  const auto seconds = tenths / 10;
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld.%lld s", static_cast<long long>(seconds),
                  static_cast<long long>(tenths % 10));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60));
  }
  return text;
}

// Writes `text` after a carriage return over the line on the terminal, with
// spaces over what is left of a longer one (every terminal and console takes
// spaces; not every one takes an escape sequence), then `ending`.
void Draw(Progress& progress, std::string_view text, std::string_view ending) {
  std::string bytes = "\r";
  bytes += text;
  if (progress.line_length > text.size()) bytes.append(progress.line_length - text.size(), ' ');
  bytes += ending;
  const bool line_open = ending.empty() && !text.empty();
  platform::WriteProgressLine(bytes, line_open);
  progress.line_length = line_open ? text.size() : 0;
}

}  // namespace

std::string ProgressText(const DumpTally& tally) {
  return Counted(tally.cache_files_read, "cache file") + " read, " +
         Counted(tally.images_written, "image") + " written (" +
         SizeText(tally.image_bytes_written) + ")";
}

std::string SummaryText(const DumpTally& tally, Clock::duration elapsed) {
  std::string text = ProgressText(tally) + " in " + DurationText(elapsed);
  const char* separator = "; ";
  if (tally.images_not_written > 0) {
    text += separator + Counted(tally.images_not_written, "image") + " not written";
    separator = ", ";
  }
  if (tally.cache_files_not_read > 0) {
    text += separator + Counted(tally.cache_files_not_read, "cache file") + " not read";
  }
  return text;
}

Progress StartProgress(bool console_held_open) {
  Progress progress;
  progress.shown = platform::ProgressLineWanted();
  progress.summary_shown = progress.shown || console_held_open;
  progress.started = Clock::now();
  progress.next_update = progress.started + kFirstUpdate;
  return progress;
}

void UpdateProgress(Progress& progress) {
  if (!progress.shown) return;
  // steady_clock reads the system's monotonic clock, which Linux and the other
  // systems serve without a system call.
  const Clock::time_point now = Clock::now();
  if (now < progress.next_update) return;
  progress.next_update = now + kUpdateInterval;
  if (!platform::TerminalInForeground()) return;
  Draw(progress, std::string(kPrefix) + ProgressText(progress.tally), "");
}

void ClearProgress(Progress& progress) {
  if (progress.line_length > 0) Draw(progress, "", "\r");
}

void FinishProgress(Progress& progress) {
  if (!progress.summary_shown) return;
  const std::string summary =
      std::string(kPrefix) + SummaryText(progress.tally, Clock::now() - progress.started);
  Draw(progress, summary, "\n");
}

}  // namespace artpeel
