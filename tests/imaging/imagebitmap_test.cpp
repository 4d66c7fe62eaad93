#include "imaging/imagebitmap.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

TImageBitmap* memoryBitmap(TImageBitmap& b, int w, int h, TImagePixelFormat f) {
  b.SetLocation(imMemory);
  b.SetMinFileSize(INT64_MAX);
  b.Allocate(w, h, f);
  return &b;
}

void setRgb(TImageBitmap& b, int x, int y, TRGB c) {
  uint8_t* p = b.ScanLine(y) + 3 * x;
  p[0] = c.b;
  p[1] = c.g;
  p[2] = c.r;
}

// A temporary folder of the test's own, used as the process-wide folder of temporary stores.
class TempFolder {
 public:
  TempFolder() {
    m_path =
        fs::temp_directory_path() /
        ("lumaprep-buf-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(m_path);
    m_old = ImageSettings().TempFolder;
    ImageSettings().TempFolder = m_path.string();
  }
  ~TempFolder() {
    ImageSettings().TempFolder = m_old;
    std::error_code ec;
    fs::remove_all(m_path, ec);
  }
  bool Empty() const { return fs::is_empty(m_path); }

 private:
  fs::path m_path;
  std::string m_old;
};

TEST(ImageBitmap, FormatTablesAndRowLength) {
  struct Case {
    const char* name;
    int width;
    TImagePixelFormat format;
    int bitCount, channels, rowLen;
  } cases[] = {
      {"3x1 rgb", 3, im24RGB, 24, 3, 12}, {"9x1 bilevel", 9, im1g, 1, 1, 4},
      {"5 palette", 5, im8p, 8, 1, 8},    {"3 grey16", 3, im16g, 16, 1, 8},
      {"1 float", 1, im32f, 32, 1, 4},    {"2 cmyk", 2, imCMYK, 32, 4, 8},
      {"1 rgb48", 1, imRGB48, 48, 3, 8},  {"1 lab", 1, imCIELab, 24, 3, 4},
      {"32 bilevel", 32, im1g, 1, 1, 4},  {"33 bilevel", 33, im1g, 1, 1, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    memoryBitmap(b, c.width, 1, c.format);
    EXPECT_EQ(b.BitCount(), c.bitCount);
    EXPECT_EQ(b.ChannelCount(), c.channels);
    EXPECT_EQ(b.RowLen(), c.rowLen);
    EXPECT_EQ(b.PaletteLength(), c.format == im8p ? 256 : 0);
  }
  EXPECT_EQ(ImageRowLen(10, 8, 8), 10);
  EXPECT_EQ(ImageRowLen(10, 8, 16), 10);
  EXPECT_EQ(ImageRowLen(9, 8, 16), 10);
}

TEST(ImageBitmap, SizeCheck) {
  EXPECT_TRUE(ImageSizeOk(6000, 4000, 24));
  EXPECT_TRUE(ImageSizeOk(1, 1, 1));
  EXPECT_FALSE(ImageSizeOk(0, 10, 24));
  EXPECT_FALSE(ImageSizeOk(10, -1, 24));
  EXPECT_FALSE(ImageSizeOk(10, 10, 0));
  EXPECT_FALSE(ImageSizeOk(int64_t(INT_MAX) + 1, 1, 8));
  EXPECT_FALSE(ImageSizeOk(INT_MAX, INT_MAX, 48));
  EXPECT_FALSE(ImageSizeOk(100000, 100000, 24));  // 30 GB
  EXPECT_FALSE(ImageSizeOk(int64_t(1) << 40, int64_t(1) << 40, 64));
}

TEST(ImageBitmap, BadSizesLeaveAnEmptyBuffer) {
  struct Case {
    const char* name;
    int w, h;
    TImagePixelFormat f;
    bool throws;
  } cases[] = {
      {"zero width", 0, 10, im24RGB, false},
      {"negative height", 10, -3, im24RGB, false},
      {"no format", 10, 10, imNone, false},
      {"row overflow", INT_MAX, 1, im24RGB, true},
      {"total overflow", INT_MAX / 8, INT_MAX, im24RGB, true},
      {"over the limit", 70000, 70000, im24RGB, true},
  };
  for (TImageLocation loc : {imMemory, imFile, imTBitmap}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " location " + std::to_string(int(loc)));
      TImageBitmap b;
      b.SetLocation(loc);
      b.Allocate(4, 4, im24RGB);
      b.AlphaChannel();
      if (c.throws)
        EXPECT_THROW(b.Allocate(c.w, c.h, c.f), std::length_error);
      else
        b.Allocate(c.w, c.h, c.f);
      EXPECT_TRUE(b.IsEmpty());
      EXPECT_EQ(b.Width(), 0);
      EXPECT_EQ(b.ScanLine(0), nullptr);
      EXPECT_FALSE(b.HasAlphaChannel());
      b.Allocate(2, 2, im8g);  // usable again
      EXPECT_FALSE(b.IsEmpty());
    }
  }
}

TEST(ImageBitmap, AllocateKeepsPixelsUnlessReallocNeeded) {
  TImageBitmap b;
  memoryBitmap(b, 3, 2, im8g);
  b.ScanLine(1)[2] = 77;
  b.Allocate(3, 2, im8g);
  EXPECT_EQ(b.ScanLine(1)[2], 77);

  TImageBitmap other;
  memoryBitmap(other, 3, 2, im8g);
  other.Fill(5);
  b.Assign(other);
  EXPECT_TRUE(b.NeedRealloc());
  b.ScanLine(1)[2] = 77;
  b.Allocate(3, 2, im8g);
  EXPECT_FALSE(b.NeedRealloc());
  EXPECT_EQ(b.ScanLine(1)[2], 0);  // fresh, zero-filled block
}

TEST(ImageBitmap, MemoryRowsAreBottomUpAndAligned) {
  TImageBitmap b;
  memoryBitmap(b, 5, 4, im24RGB);
  ASSERT_EQ(b.Location(), imMemory);
  const int64_t rowLen = b.RowLen();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.ScanLine(3)) % 32, 0u);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(b.ScanLine(r), b.ScanLine(3) + rowLen * (3 - r));
  EXPECT_EQ(b.ScanLine(4), nullptr);
  EXPECT_EQ(b.ScanLine(-1), nullptr);
}

TEST(ImageBitmap, StorageChoiceByMinFileSize) {
  TempFolder temp;
  const int64_t size = 12 * 4;  // 4 x 4 im24RGB
  struct Case {
    const char* name;
    TImageLocation before;
    int64_t minFileSize;
    TImageLocation after;
  } cases[] = {
      {"file, small image", imFile, size + 1, imMemory},
      {"file, exact size", imFile, size, imFile},
      {"memory, exact size", imMemory, size, imMemory},
      {"memory, large image", imMemory, size - 1, imFile},
      {"tbitmap untouched", imTBitmap, 0, imTBitmap},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    b.SetLocation(c.before);
    b.SetMinFileSize(c.minFileSize);
    b.Allocate(4, 4, im24RGB);
    EXPECT_EQ(b.Location(), c.after);
  }
}

TEST(ImageBitmap, FileStorageKeepsRowsAndLeavesNoFile) {
  TempFolder temp;
  {
    TImageBitmap b;
    b.SetMinFileSize(0);
    b.Allocate(7, 5, im24RGB);
    ASSERT_EQ(b.Location(), imFile);
    EXPECT_TRUE(temp.Empty());  // the store is never visible in the folder
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 7; ++x) setRgb(b, x, y, TRGB{uint8_t(x), uint8_t(y), uint8_t(x * y)});
    for (int y = 4; y >= 0; --y)
      for (int x = 0; x < 7; ++x)
        EXPECT_EQ(b.Pixels(x, y), (TRGB{uint8_t(x), uint8_t(y), uint8_t(x * y)}));

    // Acquired rows stay valid across ScanLine calls.
    uint8_t* r1 = b.AcquireRow(1);
    uint8_t* r3 = b.AcquireRow(3);
    r1[0] = 201;
    r3[0] = 203;
    b.ScanLine(0)[0] = 200;
    b.ScanLine(2);
    b.ReleaseRow(1);
    b.ReleaseRow(3);
    EXPECT_EQ(b.ScanLine(1)[0], 201);
    EXPECT_EQ(b.ScanLine(3)[0], 203);
    EXPECT_EQ(b.ScanLine(0)[0], 200);

    // Copies between two file stores and back to memory keep every row.
    TImageBitmap c;
    c.SetMinFileSize(0);
    c.Assign(b);
    EXPECT_EQ(c.Location(), imFile);
    c.SetLocation(imMemory);
    EXPECT_EQ(c.Location(), imMemory);
    EXPECT_EQ(c.Pixels(6, 4), (TRGB{6, 4, 24}));
    EXPECT_EQ(c.ScanLine(1)[0], 201);
  }
  EXPECT_TRUE(temp.Empty());
}

TEST(ImageBitmap, UnusableTempFolderFallsBackToMemory) {
  const std::string old = ImageSettings().TempFolder;
  ImageSettings().TempFolder = "/nonexistent/lumaprep-no-such-folder";
  TImageBitmap b;
  b.SetMinFileSize(0);
  b.Allocate(4, 4, im8g);
  ImageSettings().TempFolder = old;
  EXPECT_EQ(b.Location(), imMemory);
  EXPECT_NE(b.ScanLine(0), nullptr);
}

TEST(ImageBitmap, TBitmapStorageRules) {
  TImageBitmap b;
  b.SetLocation(imTBitmap);

  b.Allocate(5, 3, im16g);
  EXPECT_EQ(b.PixelFormat(), im8g);
  EXPECT_EQ(b.BitCount(), 8);
  EXPECT_EQ(b.RowLen(), 8);
  EXPECT_TRUE(b.VclBitmap().IsGreyRamp());
  EXPECT_EQ(b.VclBitmap().PixelFormat(), pf8bit);

  for (auto [f, name] : {std::pair{imCMYK, "imCMYK"}, std::pair{im32f, "im32f"},
                         std::pair{imRGB48, "imRGB48"}, std::pair{imCIELab, "imCIELab"}}) {
    try {
      b.Allocate(5, 3, f);
      ADD_FAILURE() << "no exception for " << name;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string(name) + " pixel format not allowed when Location=imTBitmap");
    }
    EXPECT_TRUE(b.IsEmpty());
  }

  // A palette image keeps reporting its real format after an impossible conversion request.
  b.Allocate(4, 2, im8p);
  EXPECT_EQ(b.PixelFormat(), im8p);
  b.SetPalette(3, TRGB{1, 2, 3});
  EXPECT_EQ(b.VclBitmap().GetColor(3), (TRGB{1, 2, 3}));
  b.ScanLine(1)[1] = 3;
  b.SetPixelFormat(im24RGB);
  EXPECT_EQ(b.PixelFormat(), im8p);
  EXPECT_EQ(b.ScanLine(1)[1], 3);
  EXPECT_EQ(b.Pixels(1, 1), (TRGB{1, 2, 3}));

  // A grey-ramp palette makes it an im8g image.
  for (int i = 0; i < 256; ++i) b.SetPalette(i, TRGB{uint8_t(i), uint8_t(i), uint8_t(i)});
  EXPECT_EQ(b.PixelFormat(), im8g);
  b.SetPixelFormat(im24RGB);
  EXPECT_EQ(b.PixelFormat(), im8g);

  // Changes made to the TBitmap directly show up in the buffer.
  b.Allocate(4, 2, im24RGB);
  b.VclBitmap().SetSize(9, 6);
  EXPECT_EQ(b.Width(), 9);
  EXPECT_EQ(b.Height(), 6);
  EXPECT_EQ(b.RowLen(), 28);
  EXPECT_EQ(b.ScanLine(5), b.VclBitmap().ScanLine(5));
  b.VclBitmap().SetPixelFormat(pf1bit);
  EXPECT_EQ(b.PixelFormat(), im1g);
  EXPECT_EQ(b.RowLen(), 4);
}

TEST(ImageBitmap, TBitmapConversions) {
  TImageBitmap b;
  b.SetLocation(imTBitmap);
  b.Allocate(9, 2, im24RGB);
  b.Fill(ColorValue(TRGB{0, 0, 255}));
  b.SetPixelFormat(im8g);
  EXPECT_EQ(b.PixelFormat(), im8g);
  EXPECT_EQ(b.ScanLine(1)[8], 53);

  b.Allocate(9, 2, im24RGB);
  b.Fill(ColorValue(TRGB{10, 10, 10}));
  setRgb(b, 0, 0, TRGB{0, 0, 0});
  b.SetPixelFormat(im1g);
  EXPECT_EQ(b.PixelFormat(), im1g);
  EXPECT_EQ(b.VclBitmap().PixelFormat(), pf1bit);
  EXPECT_EQ(b.Pixels(0, 0), (TRGB{0, 0, 0}));
  EXPECT_EQ(b.Pixels(8, 1), (TRGB{255, 255, 255}));
  b.SetPixelFormat(im24RGB);
  EXPECT_EQ(b.PixelFormat(), im24RGB);
  EXPECT_EQ(b.Pixels(0, 0), (TRGB{0, 0, 0}));
  EXPECT_EQ(b.Pixels(1, 0), (TRGB{255, 255, 255}));
}

TEST(ImageBitmap, AssignIntoTBitmapConvertsFormatsItCannotHold) {
  TImageBitmap src;
  memoryBitmap(src, 3, 2, imRGB48);
  src.Fill(ColorValue(TRGB{30, 20, 10}));
  TImageBitmap view;
  view.SetLocation(imTBitmap);
  view.Assign(src);
  EXPECT_EQ(view.PixelFormat(), im24RGB);
  EXPECT_EQ(view.RowLen(), view.VclBitmap().RowLen());
  EXPECT_EQ(view.Pixels(2, 1), (TRGB{30, 20, 10}));

  TImageBitmap empty;
  view.Assign(empty);  // an empty source leaves the view's image alone
  EXPECT_EQ(view.Width(), 3);
}

TEST(ImageBitmap, Conversions) {
  struct Case {
    const char* name;
    TImagePixelFormat from;
    std::vector<uint8_t> pixel;
    TImagePixelFormat to;
    std::vector<uint8_t> expected;
  };
  auto f32 = [](float f) {
    std::vector<uint8_t> v(4);
    std::memcpy(v.data(), &f, 4);
    return v;
  };
  const Case cases[] = {
      {"white to grey", im24RGB, {255, 255, 255}, im8g, {255}},
      {"red to grey", im24RGB, {0, 0, 255}, im8g, {53}},
      {"red to grey16", im24RGB, {0, 0, 255}, im16g, {0x45, 0x36}},  // 255*54484/1000 = 13893
      {"grey to rgb", im8g, {9}, im24RGB, {9, 9, 9}},
      {"grey to grey16", im8g, {2}, im16g, {2, 2}},
      {"grey to rgb48", im8g, {1}, imRGB48, {1, 1, 1, 1, 1, 1}},
      {"grey16 to grey", im16g, {0xFF, 0x80}, im8g, {0x80}},
      {"grey16 to rgb48", im16g, {0x34, 0x12}, imRGB48, {0x34, 0x12, 0x34, 0x12, 0x34, 0x12}},
      {"grey16 to float", im16g, {0xFF, 0xFF}, im32f, f32(1.0f)},
      {"float to grey", im32f, f32(0.5f), im8g, {127}},
      {"float to grey16", im32f, f32(0.5f), im16g, {0xFF, 0x7F}},
      {"float out of range", im32f, f32(7.0f), im8g, {255}},
      {"negative float", im32f, f32(-1.0f), im8g, {0}},
      {"rgb48 to rgb", imRGB48, {0xFF, 0x10, 0xFF, 0x20, 0xFF, 0x30}, im24RGB, {0x30, 0x20, 0x10}},
      {"rgb48 to grey16", imRGB48, {0xE8, 0x03, 0, 0, 0, 0}, im16g, {212, 0}},
      {"rgb to rgb48", im24RGB, {1, 2, 3}, imRGB48, {3, 3, 2, 2, 1, 1}},
      {"rgb to cmyk", im24RGB, {0, 100, 200}, imCMYK, {255, 127, 0, 200}},
      {"black to cmyk", im24RGB, {0, 0, 0}, imCMYK, {0, 0, 0, 1}},
      {"cmyk to rgb", imCMYK, {255, 127, 0, 200}, im24RGB, {0, 99, 200}},
      {"cmyk to grey", imCMYK, {255, 255, 255, 255}, im8g, {255}},
      {"black to lab", im24RGB, {0, 0, 0}, imCIELab, {0, 0, 0}},
      {"white to lab", im24RGB, {255, 255, 255}, imCIELab, {250, 0, 0}},
      {"lab black to rgb", imCIELab, {0, 0, 0}, im24RGB, {0, 0, 0}},
      {"bilevel to grey", im1g, {0x80}, im8g, {255}},
      {"bilevel to palette", im1g, {0x80}, im8p, {1}},
      {"grey to palette", im8g, {42}, im8p, {42}},
      {"bilevel to rgb48", im1g, {0x80}, imRGB48, {255, 255, 255, 255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    memoryBitmap(b, 1, 1, c.from);
    std::memcpy(b.ScanLine(0), c.pixel.data(), c.pixel.size());
    b.SetPixelFormat(c.to);
    ASSERT_EQ(b.PixelFormat(), c.to);
    const std::vector<uint8_t> got(b.ScanLine(0), b.ScanLine(0) + c.expected.size());
    EXPECT_EQ(got, c.expected);
    if (c.to == im8p && c.from == im1g) {
      EXPECT_EQ(b.GetPalette(0), (TRGB{0, 0, 0}));
      EXPECT_EQ(b.GetPalette(1), (TRGB{255, 255, 255}));
    } else if (c.to == im8p) {
      EXPECT_EQ(b.GetPalette(200), (TRGB{200, 200, 200}));
    }
  }
}

TEST(ImageBitmap, LabRoundTripStaysClose) {
  TImageBitmap b;
  memoryBitmap(b, 4, 1, im24RGB);
  const TRGB colours[] = {{40, 200, 90}, {255, 255, 255}, {10, 10, 10}, {200, 30, 120}};
  for (int x = 0; x < 4; ++x) setRgb(b, x, 0, colours[x]);
  b.SetPixelFormat(imCIELab);
  b.SetPixelFormat(im24RGB);
  for (int x = 0; x < 4; ++x) {
    const TRGB got = b.Pixels(x, 0);
    EXPECT_NEAR(got.r, colours[x].r, 8) << x;
    EXPECT_NEAR(got.g, colours[x].g, 8) << x;
    EXPECT_NEAR(got.b, colours[x].b, 8) << x;
  }
}

TEST(ImageBitmap, ConversionToBilevel) {
  // Threshold: all pixels equal gives all white.
  TImageBitmap flat;
  memoryBitmap(flat, 10, 3, im24RGB);
  flat.Fill(ColorValue(TRGB{60, 70, 80}));
  flat.SetPixelFormat(im1g);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(flat.ScanLine(y)[0], 0xFF);
  EXPECT_EQ(flat.ScanLine(0)[1] & 0xC0, 0xC0);

  // Threshold at the mean luminance.
  TImageBitmap ramp;
  memoryBitmap(ramp, 4, 1, im8g);
  const uint8_t values[] = {0, 100, 101, 255};  // mean 114
  std::memcpy(ramp.ScanLine(0), values, 4);
  ramp.SetPixelFormat(im1g);
  EXPECT_EQ(ramp.ScanLine(0)[0] & 0xF0, 0x10);

  // Ordered dither of mid grey: Y shr 2 = 32 beats exactly half of the 64 matrix entries.
  TImageBitmap grey;
  memoryBitmap(grey, 8, 8, im8g);
  grey.Fill(128);
  grey.SetDitherMethod(0);
  grey.SetPixelFormat(im1g);
  int white = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) white += grey.Pixels(x, y).r == 255;
  EXPECT_EQ(white, 32);
  EXPECT_EQ(grey.Pixels(0, 0).r, 255);  // matrix 0 at (0, 0)
  EXPECT_EQ(grey.Pixels(1, 0).r, 0);    // matrix 48 at column 1, row 0
}

TEST(ImageBitmap, AlphaChannel) {
  TImageBitmap b;
  memoryBitmap(b, 3, 2, im24RGB);
  EXPECT_FALSE(b.HasAlphaChannel());
  TImageBitmap* a = b.AlphaChannel();
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(a->IsAlpha());
  EXPECT_EQ(a->PixelFormat(), im8g);
  EXPECT_EQ(a->Width(), 3);
  EXPECT_TRUE(a->Full());
  EXPECT_EQ(b.Alpha(2, 1), 255);
  EXPECT_EQ(a->AlphaChannel(), nullptr);  // an alpha buffer has no alpha of its own

  b.SetAlpha(1, 1, 255);
  EXPECT_TRUE(a->Full());
  b.SetAlpha(1, 1, 128);
  EXPECT_FALSE(a->Full());
  b.SetAlpha(1, 1, 255);
  b.SyncFull();
  EXPECT_TRUE(a->Full());
  EXPECT_EQ(b.Alpha(7, 7), 255);  // outside: opaque, no failure

  // Merging over black at alpha 128 halves the channel values.
  setRgb(b, 1, 1, TRGB{200, 201, 1});
  b.SetAlpha(1, 1, 128);
  b.RemoveAlphaChannel(true, TRGB{0, 0, 0});
  EXPECT_FALSE(b.HasAlphaChannel());
  EXPECT_EQ(b.Pixels(1, 1), (TRGB{100, 100, 0}));

  // Over a lighter background the result rounds toward minus infinity.
  b.SetAlpha(0, 0, 128);
  setRgb(b, 0, 0, TRGB{1, 0, 0});
  b.RemoveAlphaChannel(true, TRGB{10, 10, 10});
  EXPECT_EQ(b.Pixels(0, 0), (TRGB{5, 5, 5}));
}

TEST(ImageBitmap, AssignCopiesOrRemovesAlpha) {
  TImageBitmap withAlpha, plain, dst;
  memoryBitmap(withAlpha, 2, 2, im24RGB);
  withAlpha.SetAlpha(1, 0, 7);
  memoryBitmap(plain, 2, 2, im24RGB);
  memoryBitmap(dst, 5, 5, im8g);

  dst.Assign(withAlpha);
  ASSERT_TRUE(dst.HasAlphaChannel());
  EXPECT_EQ(dst.Alpha(1, 0), 7);
  EXPECT_EQ(dst.Width(), 2);
  EXPECT_EQ(dst.PixelFormat(), im24RGB);

  dst.CopyFrom(plain);  // CopyFrom leaves the alpha channel alone
  EXPECT_TRUE(dst.HasAlphaChannel());
  dst.Assign(plain);
  EXPECT_FALSE(dst.HasAlphaChannel());
}

TEST(ImageBitmap, FillPixelsAndFull) {
  struct Case {
    const char* name;
    TImagePixelFormat f;
    double value;
    TRGB pixel;
    bool full;
  } cases[] = {
      {"bilevel white", im1g, 1, {255, 255, 255}, true},
      {"bilevel black", im1g, 0, {0, 0, 0}, false},
      {"grey", im8g, 200, {200, 200, 200}, false},
      {"grey opaque", im8g, 255, {255, 255, 255}, true},
      {"grey16", im16g, 65535, {255, 255, 255}, true},
      {"float", im32f, 1.0, {255, 255, 255}, true},
      {"rgb", im24RGB, ColorValue(TRGB{1, 2, 3}), {1, 2, 3}, false},
      {"rgb white", im24RGB, ColorValue(TRGB{255, 255, 255}), {255, 255, 255}, true},
      {"cmyk", imCMYK, ColorValue(TRGB{0, 100, 200}), {0, 99, 200}, false},
      {"rgb48", imRGB48, ColorValue(TRGB{9, 8, 7}), {9, 8, 7}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    memoryBitmap(b, 11, 3, c.f);
    b.Fill(c.value);
    EXPECT_EQ(b.Full(), c.full);
    EXPECT_EQ(b.Pixels(0, 0), c.pixel);
    EXPECT_EQ(b.Pixels(10, 2), c.pixel);
  }
  TImageBitmap b;
  memoryBitmap(b, 6, 4, im8g);
  b.Fill(1);
  b.FillRect(4, 3, 2, 1, 9);  // corners in any order, inclusive, clipped
  b.FillRect(5, -5, 50, 0, 7);
  EXPECT_EQ(b.Pixels(2, 1).r, 9);
  EXPECT_EQ(b.Pixels(4, 3).r, 9);
  EXPECT_EQ(b.Pixels(1, 1).r, 1);
  EXPECT_EQ(b.Pixels(5, 0).r, 7);
  EXPECT_EQ(b.Pixels(5, 1).r, 1);
  EXPECT_EQ(b.Pixels(-1, 0), (TRGB{0, 0, 0}));
  TImageBitmap none;
  EXPECT_EQ(none.Pixels(0, 0), (TRGB{0, 0, 0}));
  // Absurd values are cut to the format's range instead of overflowing a conversion.
  for (TImagePixelFormat f : {im8g, im16g, im32f, im24RGB}) {
    TImageBitmap odd;
    memoryBitmap(odd, 2, 1, f);
    for (double v : {1e300, -1e300, std::nan("")}) odd.Fill(v);
  }
}

TEST(ImageBitmap, PaletteBounds) {
  TImageBitmap b;
  memoryBitmap(b, 2, 2, im8p);
  b.SetPalette(255, TRGB{1, 2, 3});
  b.SetPalette(256, TRGB{9, 9, 9});
  b.SetPalette(-1, TRGB{9, 9, 9});
  EXPECT_EQ(b.GetPalette(255), (TRGB{1, 2, 3}));
  EXPECT_EQ(b.GetPalette(256), (TRGB{0, 0, 0}));
  b.ScanLine(0)[1] = 255;
  EXPECT_EQ(b.Pixels(1, 0), (TRGB{1, 2, 3}));
  TImageBitmap g;
  memoryBitmap(g, 2, 2, im8g);
  g.SetPalette(0, TRGB{1, 1, 1});
  EXPECT_EQ(g.PaletteLength(), 0);
}

TEST(ImageBitmap, CopyRectTo) {
  TImageBitmap src, dst;
  memoryBitmap(src, 4, 3, im8g);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) src.ScanLine(y)[x] = uint8_t(10 * y + x);
  memoryBitmap(dst, 3, 3, im8g);
  dst.Fill(0);
  // A negative destination origin shifts the source origin; the rest is clipped.
  src.CopyRectTo(dst, 0, 0, -1, 1, 10, 10);
  EXPECT_EQ(dst.ScanLine(0)[0], 0);
  EXPECT_EQ(dst.ScanLine(1)[0], 1);
  EXPECT_EQ(dst.ScanLine(1)[2], 3);
  EXPECT_EQ(dst.ScanLine(2)[1], 12);

  // Bits at any offset, and bits expanded to colour.
  TImageBitmap bits, bits2, rgb;
  memoryBitmap(bits, 16, 1, im1g);
  bits.ScanLine(0)[0] = 0xA5;
  bits.ScanLine(0)[1] = 0x0F;
  memoryBitmap(bits2, 16, 1, im1g);
  bits2.Fill(0);
  bits.CopyRectTo(bits2, 3, 0, 5, 0, 8, 1);  // source bits 3..10 = 0 0 1 0 1 0 0 0
  EXPECT_EQ(bits2.ScanLine(0)[0], 0x01);
  EXPECT_EQ(bits2.ScanLine(0)[1], 0x40);
  memoryBitmap(rgb, 3, 1, im24RGB);
  bits.CopyRectTo(rgb, 0, 0, 0, 0, 3, 1);
  EXPECT_EQ(rgb.Pixels(0, 0), (TRGB{255, 255, 255}));
  EXPECT_EQ(rgb.Pixels(1, 0), (TRGB{0, 0, 0}));

  // Different formats are not copied.
  src.CopyRectTo(rgb, 0, 0, 0, 0, 1, 1);
  EXPECT_EQ(rgb.Pixels(0, 0), (TRGB{255, 255, 255}));
}

TEST(ImageBitmap, ResizeKeepsTheCommonPart) {
  for (TImageLocation loc : {imMemory, imTBitmap}) {
    SCOPED_TRACE(int(loc));
    TImageBitmap b;
    b.SetLocation(loc);
    b.SetMinFileSize(INT64_MAX);
    b.Allocate(4, 3, im24RGB);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) setRgb(b, x, y, TRGB{uint8_t(x), uint8_t(y), 50});
    b.SetAlpha(1, 2, 9);
    b.SetWidth(2);
    b.SetHeight(5);
    EXPECT_EQ(b.Width(), 2);
    EXPECT_EQ(b.Height(), 5);
    EXPECT_EQ(b.RowLen(), 8);
    EXPECT_EQ(b.Pixels(1, 2), (TRGB{1, 2, 50}));
    EXPECT_EQ(b.Pixels(0, 0), (TRGB{0, 0, 50}));
    ASSERT_TRUE(b.HasAlphaChannel());
    EXPECT_EQ(b.AlphaChannel()->Width(), 2);
    EXPECT_EQ(b.Alpha(1, 2), 9);
  }
}

TEST(ImageBitmap, LocationAndRowAlignMovesKeepEverything) {
  TempFolder temp;
  TImageBitmap b;
  memoryBitmap(b, 5, 3, im8p);
  b.SetPalette(7, TRGB{7, 8, 9});
  b.ScanLine(2)[4] = 7;
  b.SetAlpha(4, 2, 33);
  for (TImageLocation loc : {imFile, imTBitmap, imMemory}) {
    SCOPED_TRACE(int(loc));
    b.SetLocation(loc);
    EXPECT_EQ(b.Location(), loc);
    EXPECT_EQ(b.PixelFormat(), im8p);
    EXPECT_EQ(b.Pixels(4, 2), (TRGB{7, 8, 9}));
    EXPECT_EQ(b.Alpha(4, 2), 33);
  }
  b.SetRowAlign(8);
  EXPECT_EQ(b.RowAlign(), 8);
  EXPECT_EQ(b.RowLen(), 5);
  EXPECT_EQ(b.Pixels(4, 2), (TRGB{7, 8, 9}));
  b.SetRowAlign(3);  // not a whole number of bytes: ignored
  EXPECT_EQ(b.RowAlign(), 8);
}

TEST(ImageBitmap, SwitchToMovesStorage) {
  TImageBitmap a, b;
  memoryBitmap(a, 3, 3, im24RGB);
  a.Fill(ColorValue(TRGB{4, 5, 6}));
  a.AlphaChannel();
  uint8_t* row = a.ScanLine(0);
  a.SwitchTo(b);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_FALSE(a.HasAlphaChannel());
  EXPECT_EQ(b.ScanLine(0), row);
  EXPECT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.Pixels(2, 2), (TRGB{4, 5, 6}));
}

TEST(ImageBitmap, AssignFromTBitmap) {
  TBitmap mono(10, 2, pf1bit);
  mono.ScanLine(1)[1] = 0x40;  // pixel 9 of row 1
  TBitmap colour1(3, 1, pf1bit);
  colour1.SetColor(0, TRGB{0, 0, 200});
  colour1.SetColor(1, TRGB{0, 200, 0});
  colour1.ScanLine(0)[0] = 0x40;
  TBitmap indexed(3, 1, pf8bit);
  indexed.SetColor(5, TRGB{5, 6, 7});
  indexed.ScanLine(0)[2] = 5;
  TBitmap rgb(2, 2, pf24bit);
  rgb.ScanLine(1)[3] = 99;

  TImageBitmap b;
  b.SetLocation(imMemory);
  b.Assign(mono);
  EXPECT_EQ(b.PixelFormat(), im1g);
  EXPECT_EQ(b.Pixels(9, 1).r, 255);
  EXPECT_EQ(b.Pixels(8, 1).r, 0);
  b.Assign(colour1);
  EXPECT_EQ(b.PixelFormat(), im8p);
  EXPECT_EQ(b.Pixels(0, 0), (TRGB{0, 0, 200}));
  EXPECT_EQ(b.Pixels(1, 0), (TRGB{0, 200, 0}));
  b.Assign(indexed);
  EXPECT_EQ(b.PixelFormat(), im8p);
  EXPECT_EQ(b.Pixels(2, 0), (TRGB{5, 6, 7}));
  b.Assign(rgb);
  EXPECT_EQ(b.PixelFormat(), im24RGB);
  EXPECT_EQ(b.Pixels(1, 1).b, 99);

  TImageBitmap view;
  view.SetLocation(imTBitmap);
  view.Assign(indexed);
  EXPECT_EQ(view.PixelFormat(), im8p);
  EXPECT_EQ(view.Pixels(2, 0), (TRGB{5, 6, 7}));
}

TEST(ImageBitmap, EncapsulatedTBitmapStaysWithItsOwner) {
  TBitmap owned(4, 4, pf24bit);
  {
    TImageBitmap view;
    view.EncapsulateTBitmap(&owned, true);
    EXPECT_EQ(view.Location(), imTBitmap);
    EXPECT_EQ(view.PixelFormat(), im24RGB);
    view.Allocate(6, 2, im8g);
    EXPECT_EQ(&view.VclBitmap(), &owned);
    EXPECT_EQ(owned.Width(), 6);
    EXPECT_EQ(owned.PixelFormat(), pf8bit);
    // A failed allocation empties the adopted bitmap but keeps it.
    EXPECT_THROW(view.Allocate(2, 2, imCMYK), std::invalid_argument);
    EXPECT_TRUE(view.IsEmpty());
    EXPECT_EQ(owned.Width(), 0);
    view.Allocate(3, 3, im24RGB);
    EXPECT_EQ(&view.VclBitmap(), &owned);
    EXPECT_EQ(owned.Width(), 3);
  }
  EXPECT_EQ(owned.Width(), 3);  // not freed with the buffer
}

TEST(ImageBitmap, WorkAndDibBitmaps) {
  TImageWorkBitmap w(5, 3, 24);
  EXPECT_EQ(w.RowLen(), 16);
  EXPECT_EQ(w.ScanLine(0), w.ScanLine(2) + 32);
  EXPECT_THROW(w.Allocate(INT_MAX, INT_MAX, 24), std::length_error);
  EXPECT_EQ(w.Width(), 0);

  TImageDibbitmap dib(3, 2, im24RGB);
  dib.ScanLine(1)[0] = 77;
  TImageBitmap b;
  b.SetLocation(imMemory);
  b.Assign(static_cast<const TImageBaseBitmap&>(dib));
  EXPECT_EQ(b.PixelFormat(), im24RGB);
  EXPECT_EQ(b.Pixels(0, 1).b, 77);
  TImageDibbitmap other(3, 2, im8g);
  EXPECT_EQ(other.PixelFormat(), imNone);
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// Random sequences of operations on small buffers of every format and storage: under the
// sanitizers this finds reads and writes outside rows; here the geometry must stay consistent.
TEST(ImageBitmap, RandomOperationsKeepInvariants) {
  std::mt19937 rng(20261211);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto fillRandom = [&](TImageBitmap& b) {
    for (int y = 0; y < b.Height(); ++y) {
      uint8_t* row = b.ScanLine(y);
      for (int i = 0; i < b.RowLen(); ++i) row[i] = uint8_t(pick(0, 255));
    }
  };
  auto make = [&](TImageBitmap& b) {
    const TImagePixelFormat f = TImagePixelFormat(pick(1, 9));
    const TImageLocation loc = (f == im1g || f == im8p || f == im8g || f == im24RGB)
                                   ? TImageLocation(pick(0, 2))
                                   : TImageLocation(pick(0, 1));
    b.SetLocation(loc);
    b.SetMinFileSize(loc == imFile ? 0 : INT64_MAX);
    b.Allocate(pick(1, 37), pick(1, 23), f);
    fillRandom(b);
    if (pick(0, 2) == 0) b.SetAlpha(pick(0, b.Width() - 1), pick(0, b.Height() - 1), 0);
  };
  auto check = [](TImageBitmap& b) {
    if (b.IsEmpty()) return;
    const int align = b.Location() == imTBitmap ? 32 : b.RowAlign();
    ASSERT_EQ(b.RowLen(), ImageRowLen(b.Width(), b.BitCount(), align));
    ASSERT_EQ(b.BitCount(), PixelFormatBitCount(b.PixelFormat()));
    for (int y = 0; y < b.Height(); ++y) ASSERT_NE(b.ScanLine(y), nullptr);
    if (b.HasAlphaChannel()) {
      ASSERT_EQ(b.AlphaChannel()->Width(), b.Width());
      ASSERT_EQ(b.AlphaChannel()->Height(), b.Height());
    }
  };

  TempFolder temp;
  for (int iteration = 0; iteration < 400; ++iteration) {
    SCOPED_TRACE(iteration);
    TImageBitmap a, b;
    make(a);
    make(b);
    switch (pick(0, 7)) {
      case 0:
        a.SetPixelFormat(TImagePixelFormat(pick(1, 9)));
        break;
      case 1:
        a.CopyRectTo(b, pick(-40, 40), pick(-30, 30), pick(-40, 40), pick(-30, 30), pick(-5, 60),
                     pick(-5, 40));
        break;
      case 2:
        a.FillRect(pick(-10, 50), pick(-10, 30), pick(-10, 50), pick(-10, 30), pick(0, 300));
        break;
      case 3:
        a.SetWidth(pick(-2, 45));
        a.SetHeight(pick(-2, 30));
        break;
      case 4:
        a.RemoveAlphaChannel(true, TRGB{uint8_t(pick(0, 255)), 0, 255});
        break;
      case 5:
        b.Assign(a);
        break;
      case 6:
        a.SetLocation(TImageLocation(pick(0, 2)));
        break;
      case 7:
        a.SetRowAlign(8 * pick(1, 8));
        break;
    }
    check(a);
    check(b);
    for (int y = 0; y < a.Height(); y += 3)
      for (int x = 0; x < a.Width(); x += 2) a.Pixels(x, y);
  }
}

}  // namespace
}  // namespace lumaprep
