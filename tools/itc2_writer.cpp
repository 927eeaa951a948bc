#include "itc2_writer.h"

#include <cstdio>

namespace artpeel::tools {

std::array<uint8_t, 8> KeyFromU64(uint64_t value) {
  std::array<uint8_t, 8> key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
  }
  return key;
}

ItemSpec PngItem(std::string_view payload, uint64_t key, uint32_t width, uint32_t height) {
  ItemSpec item;
  item.ImageKey = KeyFromU64(key);
  item.Width = width;
  item.Height = height;
  item.Payload.assign(payload.begin(), payload.end());
  return item;
}

void AppendBE32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void StoreBE32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  out[offset] = static_cast<uint8_t>(value >> 24);
  out[offset + 1] = static_cast<uint8_t>(value >> 16);
  out[offset + 2] = static_cast<uint8_t>(value >> 8);
  out[offset + 3] = static_cast<uint8_t>(value);
}

namespace {

template <size_t N>
void AppendBytes(std::vector<uint8_t>& out, const std::array<uint8_t, N>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void AppendZeros(std::vector<uint8_t>& out, size_t count) {
  out.insert(out.end(), count, uint8_t{0});
}

}  // namespace

void AppendFileHeader(std::vector<uint8_t>& out, const FileHeaderSpec& header) {
  AppendBE32(out, header.HeaderLength);
  AppendBytes(out, header.Signature);
  for (uint32_t flag : header.HeaderFlags) {
    AppendBE32(out, flag);
  }
  AppendBytes(out, header.ContentTag);
  if (header.HeaderLength > kFileHeaderSize) {
    AppendZeros(out, header.HeaderLength - kFileHeaderSize);
  }
}

size_t AppendedItemSize(const ItemSpec& item) {
  size_t header = item.HeaderLength > kItemHeaderSize ? item.HeaderLength : kItemHeaderSize;
  return header + item.Payload.size();
}

void AppendItem(std::vector<uint8_t>& out, const ItemSpec& item) {
  uint32_t item_length = item.ItemLength.value_or(
      static_cast<uint32_t>(item.HeaderLength + item.Payload.size()));
  AppendBE32(out, item_length);  // 0
  AppendBytes(out, item.ItemTag);  // 4
  AppendBE32(out, item.HeaderLength);  // 8
  for (uint32_t word : item.Unknowns_1) {  // 12..27
    AppendBE32(out, word);
  }
  AppendZeros(out, 8);  // 28..35
  AppendBytes(out, item.ImageKey);  // 36..43
  AppendBytes(out, item.Location);  // 44
  AppendBE32(out, item.FormatCode);  // 48
  AppendZeros(out, 4);  // 52..55
  AppendBE32(out, item.Width);  // 56
  AppendBE32(out, item.Height);  // 60

  if (item.HeaderLength > kItemHeaderSize) {
    AppendZeros(out, item.HeaderLength - kItemHeaderSize);
  }
  out.insert(out.end(), item.Payload.begin(), item.Payload.end());
}

std::vector<uint8_t> BuildCacheFile(const std::vector<ItemSpec>& items,
                                    const FileHeaderSpec& header) {
  size_t total = header.HeaderLength > kFileHeaderSize ? header.HeaderLength : kFileHeaderSize;
  for (const ItemSpec& item : items) {
    total += AppendedItemSize(item);
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(total);
  AppendFileHeader(bytes, header);
  for (const ItemSpec& item : items) {
    AppendItem(bytes, item);
  }
  return bytes;
}

bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return false;
  }
  size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file);
  bool closed = std::fclose(file) == 0;
  return closed && written == bytes.size();
}

}  // namespace artpeel::tools
