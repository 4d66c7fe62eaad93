// BMP reader and writer: the sample files against their reference decodes, damaged files,
// small hand-made headers for each pixel layout, the writer's depths, RLE and headers, and
// round trips through load, resample and save.
#include "codecs/bmpcodec.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/job/convert.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"
#include "reference.h"
#include "testdata.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;
using test::Bits;
using test::loadRgba;
using test::maxDifference;
using test::Rgba;

TRGB rgb(int r, int g, int b) { return TRGB{uint8_t(b), uint8_t(g), uint8_t(r)}; }

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
    ASSERT_TRUE(loadRgba(referenceOf(c.name), ref));
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
  ASSERT_TRUE(
      loadRgba(test::TestDataDir() / "reference" / "bmp" / "bad" / "rletopdown.bmp.png", ref));
  TImageIO io;
  io.LoadFromFile((bmpDir() / "bad" / "rletopdown.bmp").string());
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(maxDifference(*io.ImageBitmap(), ref), 0);
}

// ---- Hand-made files ---------------------------------------------------------------------------

void le16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void le32(std::vector<uint8_t>& v, uint32_t x) {
  le16(v, x & 0xFFFF);
  le16(v, x >> 16);
}

// A bitmap file: file header, info header of the given size, masks, colour table, rows (raw,
// already padded, in file order).
struct BmpSpec {
  uint32_t headerSize = 40;
  int32_t width = 1;
  int32_t height = 1;
  uint16_t bits = 24;
  uint32_t compression = 0;
  std::vector<TRGB> colors;
  std::vector<uint32_t> masks;  // after a 40-byte header, inside larger ones
  int32_t ppm = 2835;
  std::vector<uint8_t> rows;
};

std::vector<uint8_t> makeBmp(const BmpSpec& b) {
  std::vector<uint8_t> info;
  if (b.headerSize == 12) {
    le32(info, 12);
    le16(info, uint32_t(b.width));
    le16(info, uint32_t(b.height));
    le16(info, 1);
    le16(info, b.bits);
    for (const TRGB& c : b.colors) info.insert(info.end(), {c.b, c.g, c.r});
  } else {
    le32(info, b.headerSize);
    le32(info, uint32_t(b.width));
    le32(info, uint32_t(b.height));
    le16(info, 1);
    le16(info, b.bits);
    le32(info, b.compression);
    le32(info, uint32_t(b.rows.size()));
    le32(info, uint32_t(b.ppm));
    le32(info, uint32_t(b.ppm));
    le32(info, uint32_t(b.colors.size()));
    le32(info, 0);
    if (b.headerSize > 40) {
      for (uint32_t m : b.masks) le32(info, m);
      info.resize(b.headerSize, 0);
    } else {
      for (uint32_t m : b.masks) le32(info, m);
    }
    for (const TRGB& c : b.colors) info.insert(info.end(), {c.b, c.g, c.r, 0});
  }
  std::vector<uint8_t> file = {'B', 'M'};
  le32(file, uint32_t(14 + info.size() + b.rows.size()));
  le32(file, 0);
  le32(file, uint32_t(14 + info.size()));
  file.insert(file.end(), info.begin(), info.end());
  file.insert(file.end(), b.rows.begin(), b.rows.end());
  return file;
}

BmpSpec spec(uint32_t headerSize, int32_t width, int32_t height, uint16_t bits,
             uint32_t compression = 0) {
  BmpSpec b;
  b.headerSize = headerSize;
  b.width = width;
  b.height = height;
  b.bits = bits;
  b.compression = compression;
  return b;
}

struct Loaded {
  bool aborted = false;
  TImageBitmap bitmap;
  TIOParamsVals params;
};

void readBmp(const std::vector<uint8_t>& bytes, Loaded& out, bool ignoreAlpha = true,
             bool native = false) {
  MemoryStream stream(bytes);
  TProgressRec progress;
  progress.Aborting = &out.aborted;
  out.params.IsNativePixelFormat = native;
  BMPReadStream(stream, out.bitmap, 0, out.params, progress, false, false, ignoreAlpha);
}

std::vector<uint8_t> writeBmp(TImageBitmap& image, TIOParamsVals& params, bool writeAlpha = false,
                              bool* aborted = nullptr) {
  MemoryStream stream;
  bool aborting = false;
  TProgressRec progress;
  progress.Aborting = &aborting;
  BMPWriteStream(stream, image, params, writeAlpha, progress);
  if (aborted) *aborted = aborting;
  return stream.Data();
}

uint32_t u32at(const std::vector<uint8_t>& v, size_t at) {
  return uint32_t(v[at]) | (uint32_t(v[at + 1]) << 8) | (uint32_t(v[at + 2]) << 16) |
         (uint32_t(v[at + 3]) << 24);
}
uint16_t u16at(const std::vector<uint8_t>& v, size_t at) {
  return uint16_t(v[at] | (v[at + 1] << 8));
}

void fill24(TImageBitmap& image, int width, int height, TRGB (*pixel)(int, int)) {
  image.Allocate(width, height, im24RGB);
  for (int y = 0; y < height; ++y) {
    TRGB* p = reinterpret_cast<TRGB*>(image.ScanLine(y));
    for (int x = 0; x < width; ++x) p[x] = pixel(x, y);
  }
}

TEST(BmpRead, PixelLayouts) {
  const TRGB black{0, 0, 0}, white{255, 255, 255};
  struct Case {
    const char* name;
    BmpSpec spec;
    TImagePixelFormat format;
    std::vector<TRGB> topRow;  // expected colours of row 0, left to right
  };
  const Case cases[] = {
      // width 1: 3 pixel bytes and one pad byte per row
      {"24-bit width 1",
       {40, 1, 2, 24, 0, {}, {}, 2835, {1, 2, 3, 0, 4, 5, 6, 0}},
       im24RGB,
       {TRGB{4, 5, 6}}},
      {"16-bit without masks is 5-5-5",
       {40, 3, 1, 16, 0, {}, {}, 2835, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0, 0}},
       im24RGB,
       {rgb(255, 0, 0), rgb(0, 255, 0), rgb(0, 0, 255)}},
      {"16-bit 5-6-5 masks",
       {40,
        3,
        1,
        16,
        3,
        {},
        {0xF800, 0x07E0, 0x001F},
        2835,
        {0x00, 0xF8, 0xE0, 0x07, 0x10, 0x00, 0, 0}},
       im24RGB,
       {rgb(255, 0, 0), rgb(0, 255, 0), rgb(0, 0, 16 * 255 / 31)}},
      {"1-bit black, white",
       {40, 3, 1, 1, 0, {black, white}, {}, 2835, {0b10100000, 0, 0, 0}},
       im1g,
       {white, black, white}},
      {"1-bit white, black is inverted",
       {40, 3, 1, 1, 0, {white, black}, {}, 2835, {0b10100000, 0, 0, 0}},
       im1g,
       {black, white, black}},
      {"1-bit colours",
       {40, 3, 1, 1, 0, {rgb(200, 0, 0), rgb(0, 0, 90)}, {}, 2835, {0b10100000, 0, 0, 0}},
       im24RGB,
       {rgb(0, 0, 90), rgb(200, 0, 0), rgb(0, 0, 90)}},
      {"4-bit",
       {40, 3, 1, 4, 0, {black, rgb(1, 2, 3), rgb(4, 5, 6)}, {}, 2835, {0x21, 0x00, 0, 0}},
       im24RGB,
       {rgb(4, 5, 6), rgb(1, 2, 3), black}},
      {"2-bit",
       {40,
        5,
        1,
        2,
        0,
        {black, rgb(1, 2, 3), rgb(4, 5, 6), white},
        {},
        2835,
        {0b11100100, 0b10000000, 0, 0}},
       im24RGB,
       {white, rgb(4, 5, 6), rgb(1, 2, 3), black, rgb(4, 5, 6)}},
      {"8-bit OS/2 1.x",
       {12, 2, 1, 8, 0, std::vector<TRGB>(256, rgb(9, 8, 7)), {}, 0, {5, 6, 0, 0}},
       im24RGB,
       {rgb(9, 8, 7), rgb(9, 8, 7)}},
      {"32-bit masks in a V4 header",
       {108,
        2,
        1,
        32,
        3,
        {},
        {0xFF000000, 0x00FF0000, 0x0000FF00, 0},
        2835,
        {0, 30, 20, 10, 0, 3, 2, 1}},
       im24RGB,
       {rgb(10, 20, 30), rgb(1, 2, 3)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded l;
    readBmp(makeBmp(c.spec), l);
    ASSERT_FALSE(l.aborted);
    ASSERT_EQ(l.bitmap.PixelFormat(), c.format);
    ASSERT_EQ(l.bitmap.Width(), c.spec.width);
    for (size_t x = 0; x < c.topRow.size(); ++x)
      EXPECT_EQ(l.bitmap.Pixels(int(x), 0), c.topRow[x]) << x;
  }
}

TEST(BmpRead, TopDownAndBottomUpGiveTheSameImageAndAlpha) {
  // 2 x 2, 32-bit: rows (top) red a=10, green a=20; (bottom) blue a=30, white a=40.
  const std::vector<uint8_t> top = {0, 0, 255, 10, 0, 255, 0, 20};
  const std::vector<uint8_t> bottom = {255, 0, 0, 30, 255, 255, 255, 40};
  BmpSpec up = spec(40, 2, 2, 32);
  up.rows = bottom;
  up.rows.insert(up.rows.end(), top.begin(), top.end());
  BmpSpec down = up;
  down.height = -2;
  down.rows = top;
  down.rows.insert(down.rows.end(), bottom.begin(), bottom.end());
  Loaded a, b;
  readBmp(makeBmp(up), a, false);
  readBmp(makeBmp(down), b, false);
  ASSERT_FALSE(a.aborted);
  ASSERT_FALSE(b.aborted);
  EXPECT_EQ(b.params.Height, 2);
  for (Loaded* l : {&a, &b}) {
    ASSERT_TRUE(l->bitmap.HasAlphaChannel());
    EXPECT_EQ(l->bitmap.Pixels(0, 0), rgb(255, 0, 0));
    EXPECT_EQ(l->bitmap.Pixels(1, 1), rgb(255, 255, 255));
    EXPECT_EQ(l->bitmap.Alpha(0, 0), 10);
    EXPECT_EQ(l->bitmap.Alpha(1, 1), 40);
  }
}

TEST(BmpRead, FourthBytesAllZeroOrAllOpaqueOrIgnoredGiveNoAlpha) {
  struct Case {
    const char* name;
    uint8_t a0, a1;
    bool ignore;
    bool alpha;
  };
  const Case cases[] = {{"all 0", 0, 0, false, false},
                        {"all 255", 255, 255, false, false},
                        {"mixed, ignored", 0, 200, true, false},
                        {"mixed", 0, 200, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BmpSpec b = spec(40, 2, 1, 32);
    b.rows = {1, 2, 3, c.a0, 4, 5, 6, c.a1};
    Loaded l;
    readBmp(makeBmp(b), l, c.ignore);
    ASSERT_FALSE(l.aborted);
    EXPECT_EQ(l.bitmap.HasAlphaChannel(), c.alpha);
    EXPECT_EQ(l.bitmap.Pixels(1, 0), (TRGB{4, 5, 6}));
  }
}

TEST(BmpRead, NativeFormatKeepsThePalette) {
  BmpSpec b = spec(40, 3, 1, 8);
  b.colors = {rgb(1, 1, 1), rgb(2, 2, 2), rgb(3, 3, 3)};
  b.rows = {2, 1, 0, 0};
  Loaded l;
  readBmp(makeBmp(b), l, true, true);
  ASSERT_EQ(l.bitmap.PixelFormat(), im8p);
  EXPECT_EQ(l.bitmap.ScanLine(0)[0], 2);
  EXPECT_EQ(l.bitmap.GetPalette(2), rgb(3, 3, 3));
  EXPECT_EQ(l.params.ColorMapCount, 3);
  EXPECT_EQ(l.params.BitsPerSample, 8);
  EXPECT_EQ(l.params.SamplesPerPixel, 1);
}

TEST(BmpRead, DamagedFilesSetTheAbortFlag) {
  BmpSpec good = spec(40, 4, 4, 8);
  good.colors = std::vector<TRGB>(4, rgb(1, 2, 3));
  good.rows.assign(16, 1);
  const std::vector<uint8_t> base = makeBmp(good);
  auto withU32 = [&](size_t at, uint32_t v) {
    std::vector<uint8_t> b = base;
    for (int k = 0; k < 4; ++k) b[at + size_t(k)] = uint8_t(v >> (8 * k));
    return b;
  };
  auto cut = [&](size_t n) { return std::vector<uint8_t>(base.begin(), base.begin() + long(n)); };
  BmpSpec rle = spec(40, 4, 2, 8, 1);
  rle.colors = {rgb(0, 0, 0), rgb(9, 9, 9)};
  rle.rows = {2, 1, 0, 2, 9, 0, 2, 1, 0, 1};  // delta 9 columns right: out of the image
  BmpSpec rleShort = rle;
  rleShort.rows = {2, 1, 0, 0};  // one row of two, then the data ends
  BmpSpec runOff = rle;
  runOff.rows = {9, 1, 0, 0, 0, 1};  // a run of 9 pixels in a row of 4
  BmpSpec badIndex = good;
  badIndex.rows[5] = 200;  // the table has 4 entries
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"empty", {}},
      {"signature only", {'B', 'M'}},
      {"not a bitmap", {'P', 'K', 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"cut in file header", cut(10)},
      {"cut in info header", cut(30)},
      {"cut in colour table", cut(60)},
      {"cut in rows", cut(base.size() - 5)},
      {"zero width", withU32(18, 0)},
      {"negative width", withU32(18, 0xFFFFFFFF)},
      {"huge size", withU32(22, 0x7FFFFFFF)},
      {"info header size 0", withU32(14, 0)},
      {"info header size past the end", withU32(14, 5000)},
      {"pixel offset past the end", withU32(10, 1u << 30)},
      {"bit count 30000",
       [&] {
         auto b = base;
         b[28] = 0x30;
         b[29] = 0x75;
         return b;
       }()},
      {"RLE8 on 24 bits",
       [&] {
         auto b = base;
         b[28] = 24;
         b[30] = 1;
         return b;
       }()},
      {"rle8-delta-past-edge", makeBmp(rle)},
      {"rle8-data-ends-early", makeBmp(rleShort)},
      {"rle8-run-off-the-row", makeBmp(runOff)},
      {"palette index past the table", makeBmp(badIndex)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Loaded l;
    readBmp(c.data, l);
    EXPECT_TRUE(l.aborted);
  }
}

TEST(BmpRead, TinyFileClaimingGigabytesIsRefusedBeforeAllocating) {
  // 30000 x 30000 at 8 bits passes the general size check (2.7 GB as true colour), but the
  // file holds a few bytes of its 900 MB of rows.
  BmpSpec s = spec(40, 4, 4, 8);
  s.colors = std::vector<TRGB>(4, rgb(1, 2, 3));
  s.rows.assign(16, 1);
  std::vector<uint8_t> b = makeBmp(s);
  for (size_t at : {size_t(18), size_t(22)})
    for (int k = 0; k < 4; ++k) b[at + size_t(k)] = uint8_t(30000u >> (8 * k));
  Loaded l;
  readBmp(b, l);
  EXPECT_TRUE(l.aborted);
  EXPECT_TRUE(l.bitmap.IsEmpty());

  // A cut file of ordinary size still shows the rows it has.
  s = spec(40, 64, 64, 24);
  s.rows.assign(64 * 64 * 3, 7);
  b = makeBmp(s);
  b.resize(b.size() - 64 * 3 * 10);
  Loaded cut;
  readBmp(b, cut);
  EXPECT_TRUE(cut.aborted);
  ASSERT_FALSE(cut.bitmap.IsEmpty());
  EXPECT_EQ(cut.bitmap.Pixels(0, 63), rgb(7, 7, 7));  // bottom-up: the last row is stored first
}

// ---- Writing ------------------------------------------------------------------------------------

TRGB manyColours(int x, int y) { return rgb(x * 8, y * 8, (x * y) & 255); }

TEST(BmpWrite, DepthFollowsBitsAndSamples) {
  struct Case {
    const char* name;
    int bits, samples;
    bool alpha;
    int written;
  };
  const Case cases[] = {{"1 bit", 1, 1, false, 1},           {"4 bits", 4, 1, false, 4},
                        {"8 bits", 8, 1, false, 8},          {"24 bits", 8, 3, false, 24},
                        {"16-bit source", 5, 3, false, 24},  {"alpha", 8, 3, true, 32},
                        {"alpha, 4 samples", 8, 4, true, 32}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    fill24(image, 5, 3, manyColours);
    if (c.alpha) image.SetAlpha(0, 0, 7);
    TIOParamsVals params;
    params.BitsPerSample = c.bits;
    params.SamplesPerPixel = c.samples;
    const std::vector<uint8_t> f = writeBmp(image, params);
    ASSERT_GE(f.size(), 54u);
    EXPECT_EQ(u32at(f, 2), f.size());  // file size patched
    EXPECT_EQ(u32at(f, 14), 40u);
    EXPECT_EQ(u16at(f, 28), c.written);
    const uint32_t colours = c.written <= 8 ? 1u << c.written : 0;
    EXPECT_EQ(u32at(f, 46), colours);
    EXPECT_EQ(u32at(f, 10), 54 + 4 * colours);  // pixel offset
    const uint32_t rowLen = (5 * uint32_t(c.written) + 31) / 32 * 4;
    EXPECT_EQ(u32at(f, 34), rowLen * 3);  // image size
    Loaded back;
    readBmp(f, back);
    ASSERT_FALSE(back.aborted);
    if (c.written >= 8) {
      // 15 colours fit every palette of 8 bits and more: exact.
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(back.bitmap.Pixels(x, y), manyColours(x, y));
    }
  }
}

TEST(BmpWrite, FourthByteIsAlphaOnlyWhenAsked) {
  TImageBitmap image;
  fill24(image, 2, 1, manyColours);
  image.SetAlpha(1, 0, 99);
  TIOParamsVals params;
  for (bool writeAlpha : {false, true}) {
    SCOPED_TRACE(writeAlpha);
    const std::vector<uint8_t> f = writeBmp(image, params, writeAlpha);
    const size_t pixels = u32at(f, 10);
    EXPECT_EQ(f[pixels + 3], 255);
    EXPECT_EQ(f[pixels + 7], writeAlpha ? 99 : 255);
  }
}

TEST(BmpWrite, RleRowsEndInEndOfLineAndTheDataInEndOfBitmap) {
  // 300 equal pixels: a run of 255 and a run of 45, then end of line; two rows; end of bitmap.
  TImageBitmap image;
  fill24(image, 300, 2, [](int, int) { return rgb(40, 50, 60); });
  TIOParamsVals params;
  params.BitsPerSample = 8;
  params.SamplesPerPixel = 1;
  params.BMP_Compression = 1;
  const std::vector<uint8_t> f = writeBmp(image, params);
  EXPECT_EQ(u32at(f, 30), 1u);  // RLE8
  const size_t at = u32at(f, 10);
  const std::vector<uint8_t> data(f.begin() + long(at), f.end());
  const std::vector<uint8_t> expected = {255, 0, 45, 0, 0, 0, 255, 0, 45, 0, 0, 0, 0, 1};
  EXPECT_EQ(data, expected);
  EXPECT_EQ(u32at(f, 34), expected.size());

  // Mixed rows survive RLE8 and RLE4 unchanged.
  for (int bits : {8, 4}) {
    SCOPED_TRACE(bits);
    TImageBitmap mixed;
    fill24(mixed, 23, 4, [](int x, int y) {
      const int v = (x < 7 || (x > 12 && x < 16)) ? 3 : (x * 5 + y) % 11;
      return rgb(v * 20, 255 - v * 20, v);
    });
    params.BitsPerSample = bits;
    const std::vector<uint8_t> g = writeBmp(mixed, params);
    EXPECT_EQ(u32at(g, 30), bits == 8 ? 1u : 2u);
    Loaded back;
    readBmp(g, back);
    ASSERT_FALSE(back.aborted);
    EXPECT_EQ(back.params.BMP_Compression, 1);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 23; ++x)
        ASSERT_EQ(back.bitmap.Pixels(x, y), mixed.Pixels(x, y)) << x << "," << y;
  }
}

TEST(BmpWrite, HeaderKindsResolutionAndTwoColours) {
  TImageBitmap image;
  // Two colours, the lighter one first: the table is exchanged so that entry 0 is darker.
  fill24(image, 10, 2, [](int x, int) { return x < 3 ? rgb(250, 250, 200) : rgb(20, 0, 40); });
  TIOParamsVals params;
  params.BitsPerSample = 1;
  params.SamplesPerPixel = 1;
  params.DpiX = 96;
  params.DpiY = 200;
  std::vector<uint8_t> f = writeBmp(image, params);
  EXPECT_EQ(u32at(f, 38), 3780u);
  EXPECT_EQ(u32at(f, 42), 7874u);
  EXPECT_EQ(f[54], 40);  // entry 0 blue: the darker colour
  Loaded back;
  readBmp(f, back);
  EXPECT_EQ(back.params.DpiX, 96);
  EXPECT_EQ(back.params.DpiY, 200);
  EXPECT_EQ(back.bitmap.Pixels(0, 0), rgb(250, 250, 200));
  EXPECT_EQ(back.bitmap.Pixels(9, 1), rgb(20, 0, 40));

  params.BMP_Version = 2;  // OS/2 1.x: 12-byte header, 3-byte table, no resolution
  f = writeBmp(image, params);
  EXPECT_EQ(u32at(f, 14), 12u);
  EXPECT_EQ(u32at(f, 10), 14u + 12 + 2 * 3);
  readBmp(f, back);
  ASSERT_FALSE(back.aborted);
  EXPECT_EQ(back.params.BMP_Version, 2);
  EXPECT_EQ(back.params.DpiX, 300);
  EXPECT_EQ(back.bitmap.Pixels(0, 0), rgb(250, 250, 200));

  params.BMP_Version = 3;  // OS/2 2.x: 64-byte header
  f = writeBmp(image, params);
  EXPECT_EQ(u32at(f, 14), 64u);
  readBmp(f, back);
  ASSERT_FALSE(back.aborted);
  EXPECT_EQ(back.params.BMP_Version, 3);
}

TEST(BmpWrite, ShortStreamSetsTheAbortFlagAndLeavesTheHeadersUnpatched) {
  TImageBitmap image;
  fill24(image, 50, 50, manyColours);
  TIOParamsVals params;
  MemoryStream stream;
  stream.SetCapacity(500);
  bool aborting = false;
  TProgressRec progress;
  progress.Aborting = &aborting;
  BMPWriteStream(stream, image, params, false, progress);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(u32at(stream.Data(), 2), 0u);
}

// ---- Through load, resample and save ------------------------------------------------------------

class BmpFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("lumaprep-bmp-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }
  fs::path m_dir;
};

TEST_F(BmpFiles, PaletteAndRleFilesKeepTheirForm) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    int bits;
    uint32_t compression;
  };
  const Case cases[] = {{"pal1.bmp", 1, 0},         {"pal1bg.bmp", 1, 0},  {"pal4.bmp", 4, 0},
                        {"pal4rle.bmp", 4, 2},      {"pal8.bmp", 8, 0},    {"pal8rle.bmp", 8, 1},
                        {"blauesglas_8.rle", 8, 1}, {"pal8os2.bmp", 8, 0}, {"rgb24.bmp", 24, 0},
                        {"rgb16.bmp", 24, 0},       {"rgba32.bmp", 32, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageIO original_io;
    original_io.LoadFromFile((bmpDir() / c.name).string());
    ASSERT_FALSE(original_io.Aborting());
    TImageBitmap original;
    original.Assign(*original_io.ImageBitmap());
    // The conversion job's own step at the image's own size.
    TImageIO io;
    TImageProc proc(io.ImageBitmap());
    const fs::path target = m_dir / c.name;
    const TConvertResult r =
        ConvertFile(io, proc, (bmpDir() / c.name).string(), target.string(), 80, 0, 0, nullptr);
    ASSERT_TRUE(r.Written);
    const std::vector<uint8_t> f = ReadFileBytes(target.string());
    const size_t header = u32at(f, 14);
    EXPECT_EQ(header == 12 ? u16at(f, 24) : u16at(f, 28), c.bits);
    EXPECT_EQ(header == 12 ? 0 : u32at(f, 30), c.compression);

    TImageIO back;
    back.LoadFromFile(target.string());
    ASSERT_FALSE(back.Aborting());
    TImageBitmap& b = *back.ImageBitmap();
    ASSERT_EQ(b.Width(), original.Width());
    // Without BMP_HandleTransparency the fourth byte is written 255 and not read back as alpha;
    // fully transparent pixels are left grey by the resampler, so only the others compare.
    EXPECT_FALSE(b.HasAlphaChannel());
    int differing = 0;
    for (int y = 0; y < b.Height(); ++y)
      for (int x = 0; x < b.Width(); ++x)
        if (!original.HasAlphaChannel() || original.Alpha(x, y) != 0)
          differing += !(b.Pixels(x, y) == original.Pixels(x, y));
    EXPECT_EQ(differing, 0);
  }

  // Smaller output keeps the form too.
  TImageIO io;
  TImageProc proc(io.ImageBitmap());
  ASSERT_TRUE(ConvertFile(io, proc, (bmpDir() / "pal4.bmp").string(),
                          (m_dir / "small.bmp").string(), 80, 60, -1, nullptr));
  const std::vector<uint8_t> f = ReadFileBytes((m_dir / "small.bmp").string());
  EXPECT_EQ(u16at(f, 28), 4);
  EXPECT_EQ(u32at(f, 18), 60u);
}

TEST_F(BmpFiles, AlphaTravelsWithHandleTransparency) {
  LUMAPREP_REQUIRE_TESTDATA();
  TImageIO io;
  io.Params().BMP_HandleTransparency = true;
  io.LoadFromFile((bmpDir() / "rgba32.bmp").string());
  ASSERT_FALSE(io.Aborting());
  TImageBitmap original;
  original.Assign(*io.ImageBitmap());
  ASSERT_TRUE(original.HasAlphaChannel());
  const fs::path target = m_dir / "alpha.bmp";
  io.SaveToFile(target.string());
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(u16at(ReadFileBytes(target.string()), 28), 32);

  TImageIO back;
  back.Params().BMP_HandleTransparency = true;
  back.LoadFromFile(target.string());
  ASSERT_FALSE(back.Aborting());
  TImageBitmap& b = *back.ImageBitmap();
  ASSERT_TRUE(b.HasAlphaChannel());
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      ASSERT_EQ(b.Alpha(x, y), original.Alpha(x, y)) << x << "," << y;
      if (original.Alpha(x, y) != 0) {
        ASSERT_EQ(b.Pixels(x, y), original.Pixels(x, y));
      }
    }
}

TEST_F(BmpFiles, StreamsAreRecognisedByContent) {
  BmpSpec b = spec(40, 1, 1, 24);
  b.rows = {1, 2, 3, 0};
  std::vector<uint8_t> bytes = makeBmp(b);
  MemoryStream stream(bytes);
  EXPECT_TRUE(BMPTryStream(stream));
  EXPECT_EQ(FindStreamFormat(stream), ioBMP);
  TImageIO io;
  io.LoadFromStream(stream);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->Pixels(0, 0), (TRGB{1, 2, 3}));
  MemoryStream tooShort(bytes.data(), 14);
  EXPECT_FALSE(BMPTryStream(tooShort));
}

}  // namespace
}  // namespace lumaprep
