// A minimal PNG encoder and a few procedural drawings, for making sample
// artwork without an image library.
//
// EncodePng writes 8-bit truecolour (RGB) images: IHDR, a single IDAT holding
// a zlib stream of uncompressed ("stored") deflate blocks with filter type 0
// on every row, and IEND. The files are larger than compressed PNGs but are
// valid and open in any viewer.
//
// All drawing is done with integer arithmetic so the same call gives the same
// bytes on every platform and compiler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace artpeel::tools {

struct Rgb {
  uint8_t R = 0;
  uint8_t G = 0;
  uint8_t B = 0;
};

// An RGB image, rows top to bottom, three bytes per pixel.
struct Picture {
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::vector<uint8_t> Pixels;  // Width * Height * 3 bytes
};

enum class StripeDirection { Horizontal, Vertical, Diagonal };

Picture MakePicture(uint32_t width, uint32_t height, Rgb fill);
void SetPixel(Picture& picture, uint32_t x, uint32_t y, Rgb colour);

// Whole-picture fills; each overwrites every pixel.
// Bilinear blend of the four corner colours.
void FillGradient(Picture& picture, Rgb top_left, Rgb top_right, Rgb bottom_left,
                  Rgb bottom_right);
void FillCheckerboard(Picture& picture, uint32_t cell, Rgb first, Rgb second);
void FillStripes(Picture& picture, StripeDirection direction, uint32_t width, Rgb first,
                 Rgb second);
// Concentric rings around the picture's centre, `ring_width` pixels wide.
void FillRings(Picture& picture, uint32_t ring_width, Rgb first, Rgb second);
// The classic x XOR y texture, scaled to the picture and tinted.
void FillXorPattern(Picture& picture, Rgb tint);

// Overlays; they draw over what is there and clip at the edges.
void DrawDisc(Picture& picture, int32_t centre_x, int32_t centre_y, int32_t radius,
              Rgb colour);
void DrawFrame(Picture& picture, uint32_t thickness, Rgb colour);

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
uint32_t Adler32(const uint8_t* data, size_t size, uint32_t adler = 1);

// Appends the 8-byte PNG signature and the IHDR chunk of an 8-bit RGB image.
void AppendPngSignatureAndHeader(std::vector<uint8_t>& out, uint32_t width, uint32_t height);

// Encodes `rgb` (width * height * 3 bytes, rows top to bottom) as a PNG file.
// Returns an empty vector when width or height is 0 or above 2^31 - 1, when
// `rgb` has the wrong size, or when the image data would not fit one chunk.
std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgb);
std::vector<uint8_t> EncodePng(const Picture& picture);

}  // namespace artpeel::tools
