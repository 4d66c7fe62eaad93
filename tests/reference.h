#pragma once
// Reference decodes of the sample files (8-bit RGBA PNG) and the comparison of a decoded
// buffer with them, shared by the codec tests.
#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "imaging/imagebitmap.h"

namespace lumaprep::test {

// A decode by libpng's simplified interface (8-bit RGBA), for references and written files.
struct Rgba {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* at(int x, int y) const {
    return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
  }
};

inline bool loadRgba(const std::filesystem::path& file, Rgba& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, file.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  out.width = int(image.width);
  out.height = int(image.height);
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  const bool ok = png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr) != 0;
  png_image_free(&image);
  return ok;
}

// How a file's decode is compared with its reference.
struct Bits {
  int r = 8, g = 8, b = 8, a = 8;  // bits per channel in the file
};

// A reference channel made by shifting n-bit samples to the top of the byte (v << (8 - n)),
// turned into the full-range value this reader gives (v * 255 / (2^n - 1)).
inline int fullRange(int shifted, int n) {
  if (n >= 8) return shifted;
  const int v = shifted >> (8 - n);
  return v * 255 / ((1 << n) - 1);
}

// Largest channel difference between the buffer (and its alpha) and the reference; RGB is
// ignored where both are fully transparent. With `shifted`, the reference's low-depth samples
// are first brought to full range; with ignoreRefAlpha the reference's alpha is taken as 255.
inline int maxDifference(TImageBitmap& bitmap, const Rgba& ref, const Bits* shifted = nullptr,
                  bool ignoreRefAlpha = false) {
  int worst = 0;
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ref.width; ++x) {
      const uint8_t* p = ref.at(x, y);
      int r[4] = {p[0], p[1], p[2], ignoreRefAlpha ? 255 : p[3]};
      if (shifted) {
        r[0] = fullRange(r[0], shifted->r);
        r[1] = fullRange(r[1], shifted->g);
        r[2] = fullRange(r[2], shifted->b);
        r[3] = fullRange(r[3], shifted->a);
      }
      const TRGB c = bitmap.Pixels(x, y);
      const int a = bitmap.HasAlphaChannel() ? bitmap.AlphaChannel()->ScanLine(y)[x] : 255;
      worst = std::max(worst, std::abs(a - r[3]));
      if (a == 0 && r[3] == 0) continue;
      worst = std::max({worst, std::abs(c.r - r[0]), std::abs(c.g - r[1]), std::abs(c.b - r[2])});
    }
  }
  return worst;
}

}  // namespace lumaprep::test
