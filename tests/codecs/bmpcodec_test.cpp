// BMP reader and writer: the sample files against their reference decodes, damaged files,
// small hand-made headers for each pixel layout, the writer's depths, RLE and headers, and
// round trips through load, resample and save.
#include "codecs/bmpcodec.h"

#include <png.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "imaging/imageio.h"
#include "imaging/resample.h"
#include "testdata.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

TRGB rgb(int r, int g, int b) { return TRGB{uint8_t(b), uint8_t(g), uint8_t(r)}; }

// A reference decode: 8-bit RGBA, read with libpng's simplified interface.
struct Rgba {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

bool loadReference(const fs::path& file, Rgba& out) {
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
int fullRange(int shifted, int n) {
  if (n >= 8) return shifted;
  const int v = shifted >> (8 - n);
  return v * 255 / ((1 << n) - 1);
}

// Largest channel difference between the buffer (and its alpha) and the reference; RGB is
// ignored where both are fully transparent. With `shifted`, the reference's low-depth samples
// are first brought to full range; with ignoreRefAlpha the reference's alpha is taken as 255.
int maxDifference(TImageBitmap& bitmap, const Rgba& ref, const Bits* shifted = nullptr,
                  bool ignoreRefAlpha = false) {
  int worst = 0;
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ref.width; ++x) {
      const uint8_t* p = &ref.pixels[(size_t(y) * size_t(ref.width) + size_t(x)) * 4];
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

fs::path bmpDir() { return test::TestDataDir() / "bmp"; }

fs::path referenceOf(const std::string& name) {
  return test::TestDataDir() / "reference" / "bmp" / (name + ".png");
}

// ---- The sample files ------------------------------------------------------------------------

TEST(BmpSamples, EveryReadableFileMatchesItsReference) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    TImagePixelFormat format;
    bool alpha;
    // Where the reference decoder differs from this reader (see the notes at the table's end).
    const Bits* shifted = nullptr;
    bool ignoreRefAlpha = false;
  };
  static const Bits k231{2, 3, 1, 8};
  static const Bits k4444{4, 4, 4, 4};
  const Case cases[] = {
      {"Core_1_Bit.bmp", im1g, false},
      {"Info_4_Bit_Top_Down.bmp", im24RGB, false},
      {"V4_A8_R8_G8_B8.bmp", im24RGB, false},  // its alpha mask holds 255 everywhere
      {"blauesglas_8.rle", im24RGB, false},
      {"bmp.bmp", im24RGB, false},
      {"clipboard.dib", im24RGB, false},
      {"pal1.bmp", im1g, false},
      {"pal1bg.bmp", im24RGB, false},
      {"pal1p1.bmp", im24RGB, false},
      {"pal4.bmp", im24RGB, false},
      {"pal4rle.bmp", im24RGB, false},
      {"pal4rletrns.bmp", im24RGB, false},
      {"pal8.bmp", im24RGB, false},
      {"pal8nonsquare.bmp", im24RGB, false},
      {"pal8os2.bmp", im24RGB, false},
      {"pal8os2v2.bmp", im24RGB, false},
      {"pal8rle.bmp", im24RGB, false},
      {"pal8rletrns.bmp", im24RGB, false},
      {"pal8topdown.bmp", im24RGB, false},
      {"pal8v4.bmp", im24RGB, false},
      {"pal8v5.bmp", im24RGB, false},
      {"rgb16-231.bmp", im24RGB, false, &k231},
      {"rgb16-565.bmp", im24RGB, false},
      {"rgb16.bmp", im24RGB, false},
      {"rgb24.bmp", im24RGB, false},
      {"rgb24prof.bmp", im24RGB, false},
      {"rgb32.bmp", im24RGB, false},
      {"rgb32bf.bmp", im24RGB, false, nullptr, true},
      {"rgb32fakealpha.bmp", im24RGB, false},
      {"rgba16-4444.bmp", im24RGB, true, &k4444},
      {"rgba32.bmp", im24RGB, true},
  };
  // rgb16-231 and rgba16-4444: the reference shifts 1..4-bit samples to the top of the byte
  // (a 4-bit 15 becomes 240, so opaque pixels come out 6 % transparent); this reader scales
  // them to full range like the 5- and 6-bit ones. rgb32bf: the reference holds alpha 0
  // everywhere although the file defines no alpha; the file is opaque.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rgba ref;
    ASSERT_TRUE(loadReference(referenceOf(c.name), ref));
    TImageIO io;
    io.LoadFromFile((bmpDir() / c.name).string());
    ASSERT_FALSE(io.Aborting());
    TImageBitmap& bitmap = *io.ImageBitmap();
    ASSERT_EQ(bitmap.Width(), ref.width);
    ASSERT_EQ(bitmap.Height(), ref.height);
    EXPECT_EQ(bitmap.PixelFormat(), c.format);
    EXPECT_EQ(bitmap.HasAlphaChannel(), c.alpha);
    EXPECT_EQ(maxDifference(bitmap, ref, c.shifted, c.ignoreRefAlpha), 0);
    EXPECT_EQ(io.Params().FileType, ioBMP);
  }
}

TEST(BmpSamples, DamagedFilesSetTheAbortFlag) {
  LUMAPREP_REQUIRE_TESTDATA();
  int count = 0;
  for (const auto& entry : fs::directory_iterator(bmpDir() / "bad")) {
    SCOPED_TRACE(entry.path().filename().string());
    TImageIO io;
    io.LoadFromFile(entry.path().string());
    EXPECT_TRUE(io.Aborting());
    ++count;
  }
  EXPECT_GE(count, 5);
}

TEST(BmpSamples, UnreadableVariantsSetTheAbortFlag) {
  LUMAPREP_REQUIRE_TESTDATA();
  // Embedded JPEG and PNG data is not decoded.
  for (const char* name : {"rgb24jpeg.bmp", "rgb24png.bmp"}) {
    SCOPED_TRACE(name);
    TImageIO io;
    io.LoadFromFile((bmpDir() / name).string());
    EXPECT_TRUE(io.Aborting());
  }
}

TEST(BmpSamples, TopDownRleDecodesLikeItsReferenceButIsFlagged) {
  LUMAPREP_REQUIRE_TESTDATA();
  Rgba ref;
  ASSERT_TRUE(loadReference(test::TestDataDir() / "reference" / "bmp" / "bad" / "rletopdown.bmp.png", ref));
  TImageIO io;
  io.LoadFromFile((bmpDir() / "bad" / "rletopdown.bmp").string());
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(maxDifference(*io.ImageBitmap(), ref), 0);
}

}  // namespace
}  // namespace lumaprep
