// make_library: writes artwork cache libraries for artpeel to chew on.
//
//   examples OUTDIR    the checked-in sample library (OUTDIR/iTunes/...),
//                      identical bytes on every run
//   synthetic OUTDIR   many large cache files, for throughput benchmarks
//   walktree OUTDIR    many folders with few small files, for walk benchmarks
//
// Paths are built as strings joined with '/', which every supported platform
// accepts, so no path conversion can fail.

#include <algorithm>
#include <array>
#include <charconv>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "itc2_writer.h"
#include "png_writer.h"

namespace {

using artpeel::tools::AppendPngSignatureAndHeader;
using artpeel::tools::BuildCacheFile;
using artpeel::tools::DrawDisc;
using artpeel::tools::DrawFrame;
using artpeel::tools::EncodePng;
using artpeel::tools::FileHeaderSpec;
using artpeel::tools::FillCheckerboard;
using artpeel::tools::FillGradient;
using artpeel::tools::FillRings;
using artpeel::tools::FillStripes;
using artpeel::tools::FillXorPattern;
using artpeel::tools::ItemSpec;
using artpeel::tools::KeyFromU64;
using artpeel::tools::kFormatJpeg;
using artpeel::tools::kFormatPng;
using artpeel::tools::kItemHeaderSize;
using artpeel::tools::MakePicture;
using artpeel::tools::Picture;
using artpeel::tools::Rgb;
using artpeel::tools::StripeDirection;
using artpeel::tools::Tag;
using artpeel::tools::WriteBytesToFile;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage() {
  std::fputs(
      "usage: make_library examples OUTDIR\n"
      "       make_library synthetic OUTDIR --files N --images K --image-bytes B\n"
      "                              [--seed S] [--fanout F]\n"
      "       make_library walktree OUTDIR --folders N --files M\n"
      "                             [--fanout F] [--seed S] [--local]\n"
      "\n"
      "examples   writes the sample library to OUTDIR/iTunes (same bytes every run).\n"
      "synthetic  writes N cache files to OUTDIR/Cache/xx/yy/zz/ (F two-hex-digit\n"
      "           folders per level, default 16), each holding K locally stored\n"
      "           PNG items with B-byte payloads (a PNG header and filler).\n"
      "walktree   writes N folders below OUTDIR (F per level, default 16) holding\n"
      "           M small cache files in all; each holds one item stored elsewhere,\n"
      "           so nothing gets exported, or with --local one tiny 1x1 PNG.\n",
      stderr);
}

// ---------------------------------------------------------------------------
// Helpers

std::string Hex64(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIX64, value);
  return text;
}

std::string Hex2(uint64_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(value & 0xFF));
  return text;
}

// splitmix64's output function: a bijection on 64-bit values, so distinct
// inputs give distinct keys.
uint64_t Mix64(uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

uint64_t SeededValue(uint64_t seed, uint64_t stream, uint64_t index) {
  return Mix64(seed * 0xD1B54A32D192ED03ull + stream * 0x8CB92BA72F3D8DD7ull +
               (index + 1) * 0x9E3779B97F4A7C15ull);
}

bool MakeFolders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path), error);
  return !error;
}

bool WriteFileReporting(const std::string& path, const std::vector<uint8_t>& bytes) {
  if (!WriteBytesToFile(path, bytes)) {
    std::fprintf(stderr, "make_library: cannot write '%s'\n", path.c_str());
    return false;
  }
  return true;
}

bool ParseCount(const std::string& text, uint64_t& value) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end && !text.empty();
}

// ---------------------------------------------------------------------------
// examples

ItemSpec PngItem(uint64_t key, const Picture& picture) {
  ItemSpec item;
  item.ImageKey = KeyFromU64(key);
  item.Width = picture.Width;
  item.Height = picture.Height;
  item.Payload = EncodePng(picture);
  return item;
}

// An item whose image is kept elsewhere: no payload.
ItemSpec RemoteItem(uint64_t key, std::array<uint8_t, 4> location) {
  ItemSpec item;
  item.ImageKey = KeyFromU64(key);
  item.Location = location;
  item.Width = 600;
  item.Height = 600;
  return item;
}

// A record that is not an item: a zeroed 64-byte header tagged "free" and
// 64 bytes of zeros, like unused space left in a cache file.
ItemSpec FreeRecord() {
  ItemSpec record;
  record.ItemTag = Tag("free");
  record.HeaderLength = kItemHeaderSize;
  record.Unknowns_1 = {0, 0, 0, 0};
  record.Location = {0, 0, 0, 0};
  record.FormatCode = 0;
  record.Payload.assign(64, 0);
  return record;
}

// Bytes framed like a JPEG file (start marker, JFIF segment, a comment, end
// marker) but holding no image data. Good enough for a format the tool only
// copies.
std::vector<uint8_t> JpegLikePayload() {
  std::vector<uint8_t> bytes = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I', 'F',
                                0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  const std::string comment = "artpeel sample: JPEG framing without image data";
  size_t length = comment.size() + 2;
  bytes.push_back(0xFF);
  bytes.push_back(0xFE);
  bytes.push_back(static_cast<uint8_t>(length >> 8));
  bytes.push_back(static_cast<uint8_t>(length));
  bytes.insert(bytes.end(), comment.begin(), comment.end());
  bytes.push_back(0xFF);
  bytes.push_back(0xD9);
  return bytes;
}

Picture Sunset(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillGradient(picture, {255, 140, 0}, {255, 94, 77}, {88, 24, 120}, {40, 10, 80});
  auto s = static_cast<int32_t>(size);
  DrawDisc(picture, s / 2, s * 5 / 8, s / 4, {255, 230, 90});
  return picture;
}

Picture Target(uint32_t size, uint32_t ring_width) {
  Picture picture = MakePicture(size, size, {});
  FillRings(picture, ring_width, {20, 60, 200}, {245, 245, 245});
  return picture;
}

Picture Checkers(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillCheckerboard(picture, size / 8, {200, 30, 40}, {250, 250, 250});
  return picture;
}

Picture Candy(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillStripes(picture, StripeDirection::Diagonal, 5, {30, 160, 70}, {240, 220, 40});
  return picture;
}

Picture XorTexture(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillXorPattern(picture, {0, 230, 255});
  return picture;
}

Picture BallOnTiles(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillCheckerboard(picture, size / 5, {60, 60, 60}, {120, 120, 120});
  auto s = static_cast<int32_t>(size);
  DrawDisc(picture, s / 2, s / 2, s / 3, {250, 120, 20});
  DrawDisc(picture, s * 2 / 5, s * 2 / 5, s / 10, {255, 220, 180});
  return picture;
}

Picture Corners(uint32_t size, Rgb a, Rgb b, Rgb c, Rgb d) {
  Picture picture = MakePicture(size, size, {});
  FillGradient(picture, a, b, c, d);
  return picture;
}

Picture FramedBars(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillStripes(picture, StripeDirection::Vertical, 4, {250, 250, 240}, {30, 30, 30});
  DrawFrame(picture, 2, {200, 0, 120});
  return picture;
}

Picture Moon(uint32_t size) {
  Picture picture = MakePicture(size, size, {});
  FillStripes(picture, StripeDirection::Horizontal, 3, {10, 20, 60}, {20, 40, 90});
  auto s = static_cast<int32_t>(size);
  DrawDisc(picture, s / 2, s / 2, s / 3, {235, 235, 210});
  DrawDisc(picture, s * 2 / 3, s * 2 / 5, s / 3, {10, 20, 60});
  return picture;
}

struct ExampleFile {
  std::string Path;  // below OUTDIR, '/'-separated
  FileHeaderSpec Header;
  std::vector<ItemSpec> Items;
};

std::vector<ExampleFile> ExampleLibrary() {
  const std::string library = "9F3C2A71B8D04E65";
  const std::string cache = "iTunes/Album Artwork/Cache/9F3C2A71B8D04E65A1C7E2F0D3B64A58/";
  const std::string download = "iTunes/Album Artwork/Download/9F3C2A71B8D04E65A1C7E2F0D3B64A58/";
  const std::string cloud = "iTunes/Album Artwork/Cloud/9F3C2A71B8D04E65A1C7E2F0D3B64A58/";
  std::vector<ExampleFile> files;

  // Two sizes of one picture, everything as expected.
  files.push_back({cache + "03/07/11/" + library + "-2D41A9C07E3B5F18.itc2",
                   {},
                   {PngItem(0x2D41A9C07E3B5F18, Sunset(48)),
                    PngItem(0x2D41A9C07E3B5F19, Sunset(32))}});

  // The middle image is kept elsewhere, so the exported ones are 01 and 03.
  files.push_back({cache + "03/07/11/" + library + "-6E0F4B2D91C8A735.itc2",
                   {},
                   {PngItem(0x6E0F4B2D91C8A735, Target(40, 4)),
                    RemoteItem(0x6E0F4B2D91C8A736, Tag("down")),
                    PngItem(0x6E0F4B2D91C8A737, Checkers(32))}});

  // A free record between a PNG and an image in a format the tool does not know.
  {
    ItemSpec jpeg;
    jpeg.ImageKey = KeyFromU64(0xB7D2E4F6A8C01359);
    jpeg.FormatCode = kFormatJpeg;
    jpeg.Width = 32;
    jpeg.Height = 32;
    jpeg.Payload = JpegLikePayload();
    files.push_back({cache + "03/0C/" + library + "-B7D2E4F6A8C01357.itc2",
                     {},
                     {PngItem(0xB7D2E4F6A8C01357, Candy(36)), FreeRecord(), jpeg}});
  }

  // Odd item headers: Unknowns_1 differ; a 212-byte header; both at once.
  {
    ItemSpec odd_unknowns = PngItem(0x5A6B7C8D9E0F1A2B, XorTexture(32));
    odd_unknowns.Unknowns_1 = {1, 2, 2, 0};
    ItemSpec long_header = PngItem(0x5A6B7C8D9E0F1A2C, BallOnTiles(40));
    long_header.HeaderLength = 0xD4;
    ItemSpec both = PngItem(
        0x5A6B7C8D9E0F1A2D, Corners(24, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}));
    both.Unknowns_1 = {0, 0, 0, 0};
    both.HeaderLength = 0xD4;
    files.push_back({cache + "0E/02/05/" + library + "-5A6B7C8D9E0F1A2B.itc2",
                     {},
                     {odd_unknowns, long_header, both}});
  }

  // Upper-case extension; the walk still has to pick it up.
  files.push_back({cache + "0E/02/05/" + library + "-0C1D2E3F4A5B6C7D.ITC2",
                   {},
                   {PngItem(0x0C1D2E3F4A5B6C7D, FramedBars(32))}});

  // Unexpected header flags; the file is still read.
  {
    FileHeaderSpec header;
    header.HeaderFlags = {2, 2, 2, 1};
    files.push_back(
        {cache + "0E/0A/" + library + "-F1E2D3C4B5A69788.itc2",
         header,
         {PngItem(0xF1E2D3C4B5A69788,
                  Corners(32, {250, 250, 250}, {255, 180, 200}, {150, 200, 255}, {20, 20, 20}))}});
  }

  // Ten records: nine kept elsewhere, then a PNG at index 10.
  {
    std::vector<ItemSpec> items;
    for (uint64_t i = 0; i < 9; ++i) {
      items.push_back(RemoteItem(0x3C4D5E6F708192A0 + i, Tag("down")));
    }
    items.push_back(PngItem(0x3C4D5E6F708192AA, Target(16, 2)));
    files.push_back({download + "01/" + library + "-3C4D5E6F708192A0.itc2", {}, items});
  }

  // Not an ITC2 file: the signature is byte-swapped. Its item must not be exported.
  {
    FileHeaderSpec header;
    header.Signature = Tag("hcti");
    files.push_back(
        {download + "01/" + library + "-8899AABBCCDDEEFF.itc2",
         header,
         {PngItem(0x8899AABBCCDDEEFF,
                  Corners(16, {0, 0, 0}, {255, 255, 255}, {255, 255, 255}, {0, 0, 0}))}});
  }

  // An ITC2 file that holds something other than artwork.
  {
    FileHeaderSpec header;
    header.ContentTag = Tag("meta");
    files.push_back({cloud + "04/" + library + "-7766554433221100.itc2",
                     header,
                     {PngItem(0x7766554433221100, Checkers(16))}});
  }

  // Directly in the top folder: a walk from iTunes/ does not dump it.
  files.push_back({"iTunes/stray.itc2", {}, {PngItem(0xE0E1E2E3E4E5E6E7, Moon(24))}});
  return files;
}

int MakeExamples(const std::string& outdir) {
  for (const ExampleFile& file : ExampleLibrary()) {
    std::string path = outdir + "/" + file.Path;
    std::string folder = path.substr(0, path.rfind('/'));
    if (!MakeFolders(folder)) {
      std::fprintf(stderr, "make_library: cannot create folder '%s'\n", folder.c_str());
      return kExitFailed;
    }
    std::vector<uint8_t> bytes = BuildCacheFile(file.Items, file.Header);
    if (!WriteFileReporting(path, bytes)) {
      return kExitFailed;
    }
    std::printf("%s (%zu bytes, %zu records)\n", file.Path.c_str(), bytes.size(),
                file.Items.size());
  }
  return kExitOk;
}

// ---------------------------------------------------------------------------
// Option parsing for synthetic and walktree

struct Options {
  std::string Outdir;
  uint64_t Files = 0;
  uint64_t Images = 0;
  uint64_t ImageBytes = 0;
  uint64_t Folders = 0;
  uint64_t Seed = 1;
  uint64_t Fanout = 16;
  bool Local = false;
  bool HaveFiles = false;
  bool HaveImages = false;
  bool HaveImageBytes = false;
  bool HaveFolders = false;
};

// Reads "OUTDIR --name value ..." from args[1...]. Only the names listed in
// `allowed` are accepted ("--local" takes no value).
bool ParseOptions(const std::vector<std::string>& args, const std::vector<std::string>& allowed,
                  Options& options) {
  if (args.size() < 2 || args[1].empty() || args[1][0] == '-') {
    return false;
  }
  options.Outdir = args[1];
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& name = args[i];
    bool known = false;
    for (const std::string& allowed_name : allowed) {
      known = known || allowed_name == name;
    }
    if (!known) {
      return false;
    }
    if (name == "--local") {
      options.Local = true;
      continue;
    }
    uint64_t value = 0;
    if (i + 1 >= args.size() || !ParseCount(args[i + 1], value)) {
      return false;
    }
    ++i;
    if (name == "--files") {
      options.Files = value;
      options.HaveFiles = true;
    } else if (name == "--images") {
      options.Images = value;
      options.HaveImages = true;
    } else if (name == "--image-bytes") {
      options.ImageBytes = value;
      options.HaveImageBytes = true;
    } else if (name == "--folders") {
      options.Folders = value;
      options.HaveFolders = true;
    } else if (name == "--seed") {
      options.Seed = value;
    } else if (name == "--fanout") {
      options.Fanout = value;
    }
  }
  return options.Fanout >= 1 && options.Fanout <= 256;
}

// ---------------------------------------------------------------------------
// synthetic

// Payload of a synthetic image: a PNG signature and IHDR for 600x600, then
// filler, cut or padded to exactly `size` bytes. Not a viewable image.
std::vector<uint8_t> SyntheticPayload(uint64_t size) {
  std::vector<uint8_t> payload;
  AppendPngSignatureAndHeader(payload, 600, 600);
  payload.resize(static_cast<size_t>(size));
  for (size_t i = 33; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  }
  return payload;
}

int MakeSynthetic(const Options& options) {
  // Every ItemLength must fit 32 bits; keep one file under 2 GiB.
  constexpr uint64_t kMaxFileBytes = uint64_t{1} << 31;
  uint64_t item_bytes = artpeel::tools::kDefaultItemHeaderLength + options.ImageBytes;
  if (item_bytes > 0xFFFFFFFFull || options.Images > kMaxFileBytes / item_bytes) {
    std::fputs("make_library: --images times --image-bytes is too large\n", stderr);
    return kExitUsage;
  }

  // One file's bytes are built once; only the image keys change per file.
  std::vector<ItemSpec> items(static_cast<size_t>(options.Images));
  std::vector<uint8_t> payload = SyntheticPayload(options.ImageBytes);
  for (ItemSpec& item : items) {
    item.Width = 600;
    item.Height = 600;
    item.Payload = payload;
  }
  std::vector<uint8_t> bytes = BuildCacheFile(items, {});
  items.clear();
  payload.clear();

  const uint64_t fanout = options.Fanout;
  const uint64_t leaves = fanout * fanout * fanout;
  const std::string root = options.Outdir + "/Cache";
  const std::string library = Hex64(SeededValue(options.Seed, 0, 0));
  auto leaf_path = [&](uint64_t leaf) {
    return root + "/" + Hex2(leaf % fanout) + "/" + Hex2(leaf / fanout % fanout) + "/" +
           Hex2(leaf / (fanout * fanout));
  };
  for (uint64_t leaf = 0; leaf < leaves && leaf < options.Files; ++leaf) {
    if (!MakeFolders(leaf_path(leaf))) {
      std::fprintf(stderr, "make_library: cannot create folder '%s'\n", leaf_path(leaf).c_str());
      return kExitFailed;
    }
  }

  uint64_t image = 0;
  for (uint64_t file = 0; file < options.Files; ++file) {
    size_t offset = artpeel::tools::kFileHeaderSize;
    for (uint64_t i = 0; i < options.Images; ++i) {
      std::array<uint8_t, 8> key = KeyFromU64(SeededValue(options.Seed, 1, image++));
      std::copy(key.begin(), key.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset + 36));
      offset += static_cast<size_t>(item_bytes);
    }
    std::string path = leaf_path(file % leaves) + "/" + library + "-" +
                       Hex64(SeededValue(options.Seed, 2, file)) + ".itc2";
    if (!WriteFileReporting(path, bytes)) {
      return kExitFailed;
    }
  }
  std::printf("wrote %" PRIu64 " cache files of %zu bytes (%" PRIu64 " images) under %s\n",
              options.Files, bytes.size(), image, root.c_str());
  return kExitOk;
}

// ---------------------------------------------------------------------------
// walktree

int MakeWalkTree(const Options& options) {
  if (options.Folders == 0 && options.Files > 0) {
    std::fputs("make_library: --files needs at least one folder\n", stderr);
    return kExitUsage;
  }

  // Folder n sits below folder n / F - 1 (or OUTDIR for the first F) and is
  // named after n % F, so folders fill the tree level by level.
  const uint64_t fanout = options.Fanout;
  std::vector<std::string> folders;
  folders.reserve(static_cast<size_t>(options.Folders));
  for (uint64_t n = 0; n < options.Folders; ++n) {
    const std::string& parent = n < fanout ? options.Outdir : folders[n / fanout - 1];
    folders.push_back(parent + "/" + Hex2(n % fanout));
  }
  // Creating the deepest folders creates their parents on the way.
  for (uint64_t n = options.Folders; n-- > 0;) {
    bool has_children = (n + 1) * fanout < options.Folders;
    if (!has_children && !MakeFolders(folders[n])) {
      std::fprintf(stderr, "make_library: cannot create folder '%s'\n", folders[n].c_str());
      return kExitFailed;
    }
  }

  ItemSpec item;
  if (options.Local) {
    Picture dot = MakePicture(1, 1, {255, 255, 255});
    item.Width = 1;
    item.Height = 1;
    item.Payload = EncodePng(dot);
  } else {
    item.Location = Tag("down");
    item.Width = 600;
    item.Height = 600;
  }
  std::vector<uint8_t> bytes = BuildCacheFile({item}, {});
  const size_t key_offset = artpeel::tools::kFileHeaderSize + 36;

  for (uint64_t file = 0; file < options.Files; ++file) {
    uint64_t id = SeededValue(options.Seed, 3, file);
    std::array<uint8_t, 8> key = KeyFromU64(id);
    std::copy(key.begin(), key.end(), bytes.begin() + static_cast<std::ptrdiff_t>(key_offset));
    std::string path = folders[file % options.Folders] + "/" + Hex64(id) + ".itc2";
    if (!WriteFileReporting(path, bytes)) {
      return kExitFailed;
    }
  }
  std::printf("wrote %" PRIu64 " folders and %" PRIu64 " cache files under %s\n",
              options.Folders, options.Files, options.Outdir.c_str());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintUsage();
    return kExitUsage;
  }
  const std::string& command = args[0];
  Options options;
  if (command == "examples" && args.size() == 2 && !args[1].empty()) {
    return MakeExamples(args[1]);
  }
  if (command == "synthetic" &&
      ParseOptions(args, {"--files", "--images", "--image-bytes", "--seed", "--fanout"},
                   options) &&
      options.HaveFiles && options.HaveImages && options.HaveImageBytes) {
    return MakeSynthetic(options);
  }
  if (command == "walktree" &&
      ParseOptions(args, {"--folders", "--files", "--fanout", "--seed", "--local"}, options) &&
      options.HaveFolders && options.HaveFiles) {
    return MakeWalkTree(options);
  }
  PrintUsage();
  return kExitUsage;
}
