#include "png_writer.h"

#include "itc2_writer.h"

#include <array>

namespace artpeel::tools {

namespace {

constexpr std::array<uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kMaxPngDimension = 0x7FFFFFFF;
constexpr size_t kMaxStoredBlock = 65535;
constexpr uint64_t kMaxChunkData = 0x7FFFFFFF;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

// A chunk is written as a length placeholder and the type (BeginChunk), then
// its data; FinishChunk fills in the length and appends the CRC over type and
// data. `chunk_start` is the offset BeginChunk returned.
void FinishChunk(std::vector<uint8_t>& out, size_t chunk_start) {
  size_t data_size = out.size() - chunk_start - 8;
  uint32_t length = static_cast<uint32_t>(data_size);
  out[chunk_start] = static_cast<uint8_t>(length >> 24);
  out[chunk_start + 1] = static_cast<uint8_t>(length >> 16);
  out[chunk_start + 2] = static_cast<uint8_t>(length >> 8);
  out[chunk_start + 3] = static_cast<uint8_t>(length);
  AppendBE32(out, Crc32(out.data() + chunk_start + 4, data_size + 4));
}

size_t BeginChunk(std::vector<uint8_t>& out, const char (&type)[5]) {
  size_t start = out.size();
  AppendBE32(out, 0);
  out.insert(out.end(), type, type + 4);
  return start;
}

uint8_t Mix(uint8_t a, uint8_t b, uint64_t weight_a, uint64_t weight_b, uint64_t total) {
  return static_cast<uint8_t>((a * weight_a + b * weight_b + total / 2) / total);
}

Rgb MixRgb(Rgb a, Rgb b, uint64_t weight_a, uint64_t weight_b) {
  uint64_t total = weight_a + weight_b;
  if (total == 0) {
    return a;
  }
  return {Mix(a.R, b.R, weight_a, weight_b, total), Mix(a.G, b.G, weight_a, weight_b, total),
          Mix(a.B, b.B, weight_a, weight_b, total)};
}

uint64_t ISqrt(uint64_t value) {
  uint64_t root = 0;
  uint64_t bit = uint64_t{1} << 62;
  while (bit > value) {
    bit >>= 2;
  }
  while (bit != 0) {
    if (value >= root + bit) {
      value -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
    bit >>= 2;
  }
  return root;
}

}  // namespace

Picture MakePicture(uint32_t width, uint32_t height, Rgb fill) {
  Picture picture;
  picture.Width = width;
  picture.Height = height;
  picture.Pixels.resize(size_t{width} * height * 3);
  for (size_t i = 0; i < picture.Pixels.size(); i += 3) {
    picture.Pixels[i] = fill.R;
    picture.Pixels[i + 1] = fill.G;
    picture.Pixels[i + 2] = fill.B;
  }
  return picture;
}

void SetPixel(Picture& picture, uint32_t x, uint32_t y, Rgb colour) {
  if (x >= picture.Width || y >= picture.Height) {
    return;
  }
  size_t at = (size_t{y} * picture.Width + x) * 3;
  picture.Pixels[at] = colour.R;
  picture.Pixels[at + 1] = colour.G;
  picture.Pixels[at + 2] = colour.B;
}

void FillGradient(Picture& picture, Rgb top_left, Rgb top_right, Rgb bottom_left,
                  Rgb bottom_right) {
  uint64_t span_x = picture.Width > 1 ? picture.Width - 1 : 1;
  uint64_t span_y = picture.Height > 1 ? picture.Height - 1 : 1;
  for (uint32_t y = 0; y < picture.Height; ++y) {
    Rgb left = MixRgb(top_left, bottom_left, span_y - y, y);
    Rgb right = MixRgb(top_right, bottom_right, span_y - y, y);
    for (uint32_t x = 0; x < picture.Width; ++x) {
      SetPixel(picture, x, y, MixRgb(left, right, span_x - x, x));
    }
  }
}

void FillCheckerboard(Picture& picture, uint32_t cell, Rgb first, Rgb second) {
  if (cell == 0) {
    cell = 1;
  }
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      bool odd = ((x / cell) + (y / cell)) % 2 != 0;
      SetPixel(picture, x, y, odd ? second : first);
    }
  }
}

void FillStripes(Picture& picture, StripeDirection direction, uint32_t width, Rgb first,
                 Rgb second) {
  if (width == 0) {
    width = 1;
  }
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      uint64_t along = direction == StripeDirection::Horizontal ? y
                       : direction == StripeDirection::Vertical ? x
                                                                : uint64_t{x} + y;
      SetPixel(picture, x, y, (along / width) % 2 != 0 ? second : first);
    }
  }
}

void FillRings(Picture& picture, uint32_t ring_width, Rgb first, Rgb second) {
  if (ring_width == 0) {
    ring_width = 1;
  }
  // Work in half pixels so the centre can fall between two pixels.
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      int64_t dx = int64_t{2} * x - (int64_t{picture.Width} - 1);
      int64_t dy = int64_t{2} * y - (int64_t{picture.Height} - 1);
      uint64_t distance = ISqrt(static_cast<uint64_t>(dx * dx + dy * dy)) / 2;
      SetPixel(picture, x, y, (distance / ring_width) % 2 != 0 ? second : first);
    }
  }
}

void FillXorPattern(Picture& picture, Rgb tint) {
  uint64_t width = picture.Width > 0 ? picture.Width : 1;
  uint64_t height = picture.Height > 0 ? picture.Height : 1;
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      uint64_t value = ((x * uint64_t{256} / width) ^ (y * uint64_t{256} / height)) & 0xFF;
      Rgb colour = {static_cast<uint8_t>(value * tint.R / 255),
                    static_cast<uint8_t>(value * tint.G / 255),
                    static_cast<uint8_t>(value * tint.B / 255)};
      SetPixel(picture, x, y, colour);
    }
  }
}

void DrawDisc(Picture& picture, int32_t centre_x, int32_t centre_y, int32_t radius,
              Rgb colour) {
  if (radius < 0) {
    return;
  }
  int64_t limit = int64_t{radius} * radius;
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      int64_t dx = int64_t{x} - centre_x;
      int64_t dy = int64_t{y} - centre_y;
      if (dx * dx + dy * dy <= limit) {
        SetPixel(picture, x, y, colour);
      }
    }
  }
}

void DrawFrame(Picture& picture, uint32_t thickness, Rgb colour) {
  for (uint32_t y = 0; y < picture.Height; ++y) {
    for (uint32_t x = 0; x < picture.Width; ++x) {
      bool edge = x < thickness || y < thickness || picture.Width - x <= thickness ||
                  picture.Height - y <= thickness;
      if (edge) {
        SetPixel(picture, x, y, colour);
      }
    }
  }
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc) {
  static constexpr std::array<uint32_t, 256> kTable = MakeCrcTable();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) {
    crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler) {
  constexpr uint32_t kModulus = 65521;
  // 5552 is the largest run that cannot overflow 32 bits before reducing.
  constexpr size_t kRun = 5552;
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  while (size > 0) {
    size_t run = size < kRun ? size : kRun;
    size -= run;
    for (size_t i = 0; i < run; ++i) {
      a += *data++;
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
  }
  return (b << 16) | a;
}

void AppendPngSignatureAndHeader(std::vector<uint8_t>& out, uint32_t width, uint32_t height) {
  out.insert(out.end(), kPngSignature.begin(), kPngSignature.end());
  size_t ihdr = BeginChunk(out, "IHDR");
  AppendBE32(out, width);
  AppendBE32(out, height);
  out.push_back(8);  // bit depth
  out.push_back(2);  // colour type: truecolour
  out.push_back(0);  // compression: deflate
  out.push_back(0);  // filter method 0
  out.push_back(0);  // no interlace
  FinishChunk(out, ihdr);
}

std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb) {
  if (width == 0 || height == 0 || width > kMaxPngDimension || height > kMaxPngDimension) {
    return {};
  }
  uint64_t row_bytes = uint64_t{width} * 3;
  if (rgb.size() != row_bytes * height) {
    return {};
  }
  // Each scanline is one filter-type byte (0, none) followed by the row.
  uint64_t raw_size = (row_bytes + 1) * height;
  uint64_t block_count = (raw_size + kMaxStoredBlock - 1) / kMaxStoredBlock;
  uint64_t zlib_size = 2 + raw_size + block_count * 5 + 4;
  if (zlib_size > kMaxChunkData) {
    return {};
  }

  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(raw_size));
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y * row_bytes);
    raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(row_bytes));
  }

  std::vector<uint8_t> png;
  png.reserve(static_cast<size_t>(zlib_size) + 64);
  AppendPngSignatureAndHeader(png, width, height);

  size_t idat = BeginChunk(png, "IDAT");
  // zlib header: deflate with a 32 KiB window, no preset dictionary,
  // check bits chosen so that 0x7801 is a multiple of 31.
  png.push_back(0x78);
  png.push_back(0x01);
  size_t offset = 0;
  while (offset < raw.size()) {
    size_t length = raw.size() - offset;
    if (length > kMaxStoredBlock) {
      length = kMaxStoredBlock;
    }
    bool last = offset + length == raw.size();
    png.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
    png.push_back(static_cast<uint8_t>(length));
    png.push_back(static_cast<uint8_t>(length >> 8));
    png.push_back(static_cast<uint8_t>(~length));
    png.push_back(static_cast<uint8_t>(~length >> 8));
    png.insert(png.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
               raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  }
  AppendBE32(png, Adler32(raw.data(), raw.size()));
  FinishChunk(png, idat);

  size_t iend = BeginChunk(png, "IEND");
  FinishChunk(png, iend);
  return png;
}

std::vector<uint8_t> EncodePng(const Picture& picture) {
  return EncodePng(picture.Width, picture.Height, picture.Pixels);
}

}  // namespace artpeel::tools
