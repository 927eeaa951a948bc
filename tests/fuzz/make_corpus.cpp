// Writes the seed corpus: small cache files, well-formed and broken in each of
// the ways the reader reports, so that fuzzing starts from every branch. The
// test suite runs artpeel on every input of the corpus and compares its report
// with tests/golden/corpus_report.txt.
//   make_corpus FOLDER
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/itc2_writer.h"

namespace {

using artpeel::tools::AppendItem;
using artpeel::tools::BuildCacheFile;
using artpeel::tools::FileHeaderSpec;
using artpeel::tools::ItemSpec;
using artpeel::tools::StoreBE32;
using artpeel::tools::Tag;
using Bytes = std::vector<uint8_t>;

ItemSpec Image(const std::string& payload, uint64_t key = artpeel::tools::kSampleKey) {
  return artpeel::tools::PngItem(payload, key);
}

Bytes Cut(Bytes bytes, size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

struct Seed {
  const char* name;
  Bytes bytes;
};

std::vector<Seed> Seeds() {
  std::vector<Seed> seeds;
  seeds.push_back({"one-png", BuildCacheFile({Image("\x89PNG\r\n\x1a\n")})});

  ItemSpec not_an_item = Image("skipped");
  not_an_item.ItemTag = Tag("free");
  ItemSpec remote = Image("remote");
  remote.Location = Tag("down");
  ItemSpec odd_header = Image("payload");
  odd_header.HeaderLength = 0xD4;
  odd_header.Unknowns_1 = {1, 2, 1, 1};
  ItemSpec jpeg = Image("jpeg", 2);
  jpeg.FormatCode = artpeel::tools::kFormatJpeg;
  jpeg.Width = 0x80000000u;
  ItemSpec overlapping = Image("tail");  // the payload starts inside the header
  overlapping.HeaderLength = 40;
  seeds.push_back({"every-record-kind",
                   BuildCacheFile({not_an_item, remote, odd_header, jpeg, Image(""), overlapping})});

  FileHeaderSpec flags;
  flags.HeaderFlags = {2, 2, 2, 1};
  seeds.push_back({"odd-flags", BuildCacheFile({Image("f")}, flags)});
  FileHeaderSpec no_artwork = flags;
  no_artwork.ContentTag = Tag("artx");
  seeds.push_back({"no-artwork", BuildCacheFile({Image("a")}, no_artwork)});
  FileHeaderSpec wrong_signature;
  wrong_signature.Signature = Tag("itcH");
  seeds.push_back({"not-itch", BuildCacheFile({Image("i")}, wrong_signature)});
  Bytes far_header = BuildCacheFile({Image("h")});
  StoreBE32(far_header, 0, 0xFFFFFFF0u);  // the first record lies past the end
  seeds.push_back({"header-past-end", far_header});
  Bytes header_at_end(1000);  // the first record would start at the end of the file
  StoreBE32(header_at_end, 0, 1000);
  std::copy_n(BuildCacheFile({}).begin() + 4, 24, header_at_end.begin() + 4);
  seeds.push_back({"header-at-end", header_at_end});
  FileHeaderSpec short_header;
  short_header.HeaderLength = 4;  // the first record overlaps the file header
  seeds.push_back({"header-overlaps-record", BuildCacheFile({Image("o")}, short_header)});
  // Bytes missing from a short header read as zeros.
  seeds.push_back({"short-header", Bytes{0, 0, 0, 0, 'i', 't', 'c', 'h'}});
  seeds.push_back({"seven-bytes", Bytes{0, 0, 0, 0, 'i', 't', 'c'}});
  seeds.push_back({"one-byte", Bytes{'i'}});

  seeds.push_back({"payload-cut-short", Cut(BuildCacheFile({Image("abcdef")}), 1)});
  seeds.push_back({"item-header-cut-short", Cut(BuildCacheFile({Image("a"), Image("")}), 145)});
  Bytes record_cut = BuildCacheFile({Image("a")});
  record_cut.insert(record_cut.end(), {0, 0, 0, 9, 'i', 't', 'e'});
  seeds.push_back({"record-cut-short", record_cut});
  // 63 bytes of a record that is not an item: enough to read it as one.
  Bytes other_cut = Cut(BuildCacheFile({Image("a"), Image("")}), 145);
  other_cut[other_cut.size() - 59] = 'X';
  seeds.push_back({"other-record-cut-short", other_cut});

  ItemSpec longer_header = Image("");
  longer_header.ItemLength = 100;
  Bytes header_longer = BuildCacheFile({longer_header});
  header_longer.resize(28 + 100);
  AppendItem(header_longer, Image("ok"));
  seeds.push_back({"header-longer-than-item", header_longer});
  ItemSpec zero_length = Image("abc");
  zero_length.ItemLength = 0;
  seeds.push_back({"zero-length", BuildCacheFile({Image("x"), zero_length, Image("never")})});
  ItemSpec zero_record = zero_length;
  zero_record.ItemTag = Tag("nope");
  seeds.push_back({"zero-length-record", BuildCacheFile({zero_record, Image("never")})});
  ItemSpec huge_length = Image("big");
  huge_length.ItemLength = 0xFFFFFFFFu;
  seeds.push_back({"length-past-end", BuildCacheFile({huge_length})});

  // Index 100 and above, and a name met again: short items keep the file small.
  std::vector<ItemSpec> many(101, Image("", 7));
  for (ItemSpec& item : many) item.HeaderLength = 64;
  many[100].Payload = {'e', 'n', 'd'};
  seeds.push_back({"hundred-and-one-items", BuildCacheFile(many)});
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus FOLDER\n");
    return 2;
  }
  for (const Seed& seed : Seeds()) {
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    if (!artpeel::tools::WriteBytesToFile(path, seed.bytes)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
