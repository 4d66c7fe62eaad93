#include "imaging/resample.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "imaging/imageio.h"
#include "testdata.h"

namespace lumaprep {
namespace {

void makeMemory(TImageBitmap& b, int w, int h, TImagePixelFormat f) {
  b.SetLocation(imMemory);
  b.SetMinFileSize(INT64_MAX);
  b.Allocate(w, h, f);
}

// An im8g row of the given values.
void greyRow(TImageBitmap& b, const std::vector<uint8_t>& values) {
  makeMemory(b, int(values.size()), 1, im8g);
  std::memcpy(b.ScanLine(0), values.data(), values.size());
}

std::vector<uint8_t> row(TImageBitmap& b, int y = 0) {
  const uint8_t* p = b.ScanLine(y);
  return std::vector<uint8_t>(p, p + b.Width() * (b.BitCount() / 8));
}

// An im24RGB row whose red channel holds the given values (blue and green 0).
void redRow(TImageBitmap& b, const std::vector<uint8_t>& reds) {
  makeMemory(b, int(reds.size()), 1, im24RGB);
  b.Fill(0);
  for (size_t x = 0; x < reds.size(); ++x) b.ScanLine(0)[3 * x + 2] = reds[x];
}

std::vector<uint8_t> reds(TImageBitmap& b, int y = 0) {
  std::vector<uint8_t> v;
  for (int x = 0; x < b.Width(); ++x) v.push_back(b.Pixels(x, y).r);
  return v;
}

TEST(Resample, PhotoToPresetWidthPicksTruncatedColumns) {
  TImageBitmap photo;
  makeMemory(photo, 3000, 2000, im24RGB);
  for (int y = 0; y < 2000; ++y) {
    uint8_t* p = photo.ScanLine(y);
    for (int x = 0; x < 3000; ++x, p += 3) {
      p[0] = uint8_t(x);
      p[1] = uint8_t(x >> 8);
      p[2] = uint8_t(y);
    }
  }
  TImageProc proc(photo);
  proc.Resample(1024, -1, rfNone);
  ASSERT_EQ(photo.Width(), 1024);
  ASSERT_EQ(photo.Height(), 682);
  EXPECT_EQ(photo.PixelFormat(), im24RGB);
  for (int y : {0, 1, 681}) {
    const int sy = int(y * (2000.0 / 682));
    const uint8_t* p = photo.ScanLine(y);
    for (int x = 0; x < 1024; ++x, p += 3) {
      const int sx = int(x * 2.9296875);
      ASSERT_EQ(p[0] | p[1] << 8, sx) << x;
      ASSERT_EQ(p[2], uint8_t(sy)) << y;
    }
  }
  EXPECT_EQ(photo.Pixels(1023, 0).b | photo.Pixels(1023, 0).g << 8, 2997);
}

TEST(Resample, NearestColumnsWhole) {
  struct Case {
    const char* name;
    std::vector<uint8_t> source;
    int width;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"reduce 4 to 2", {0, 1, 2, 3}, 2, {0, 2}},
      {"enlarge 2 to 5", {0, 1}, 5, {0, 0, 0, 1, 1}},
      {"same size", {5, 6, 7}, 3, {5, 6, 7}},
      {"to one", {9, 8, 7}, 1, {9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    greyRow(b, c.source);
    TImageProc(&b).Resample(c.width, 1, rfNone);
    EXPECT_EQ(row(b), c.expected);
  }
}

TEST(Resample, NearestKeepsEveryPixelFormat) {
  const TImagePixelFormat formats[] = {im8p, im16g, im24RGB, im32f, imCMYK, imRGB48, imCIELab};
  for (TImagePixelFormat f : formats) {
    SCOPED_TRACE(int(f));
    TImageBitmap b;
    makeMemory(b, 3, 2, f);
    const int bpp = b.BitCount() / 8;
    for (int y = 0; y < 2; ++y)
      for (int i = 0; i < 3 * bpp; ++i) b.ScanLine(y)[i] = uint8_t(10 * y + i / bpp + 1);
    if (f == im8p) b.SetPalette(3, TRGB{1, 2, 3});
    TImageProc(&b).Resample(6, 4, rfNone);
    ASSERT_EQ(b.PixelFormat(), f);
    ASSERT_EQ(b.Width(), 6);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 6; ++x)
        for (int i = 0; i < bpp; ++i)
          ASSERT_EQ(b.ScanLine(y)[x * bpp + i], 10 * (y / 2) + x / 2 + 1);
    if (f == im8p) {
      EXPECT_EQ(b.GetPalette(3), (TRGB{1, 2, 3}));
    }
  }
}

TEST(Resample, BilevelStaysBilevel) {
  TImageBitmap b;
  makeMemory(b, 10, 2, im1g);
  b.ScanLine(0)[0] = 0xA5;  // 1010 0101 11
  b.ScanLine(0)[1] = 0xC0;
  b.ScanLine(1)[0] = 0x00;
  TImageProc(&b).Resample(20, 1, rfNone);
  ASSERT_EQ(b.PixelFormat(), im1g);
  EXPECT_EQ(b.ScanLine(0)[0], 0xCC);  // each source bit twice
  EXPECT_EQ(b.ScanLine(0)[1], 0x33);
  EXPECT_EQ(b.ScanLine(0)[2] & 0xF0, 0xF0);

  TImageBitmap c;
  makeMemory(c, 8, 1, im1g);
  c.ScanLine(0)[0] = 0x81;
  TImageProc(&c).Resample(3, 1, rfNone);  // columns 0, 2, 5
  EXPECT_EQ(c.ScanLine(0)[0] & 0xE0, 0x80);
}

TEST(Resample, DestinationSizes) {
  struct Case {
    const char* name;
    int sw, sh, w, h;
    bool work;
    int ew, eh;
  } cases[] = {
      {"auto height", 3000, 2000, 1024, -1, true, 1024, 682},
      {"auto width", 3000, 2000, -1, 1000, true, 1500, 1000},
      {"auto width, own height", 300, 200, -1, 0, true, 300, 200},
      {"own size", 300, 200, 0, 0, true, 300, 200},
      {"wide strip", 1000, 1, -1, 50, true, 50000, 50},
      {"tall strip", 1, 1000, 1, -1, true, 1, 1000},
      {"below one", 1000, 10, 10, -1, true, 10, 1},
      {"negative means pixels", 100, 100, -30, -1, false, 0, 0},
      {"absolute value", 100, 100, -30, 40, true, 30, 40},
      {"both automatic", 100, 100, -1, -1, false, 0, 0},
      {"empty source", 0, 100, 10, 10, false, 0, 0},
      {"no 32-bit wrap", 60000, 40000, -1, 60000, true, 90000, 60000},
      {"huge clamps", 2, 1, -1, INT_MAX, true, INT_MAX, INT_MAX},
      {"most negative", 10, 10, INT_MIN, 5, true, INT_MAX, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int w = 0, h = 0;
    EXPECT_EQ(TImageProc::DestinationSize(c.sw, c.sh, c.w, c.h, w, h), c.work);
    if (c.work) {
      EXPECT_EQ(w, c.ew);
      EXPECT_EQ(h, c.eh);
    }
  }
}

TEST(Resample, FastLinear) {
  struct Case {
    const char* name;
    std::vector<uint8_t> source;
    int width;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"enlarge rising", {0, 200}, 4, {0, 100, 200, 200}},
      {"enlarge falling", {200, 0}, 4, {200, 100, 0, 0}},
      {"minus one at half rounds down", {5, 4}, 4, {5, 4, 4, 4}},
      {"reduce by runs", {10, 20, 30, 40}, 2, {20, 30}},
      {"reduce to one", {10, 20, 30, 40}, 1, {10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap b;
    redRow(b, c.source);
    TImageProc(&b).Resample(c.width, 1, rfFastLinear);
    EXPECT_EQ(reds(b), c.expected);
    TImageBitmap g;  // one byte per pixel gives the same numbers
    greyRow(g, c.source);
    TImageBitmap gt;
    makeMemory(gt, c.width, 1, im8g);
    StretchFastLinear(g, gt);
    EXPECT_EQ(row(gt), c.expected);
  }
}

TEST(Resample, FastLinearSameWidthAveragesRightNeighbour) {
  TImageBitmap b;
  makeMemory(b, 4, 2, im24RGB);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) std::memset(b.ScanLine(y) + 3 * x, 10 * x + 100 * y, 3);
  TImageProc(&b).Resample(0, 4, rfFastLinear);
  ASSERT_EQ(b.Height(), 4);
  // Height 2 -> 4 interpolates rows 0, 0.5, 1, 1.
  EXPECT_EQ(reds(b, 0), (std::vector<uint8_t>{5, 15, 25, 30}));
  EXPECT_EQ(reds(b, 1), (std::vector<uint8_t>{55, 65, 75, 80}));
  EXPECT_EQ(reds(b, 3), (std::vector<uint8_t>{105, 115, 125, 130}));

  TImageBitmap same;  // exactly the same size is a plain copy
  redRow(same, {1, 2, 3});
  TImageProc(&same).Resample(0, 0, rfFastLinear);
  EXPECT_EQ(reds(same), (std::vector<uint8_t>{1, 2, 3}));
}

TEST(Resample, FastLinearReducesPhotoSmoothly) {
  TImageBitmap b;
  makeMemory(b, 600, 400, im24RGB);
  for (int y = 0; y < 400; ++y)
    for (int x = 0; x < 600; ++x) std::memset(b.ScanLine(y) + 3 * x, (x + y) % 2 ? 200 : 0, 3);
  TImageProc(&b).Resample(100, -1, rfFastLinear);
  ASSERT_EQ(b.Width(), 100);
  ASSERT_EQ(b.Height(), 66);
  for (int y = 0; y < 66; y += 13)
    for (int x = 0; x < 99; x += 7) EXPECT_NEAR(b.Pixels(x, y).g, 100, 20) << x << "," << y;
}

TEST(Resample, FilteredRoutines) {
  const TResampleFilter filters[] = {rfTriangle, rfHermite,  rfBell,      rfBSpline,
                                     rfLanczos3, rfMitchell, rfNearest,   rfLinear,
                                     rfBilinear, rfBicubic,  rfProjectBW, rfProjectWB};
  for (TResampleFilter f : filters) {
    SCOPED_TRACE(int(f));
    for (auto [w, h] : {std::pair{7, 5}, std::pair{40, 33}}) {
      // A flat image stays flat, up and down, and keeps its format.
      TImageBitmap flat;
      makeMemory(flat, 17, 13, im24RGB);
      flat.Fill(ColorValue(TRGB{40, 90, 200}));
      flat.SetAlpha(3, 3, 10);
      TImageProc(&flat).Resample(w, h, f);
      ASSERT_EQ(flat.Width(), w);
      ASSERT_EQ(flat.PixelFormat(), im24RGB);
      ASSERT_EQ(flat.AlphaChannel()->Width(), w);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_EQ(flat.Pixels(x, y), (TRGB{40, 90, 200}));
    }
    // A ramp stays ordered when reduced.
    TImageBitmap ramp;
    std::vector<uint8_t> values;
    for (int i = 0; i < 64; ++i) values.push_back(uint8_t(4 * i));
    greyRow(ramp, values);
    TImageProc(&ramp).Resample(16, 1, f);
    const std::vector<uint8_t> got = row(ramp);
    for (size_t i = 1; i < got.size(); ++i) EXPECT_LE(got[i - 1], got[i]) << i;
  }
  TImageBitmap points;
  greyRow(points, {0, 1, 2, 3});
  TImageProc(&points).Resample(2, 1, rfNearest);  // centres 0.5 and 2.5 -> columns 1 and 3
  EXPECT_EQ(row(points), (std::vector<uint8_t>{1, 3}));
}

TEST(Resample, BilevelProjection) {
  // A one-pixel black line on white survives a reduction with rfProjectBW only.
  for (auto [f, white] :
       {std::pair{rfProjectBW, false}, std::pair{rfProjectWB, true}, std::pair{rfNone, true}}) {
    SCOPED_TRACE(int(f));
    TImageBitmap b;
    makeMemory(b, 16, 8, im1g);
    b.Fill(1);
    for (int y = 0; y < 8; ++y) b.ScanLine(y)[0] &= uint8_t(~0x10);  // column 3
    TImageProc(&b).Resample(4, 2, f);
    ASSERT_EQ(b.PixelFormat(), im1g);
    EXPECT_EQ(b.Pixels(0, 0).r == 255, white);
    EXPECT_EQ(b.Pixels(0, 1).r == 255, white);
    EXPECT_EQ(b.Pixels(1, 0).r, 255);
  }
}

TEST(Resample, AlphaPreparationAndChannel) {
  TImageBitmap b;
  makeMemory(b, 4, 1, im24RGB);
  b.Fill(ColorValue(TRGB{10, 20, 30}));
  b.SetAlpha(1, 0, 0);
  b.SetAlpha(3, 0, 77);

  TImageBitmap untouched;
  untouched.Assign(b);
  TImageProc(&untouched).Resample(-1, -1, rfNone);  // nothing at all happens
  EXPECT_EQ(untouched.Pixels(1, 0), (TRGB{10, 20, 30}));
  EXPECT_EQ(untouched.Width(), 4);
  EXPECT_TRUE(untouched.HasAlphaChannel());

  TImageProc(&b).Resample(0, 0, rfNone);  // same size: transparent pixels still turn grey
  EXPECT_EQ(b.Pixels(1, 0), (TRGB{128, 128, 128}));
  EXPECT_EQ(b.Pixels(0, 0), (TRGB{10, 20, 30}));
  EXPECT_EQ(b.Pixels(3, 0), (TRGB{10, 20, 30}));

  TImageProc(&b).Resample(8, 1, rfNone);
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.AlphaChannel()->Width(), 8);
  EXPECT_EQ(b.Alpha(2, 0), 0);
  EXPECT_EQ(b.Alpha(6, 0), 77);
  EXPECT_FALSE(b.AlphaChannel()->Full());

  TImageProc(&b).Resample(4, 1, rfFastLinear);  // alpha averaged like the colours
  EXPECT_EQ(b.Alpha(0, 0), 170);                // the run of columns 0..2: 255, 255, 0
  EXPECT_EQ(b.Alpha(3, 0), 77);

  TImageBitmap opaque;
  makeMemory(opaque, 2, 2, im24RGB);
  opaque.AlphaChannel();
  TImageProc(&opaque).Resample(3, 3, rfNone);
  EXPECT_TRUE(opaque.AlphaChannel()->Full());
}

TEST(Resample, EventsAndEmptyBuffers) {
  TImageBitmap b;
  makeMemory(b, 10, 10, im8g);
  TImageProc proc(&b);
  std::vector<int> progress;
  int finished = 0, changed = 0;
  proc.OnProgress = [&](void* sender, int percent) {
    EXPECT_EQ(sender, &proc);
    progress.push_back(percent);
  };
  proc.OnFinishWork = [&](void* sender) {
    EXPECT_EQ(sender, &proc);
    ++finished;
  };
  proc.OnImageChanged = [&] { ++changed; };
  proc.Resample(5, 5, rfNone);
  EXPECT_EQ(finished, 2);  // once by ResampleTo, once by Resample
  EXPECT_EQ(changed, 1);
  ASSERT_EQ(progress.size(), 5u + 2u);
  for (size_t i = 0; i + 2 < progress.size(); ++i) {
    EXPECT_LT(progress[i], 100);
    EXPECT_EQ(progress[i], int(i * (100 / 5.5)));
  }
  EXPECT_EQ(progress.back(), 100);

  TImageBitmap empty;
  TImageProc none(&empty);
  none.OnFinishWork = [&](void*) { ++finished; };
  none.Resample(10, 10, rfNone);
  TImageProc(nullptr).Resample(10, 10, rfNone);
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(finished, 2);
}

TEST(Resample, PreviewBufferInTBitmap) {
  TImageBitmap view;
  view.SetLocation(imTBitmap);
  view.Allocate(30, 20, im24RGB);
  view.Fill(ColorValue(TRGB{1, 2, 3}));
  view.SetAlpha(0, 0, 0);
  TImageProc proc(&view);
  proc.Resample(15, -1, rfNone);
  EXPECT_EQ(view.Location(), imTBitmap);
  EXPECT_EQ(view.Width(), 15);
  EXPECT_EQ(view.Height(), 10);
  EXPECT_EQ(view.VclBitmap().Width(), 15);
  EXPECT_EQ(view.Pixels(14, 9), (TRGB{1, 2, 3}));
  EXPECT_EQ(view.Pixels(0, 0), (TRGB{128, 128, 128}));
  EXPECT_EQ(view.Alpha(0, 0), 0);
  proc.Resample(-1, -1, rfNone);
  EXPECT_EQ(view.Width(), 15);
}

TEST(Resample, FileBackedBuffersGiveTheSameResult) {
  TImageBitmap mem, file;
  makeMemory(mem, 97, 61, im24RGB);
  for (int y = 0; y < 61; ++y)
    for (int x = 0; x < 97 * 3; ++x) mem.ScanLine(y)[x] = uint8_t(x * 7 + y * 13);
  file.SetMinFileSize(0);
  file.Assign(mem);
  ASSERT_EQ(file.Location(), imFile);

  for (TResampleFilter f : {rfNone, rfFastLinear}) {
    SCOPED_TRACE(int(f));
    TImageBitmap a, b;
    b.SetMinFileSize(0);
    TImageProc(&mem).ResampleTo(a, 40, 130, f);
    TImageProc(&file).ResampleTo(b, 40, 130, f);
    EXPECT_EQ(b.Location(), imFile);
    ASSERT_EQ(a.Height(), b.Height());
    for (int y = 0; y < a.Height(); ++y) ASSERT_EQ(row(a, y), row(b, y)) << y;
  }
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// Random sizes, formats, storages and filters: the result has the requested geometry and the
// source's format, and under the sanitizers no routine strays outside a row.
TEST(Resample, RandomRequests) {
  std::mt19937 rng(1211);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int iteration = 0; iteration < 300; ++iteration) {
    SCOPED_TRACE(iteration);
    const TImagePixelFormat f = TImagePixelFormat(pick(1, 9));
    TImageBitmap b;
    b.SetLocation(pick(0, 3) == 0 ? imFile : imMemory);
    b.SetMinFileSize(b.Location() == imFile ? 0 : INT64_MAX);
    const int w = pick(1, 40), h = pick(1, 25);
    b.Allocate(w, h, f);
    for (int y = 0; y < h; ++y) {
      uint8_t* row = b.ScanLine(y);
      for (int i = 0; i < b.RowLen(); ++i) row[i] = uint8_t(pick(0, 255));
    }
    if (pick(0, 1)) b.SetAlpha(0, 0, 0);
    const int nw = pick(-3, 70), nh = pick(-3, 50);
    const TResampleFilter filter = TResampleFilter(pick(0, 13));
    int ew = w, eh = h;
    const bool work = TImageProc::DestinationSize(w, h, nw, nh, ew, eh);
    TImageProc(&b).Resample(nw, nh, filter);
    ASSERT_EQ(b.Width(), work ? ew : w);
    ASSERT_EQ(b.Height(), work ? eh : h);
    ASSERT_EQ(b.PixelFormat(), f);
    if (b.HasAlphaChannel()) {
      ASSERT_EQ(b.AlphaChannel()->Width(), b.Width());
    }
  }
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// Sample photos loaded into a preview-like buffer and shrunk the way the conversion job does:
// every pixel is the source pixel at the truncated coordinates, fully transparent ones grey,
// and the alpha channel follows.
TEST(Resample, SampleFilesShrinkLikeTheJob) {
  LUMAPREP_REQUIRE_TESTDATA();
  int checked = 0;
  for (const char* folder : {"jpeg", "png", "bmp", "gif", "tiff", "tga"}) {
    const std::filesystem::path dir = test::TestDataDir() / folder;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      SCOPED_TRACE(entry.path().string());
      TImageBitmap view;
      view.SetLocation(imTBitmap);
      TImageIO io(&view);
      io.LoadFromFile(entry.path().string());
      if (io.Aborting() || view.IsEmpty()) continue;
      TImageBitmap original;
      original.SetLocation(imMemory);
      original.Assign(view);
      const int w = view.Width(), h = view.Height();

      TImageProc(view).Resample(37, -1, rfNone);
      ASSERT_EQ(view.Width(), 37);
      ASSERT_EQ(view.Height(), std::max(1, int(int64_t(h) * 37 / w)));
      ASSERT_EQ(view.PixelFormat(), original.PixelFormat());
      ASSERT_EQ(view.HasAlphaChannel(), original.HasAlphaChannel());
      // Ratios stored as doubles, products in extended precision, as the routine does.
      const double xr = double((long double)w / 37);
      const double yr = double((long double)h / view.Height());
      for (int y = 0; y < view.Height(); ++y) {
        for (int x = 0; x < 37; ++x) {
          const int sx = int((long double)x * xr), sy = int((long double)y * yr);
          TRGB expected = original.Pixels(sx, sy);
          if (original.HasAlphaChannel()) {
            const uint8_t a = original.Alpha(sx, sy);
            ASSERT_EQ(view.Alpha(x, y), a);
            if (a == 0 && original.PixelFormat() == im24RGB) expected = TRGB{128, 128, 128};
          }
          ASSERT_EQ(view.Pixels(x, y), expected) << x << "," << y;
        }
      }
      ++checked;
    }
  }
  RecordProperty("files", checked);
  EXPECT_GT(checked, 10);
}

}  // namespace
}  // namespace lumaprep
