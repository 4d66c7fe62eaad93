// Colour quantiser: method choice, the exact-colour and grey-ramp palettes, box splitting,
// the neural network's palette and search, and the buffer's conversion to im8p.
#include "codecs/quantizer.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "imaging/imagebitmap.h"
#include "imaging/quantizeseam.h"
#include "testdata.h"

namespace lumaprep {
namespace {

using PixelFn = std::function<TRGB(int x, int y)>;

TRGB rgb(int r, int g, int b) { return TRGB{uint8_t(b), uint8_t(g), uint8_t(r)}; }

void fill24(TImageBitmap& image, int width, int height, const PixelFn& pixel) {
  image.Allocate(width, height, im24RGB);
  for (int y = 0; y < height; ++y) {
    uint8_t* p = image.ScanLine(y);
    for (int x = 0; x < width; ++x) {
      const TRGB c = pixel(x, y);
      p[3 * x] = c.b;
      p[3 * x + 1] = c.g;
      p[3 * x + 2] = c.r;
    }
  }
}

TRGB pixelAt(TImageBitmap& image, int x, int y) {
  const uint8_t* p = image.ScanLine(y) + 3 * x;
  return TRGB{p[0], p[1], p[2]};
}

int l1(TRGB a, TRGB b) { return std::abs(a.b - b.b) + std::abs(a.g - b.g) + std::abs(a.r - b.r); }

// A smooth, photo-like picture with many thousands of colours.
TRGB photoLike(int x, int y) {
  return rgb((x * 255) / 199, (y * 255) / 149, ((x + y) * 3 + (x * y) % 37) & 255);
}

constexpr TRGB kUntouched{1, 2, 3};

std::vector<TRGB> freshPalette() { return std::vector<TRGB>(256, kUntouched); }

// ---- Exact colours -----------------------------------------------------------------------------

TEST(QuantizerExact, FewColoursGiveThoseColoursInOrderOfFirstAppearance) {
  // Rows are read top to bottom, left to right; repeats and later rows must not reorder.
  const std::vector<TRGB> order = {rgb(200, 10, 10), rgb(10, 200, 10),   rgb(10, 10, 200),
                                   rgb(0, 0, 0),     rgb(255, 255, 255), rgb(200, 10, 11)};
  const int layout[3][5] = {{0, 1, 0, 1, 2}, {2, 3, 3, 0, 4}, {5, 5, 4, 1, 0}};
  TImageBitmap image;
  fill24(image, 5, 3, [&](int x, int y) { return order[size_t(layout[y][x])]; });

  for (int n : {6, 7, 256}) {
    SCOPED_TRACE(n);
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), n);
    EXPECT_EQ(q.Method(), qmExactColors);
    EXPECT_FALSE(q.Grey());
    ASSERT_EQ(q.PaletteCount(), 6);
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(palette[i], order[i]) << i;
    EXPECT_EQ(palette[6], kUntouched);
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 5; ++x) EXPECT_EQ(q.ColorIndex(pixelAt(image, x, y)), layout[y][x]);
    }
    // A colour the image lacks gets the nearest one, never an index outside the palette.
    EXPECT_EQ(q.ColorIndex(rgb(250, 250, 240)), 4);
    EXPECT_EQ(q.ColorIndex(rgb(190, 20, 12)), 5);
  }

  // One colour too many: the exact method no longer applies.
  auto palette = freshPalette();
  TImageQuantizer q(image, palette.data(), 5);
  EXPECT_EQ(q.Method(), qmBoxSplit);
}

// ---- Grey images -------------------------------------------------------------------------------

TEST(QuantizerGrey, GreyImagesGetTheRampAndIndexByRed) {
  TImageBitmap grey24;
  fill24(grey24, 256, 2, [](int x, int) { return rgb(x, x, x); });
  auto palette = freshPalette();
  TImageQuantizer q(grey24, palette.data(), 16);
  EXPECT_TRUE(q.Grey());
  EXPECT_EQ(q.Method(), qmGreyRamp);
  EXPECT_EQ(q.PaletteCount(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(palette[size_t(i)], rgb(16 * i, 16 * i, 16 * i)) << i;
  EXPECT_EQ(palette[16], kUntouched);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(q.ColorIndex(rgb(v, v, v)), v / 16) << v;

  struct Case {
    const char* name;
    TImagePixelFormat format;
    int n;
    std::vector<int> ramp;  // leading entries
  };
  const Case cases[] = {
      {"8-bit grey, 256", im8g, 256, {0, 1, 2, 3}},
      {"8-bit grey, 3", im8g, 3, {0, 85, 170}},
      {"1-bit, 2", im1g, 2, {0, 128}},
      {"16-bit grey, 10", im16g, 10, {0, 25, 51, 76, 102, 128, 153, 179, 204, 230}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    image.Allocate(4, 4, c.format);
    auto pal = freshPalette();
    TImageQuantizer gq(image, pal.data(), c.n);
    EXPECT_TRUE(gq.Grey());
    EXPECT_EQ(gq.Method(), qmGreyRamp);
    for (size_t i = 0; i < c.ramp.size(); ++i) {
      EXPECT_EQ(pal[i], rgb(c.ramp[i], c.ramp[i], c.ramp[i])) << i;
    }
    EXPECT_EQ(gq.ColorIndex(rgb(255, 255, 255)), 255 * c.n / 256);
  }
}

// ---- Method choice -----------------------------------------------------------------------------

TEST(QuantizerMethod, TrueColourMethodFollowsTheColourCount) {
  TImageBitmap image;
  fill24(image, 200, 150, photoLike);
  struct Case {
    int n;
    TQuantizerMethod method;
  };
  for (const Case c : {Case{1, qmBoxSplit}, Case{15, qmBoxSplit}, Case{127, qmBoxSplit},
                       Case{128, qmNeuralNet}, Case{255, qmNeuralNet}, Case{256, qmNeuralNet}}) {
    SCOPED_TRACE(c.n);
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), c.n);
    EXPECT_EQ(q.Method(), c.method);
    EXPECT_FALSE(q.Grey());
    EXPECT_LE(q.PaletteCount(), c.n);
    EXPECT_GE(q.PaletteCount(), 1);
    if (c.n < 256) {
      EXPECT_EQ(palette[size_t(c.n)], kUntouched);
    }
    if (c.method == qmBoxSplit) {
      for (int i = 0; i < q.PaletteCount(); ++i) {
        const TRGB e = palette[size_t(i)];
        EXPECT_TRUE(e.r % 8 == 0 && e.g % 8 == 0 && e.b % 8 == 0) << i;
      }
    }
    for (int y = 0; y < 150; y += 7) {
      for (int x = 0; x < 200; x += 5) {
        const int index = q.ColorIndex(pixelAt(image, x, y));
        ASSERT_GE(index, 0);
        ASSERT_LT(index, q.PaletteCount());
      }
    }
  }
}

TEST(QuantizerMethod, SameResultInEveryStorageLocation) {
  // A file store hands out one mapped row at a time; the quantiser and the conversion must not
  // hold a row pointer across ScanLine calls.
  TImageBitmap reference;
  fill24(reference, 200, 150, photoLike);
  for (TImageLocation location : {imFile, imTBitmap}) {
    SCOPED_TRACE(int(location));
    TImageBitmap image;
    fill24(image, 200, 150, photoLike);
    image.SetLocation(location);
    ASSERT_EQ(image.Location(), location);
    for (int n : {15, 256}) {
      SCOPED_TRACE(n);
      auto expected = freshPalette();
      auto got = freshPalette();
      TImageQuantizer want(reference, expected.data(), n);
      TImageQuantizer q(image, got.data(), n);
      EXPECT_EQ(got, expected);
      TImageBitmap target;
      target.Allocate(200, 150, im8p);
      target.SetLocation(location == imTBitmap ? imMemory : imFile);
      target.SetPaletteUsed(n);
      QuantizeToPalette(image, target);
      for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 200; ++x) {
          const TRGB c = pixelAt(reference, x, y);
          ASSERT_EQ(target.ScanLine(y)[x], want.ColorIndex(c)) << x << "," << y;
        }
      }
    }
  }
}

// ---- Box splitting -----------------------------------------------------------------------------

TEST(QuantizerBox, FewerCellsThanColoursGiveFewerEntries) {
  // 24 distinct colours in three 8x8x8 cells; every cell's mean is its own corner.
  const TRGB corners[] = {rgb(0, 0, 0), rgb(160, 0, 0), rgb(0, 248, 0)};
  TImageBitmap image;
  fill24(image, 8, 3, [&](int x, int y) {
    TRGB c = corners[y];
    c.b = uint8_t(c.b + x);  // stays inside the cell
    return c;
  });
  auto palette = freshPalette();
  TImageQuantizer q(image, palette.data(), 15);
  ASSERT_EQ(q.Method(), qmBoxSplit);
  ASSERT_EQ(q.PaletteCount(), 3);
  EXPECT_EQ(palette[3], kUntouched);
  std::set<uint32_t> got;
  for (int i = 0; i < 3; ++i)
    got.insert(uint32_t(palette[size_t(i)].r) << 16 | uint32_t(palette[size_t(i)].g) << 8 |
               palette[size_t(i)].b);
  EXPECT_EQ(got, (std::set<uint32_t>{0x000000, 0xA00000, 0x00F800}));
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(palette[size_t(q.ColorIndex(pixelAt(image, x, y)))], corners[y]);
    }
  }
  // Colours in cells that no box holds go to the nearest box.
  EXPECT_EQ(palette[size_t(q.ColorIndex(rgb(255, 0, 0)))], corners[1]);
  EXPECT_EQ(palette[size_t(q.ColorIndex(rgb(0, 255, 40)))], corners[2]);
  EXPECT_EQ(palette[size_t(q.ColorIndex(rgb(0, 0, 255)))], corners[0]);
}

TEST(QuantizerBox, EntryIsTheRoundedMeanOfTheBox) {
  // One colour wanted: the whole image is one box; its mean (in cells) is rounded half to even.
  struct Case {
    const char* name;
    std::vector<int> reds;  // one pixel each; green and blue 0
    int expectedRed;
  };
  const Case cases[] = {
      {"mean 0.5 goes down to 0", {0, 8}, 0},
      {"mean 0.75 goes up to 1", {0, 8, 8, 8}, 8},
      {"mean 1.5 goes up to 2", {8, 16}, 16},
      {"mean 2.5 goes down to 2", {16, 24}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    fill24(image, int(c.reds.size()), 1, [&](int x, int) { return rgb(c.reds[size_t(x)], 0, 0); });
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), 1);
    ASSERT_EQ(q.Method(), qmBoxSplit);
    ASSERT_EQ(q.PaletteCount(), 1);
    EXPECT_EQ(palette[0], rgb(c.expectedRed, 0, 0));
    EXPECT_EQ(palette[1], kUntouched);
  }
}

TEST(QuantizerBox, HandWorkedSplits) {
  struct Case {
    const char* name;
    std::vector<TRGB> pixels;  // one row
    std::vector<TRGB> palette;
    std::vector<int> indexes;
  };
  const Case cases[] = {
      // Red cells 0..3, one pixel each, mean 1.5: the cut search runs over bins 1..17; bin 1
      // scores 2/2 x (1.5 - 0.25)^2 = 1.5625, bin 2 scores 3/1 x (1.5 - 0.75)^2 = 1.6875, at
      // bin 3 every pixel is below. The cut after bin 2 leaves means 1 and 3.
      {"cut where the score peaks",
       {rgb(0, 0, 0), rgb(8, 0, 0), rgb(16, 0, 0), rgb(24, 0, 0)},
       {rgb(8, 0, 0), rgb(24, 0, 0)},
       {0, 0, 0, 1}},
      // Cutting green leaves two boxes of variance 0.125 each, cutting red two of variance 8
      // each: green is cut. Red means of 0.5 round to 0.
      {"axis with the smallest summed variance",
       {rgb(0, 0, 0), rgb(8, 0, 0), rgb(0, 64, 0), rgb(8, 64, 0)},
       {rgb(0, 0, 0), rgb(0, 64, 0)},
       {0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    fill24(image, int(c.pixels.size()), 1, [&](int x, int) { return c.pixels[size_t(x)]; });
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), int(c.palette.size()));
    ASSERT_EQ(q.Method(), qmBoxSplit);
    ASSERT_EQ(q.PaletteCount(), int(c.palette.size()));
    for (size_t i = 0; i < c.palette.size(); ++i) EXPECT_EQ(palette[i], c.palette[i]) << i;
    for (size_t i = 0; i < c.pixels.size(); ++i) EXPECT_EQ(q.ColorIndex(c.pixels[i]), c.indexes[i]);
  }
}

TEST(QuantizerBox, SplitsSeparateWellApartClusters) {
  // Four clusters (a few shades each) far apart: four colours wanted give one entry per cluster.
  const TRGB centres[] = {rgb(40, 40, 200), rgb(200, 40, 40), rgb(40, 200, 40), rgb(200, 200, 200)};
  TImageBitmap image;
  fill24(image, 16, 16, [&](int x, int y) {
    const TRGB c = centres[(y / 8) * 2 + x / 8];
    const int d = (x % 4) + (y % 4);  // 0..6, stays inside one cell
    return rgb(c.r + (d & 1), c.g + d / 2, c.b);
  });
  auto palette = freshPalette();
  TImageQuantizer q(image, palette.data(), 4);
  ASSERT_EQ(q.Method(), qmBoxSplit);
  ASSERT_EQ(q.PaletteCount(), 4);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const TRGB e = palette[size_t(q.ColorIndex(pixelAt(image, x, y)))];
      EXPECT_EQ(e, centres[(y / 8) * 2 + x / 8]) << x << "," << y;
    }
  }
}

// ---- Neural network ----------------------------------------------------------------------------

TEST(QuantizerNetwork, SearchReturnsANearestEntry) {
  TImageBitmap image;
  fill24(image, 200, 150, photoLike);
  auto palette = freshPalette();
  TImageQuantizer q(image, palette.data(), 256);
  ASSERT_EQ(q.Method(), qmNeuralNet);
  std::mt19937 random(7);
  for (int k = 0; k < 4000; ++k) {
    const uint32_t v = random();
    const TRGB c{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
    const int index = q.ColorIndex(c);
    ASSERT_GE(index, 0);
    ASSERT_LT(index, 256);
    int best = 1 << 30;
    for (const TRGB& e : palette) best = std::min(best, l1(e, c));
    ASSERT_EQ(l1(palette[size_t(index)], c), best) << "colour " << v;
  }
}

TEST(QuantizerNetwork, LearnsTheColoursOfTheImage) {
  // Eight dominant colours with a little noise (thousands of distinct colours): after training
  // each of them must have a palette entry close by, and the neurons must be spread out rather
  // than stuck at their start on the grey diagonal.
  const TRGB centres[] = {rgb(230, 30, 30),  rgb(30, 230, 30),  rgb(30, 30, 230),
                          rgb(230, 230, 30), rgb(30, 230, 230), rgb(230, 30, 230),
                          rgb(20, 20, 20),   rgb(240, 240, 240)};
  std::mt19937 random(3);
  TImageBitmap image;
  fill24(image, 160, 120, [&](int x, int y) {
    const TRGB c = centres[((y / 30) * 4 + x / 40) % 8];
    auto jitter = [&](int v) { return std::clamp(v + int(random() % 15) - 7, 0, 255); };
    return rgb(jitter(c.r), jitter(c.g), jitter(c.b));
  });
  for (int quality : {-1, 0, 100}) {
    SCOPED_TRACE(quality);
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), 256, quality);
    ASSERT_EQ(q.Method(), qmNeuralNet);
    for (const TRGB& c : centres) {
      EXPECT_LE(l1(palette[size_t(q.ColorIndex(c))], c), 24)
          << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
    int coloured = 0;
    for (const TRGB& e : palette) coloured += (e.r != e.g || e.g != e.b);
    EXPECT_GT(coloured, 128);
  }
}

uint32_t fnv1a(uint32_t hash, uint32_t value) { return (hash ^ value) * 16777619u; }

TEST(QuantizerNetwork, MatchesThePlainTrainingSteps) {
  // Fingerprints taken from a plain one-neuron-at-a-time version of the training (bias stored,
  // no search cache). The winner search works on eight neurons at once and keeps no bias, and
  // the search remembers answers: none of that may change a single palette entry or index.
  struct Case {
    int n, quality;
    uint32_t paletteHash, indexHash;
    TRGB first;
  };
  const Case cases[] = {
      {128, -1, 0xaaeb9f10, 0xa3131388, rgb(92, 148, 236)},
      {128, 100, 0x8722cc1b, 0x2135219e, rgb(153, 203, 220)},
      {256, -1, 0x07268034, 0xe3e34d4e, rgb(75, 122, 149)},
      {256, 100, 0x4900bc17, 0x5208d88f, rgb(239, 245, 10)},
  };
  TImageBitmap image;
  fill24(image, 200, 150, photoLike);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << " colours, quality " << c.quality);
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), c.n, c.quality);
    ASSERT_EQ(q.Method(), qmNeuralNet);
    EXPECT_EQ(palette[0], c.first);
    uint32_t paletteHash = 2166136261u;
    for (int i = 0; i < c.n; ++i) {
      for (uint8_t v : {palette[size_t(i)].r, palette[size_t(i)].g, palette[size_t(i)].b})
        paletteHash = fnv1a(paletteHash, v);
    }
    EXPECT_EQ(paletteHash, c.paletteHash);
    uint32_t indexHash = 2166136261u;
    for (int y = 0; y < 150; ++y) {
      for (int x = 0; x < 200; ++x)
        indexHash = fnv1a(indexHash, uint32_t(q.ColorIndex(photoLike(x, y))));
    }
    EXPECT_EQ(indexHash, c.indexHash);
  }
}

TEST(QuantizerNetwork, SamplingFactor) {
  struct Case {
    int64_t pixels;
    int quality;
    int factor;
  };
  const Case cases[] = {
      {100, -1, 1},       {1999, -1, 1},
      {2000, -1, 2},      {76000, -1, 8},  // 8.5: the half goes to the even neighbour
      {224000, -1, 22},                    // 21.5
      {150000, -1, 15},   {172800, -1, 17},
      {12000000, -1, 30}, {int64_t(5) << 30, -1, 30},  // far past the 32-bit range
      {500, 0, 30},       {500, 100, 1},
      {500, 50, 15},      {500, 99, 1},
      {500, 1, 29},       {500, 250, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NeuralSamplingFactor(c.pixels, c.quality), c.factor)
        << c.pixels << " pixels, quality " << c.quality;
  }
}

// ---- Palette images ----------------------------------------------------------------------------

TEST(QuantizerPalette, PaletteImagesKeepTheirPalette) {
  struct Case {
    const char* name;
    std::vector<TRGB> entries;
    bool grey;
  };
  const Case cases[] = {
      {"colour", {rgb(10, 20, 30), rgb(200, 0, 0), rgb(0, 0, 0), rgb(10, 20, 30)}, false},
      // Grey but not the ramp: indices must still come from the palette.
      {"grey, not a ramp", {rgb(255, 255, 255), rgb(0, 0, 0), rgb(128, 128, 128)}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    image.Allocate(2, 2, im8p);
    for (int i = 0; i < image.PaletteLength(); ++i) {
      image.SetPalette(i, i < int(c.entries.size()) ? c.entries[size_t(i)] : rgb(0, 0, 0));
    }
    const int n = int(c.entries.size());
    auto palette = freshPalette();
    TImageQuantizer q(image, palette.data(), n);
    EXPECT_EQ(q.Method(), qmPalette);
    EXPECT_EQ(q.Grey(), c.grey);
    EXPECT_EQ(q.PaletteCount(), n);
    for (int i = 0; i < n; ++i) EXPECT_EQ(palette[size_t(i)], c.entries[size_t(i)]);
    EXPECT_EQ(palette[size_t(n)], kUntouched);
    for (int i = 0; i < n; ++i) {
      const int index = q.ColorIndex(c.entries[size_t(i)]);
      EXPECT_EQ(palette[size_t(index)], c.entries[size_t(i)]);
      EXPECT_LE(index, i);  // the first equal entry
    }
    EXPECT_LT(q.ColorIndex(rgb(1, 2, 250)), n);
  }
}

// ---- The buffer's conversion to im8p -----------------------------------------------------------

TEST(QuantizerConversion, TrueColourToPaletteThroughTheQuantiser) {
  struct Case {
    const char* name;
    int width, height;
    PixelFn pixel;
    int paletteUsed;
    bool exact;
  };
  const Case cases[] = {
      {"few colours", 7, 5,
       [](int x, int y) { return (x + y) % 3 == 0 ? rgb(250, 0, 0) : rgb(0, 0, x * 20); }, 256,
       true},
      {"photo, 16 colours", 200, 150, photoLike, 16, false},
      {"photo, 256 colours", 200, 150, photoLike, 256, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap source;
    fill24(source, c.width, c.height, c.pixel);
    TImageBitmap target;
    target.Allocate(c.width, c.height, im8p);
    target.SetPaletteUsed(c.paletteUsed);
    QuantizeToPalette(source, target);

    std::vector<TRGB> palette(256);
    TImageQuantizer q(source, palette.data(), c.paletteUsed);
    for (int i = 0; i < q.PaletteCount(); ++i) EXPECT_EQ(target.GetPalette(i), palette[size_t(i)]);
    int64_t error = 0;
    for (int y = 0; y < c.height; ++y) {
      const uint8_t* row = target.ScanLine(y);
      for (int x = 0; x < c.width; ++x) {
        const TRGB original = pixelAt(source, x, y);
        ASSERT_EQ(row[x], q.ColorIndex(original)) << x << "," << y;
        ASSERT_LT(row[x], q.PaletteCount());
        error += l1(target.GetPalette(row[x]), original);
      }
    }
    if (c.exact) {
      EXPECT_EQ(error, 0);
    }
  }

  // The buffer's own pixel format change goes the same way.
  TImageBitmap image;
  fill24(image, 7, 5, cases[0].pixel);
  image.SetPixelFormat(im8p);
  ASSERT_EQ(image.PixelFormat(), im8p);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x)
      EXPECT_EQ(image.Pixels(x, y), cases[0].pixel(x, y)) << x << "," << y;
  }
}

// ---- Real photos -------------------------------------------------------------------------------

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}
void jpegQuiet(j_common_ptr) {}

// Decodes into blue-green-red rows; only trivially destructible locals around setjmp.
bool decodeJpeg(const std::vector<uint8_t>& data, std::vector<uint8_t>& pixels, int& width,
                int& height) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = jpegErrorExit;
  error.mgr.output_message = jpegQuiet;  // some samples carry stray bytes the library mentions
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  width = int(info.output_width);
  height = int(info.output_height);
  pixels.resize(size_t(width) * size_t(height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels.data() + size_t(info.output_scanline) * size_t(width) * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool loadJpeg(const std::filesystem::path& path, TImageBitmap& image) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> data;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    data.insert(data.end(), chunk, chunk + got);
  std::fclose(f);
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  if (!decodeJpeg(data, pixels, width, height)) return false;
  fill24(image, width, height, [&](int x, int y) {
    const uint8_t* p = &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3];
    return TRGB{p[0], p[1], p[2]};
  });
  return true;
}

TEST(QuantizerPhotos, RealPhotosThroughBothTrueColourMethods) {
  LUMAPREP_REQUIRE_TESTDATA();
  const char* photos[] = {"flower.jpg", "cat.jpg", "iptc.jpg", "junk_jpeg_header.jpg",
                          "jfif-ycbcr-no-subsampling-intel.jpg"};
  for (const char* name : photos) {
    SCOPED_TRACE(name);
    TImageBitmap image;
    ASSERT_TRUE(loadJpeg(test::TestDataDir() / "jpeg" / name, image));
    for (int n : {15, 255}) {
      SCOPED_TRACE(n);
      auto palette = freshPalette();
      TImageQuantizer q(image, palette.data(), n);
      ASSERT_EQ(q.Method(), n == 15 ? qmBoxSplit : qmNeuralNet);
      ASSERT_LE(q.PaletteCount(), n);
      EXPECT_EQ(palette[size_t(n)], kUntouched);
      int64_t error = 0;
      for (int y = 0; y < image.Height(); ++y) {
        for (int x = 0; x < image.Width(); ++x) {
          const TRGB c = pixelAt(image, x, y);
          const int index = q.ColorIndex(c);
          ASSERT_GE(index, 0);
          ASSERT_LT(index, q.PaletteCount());
          error += l1(palette[size_t(index)], c);
        }
      }
      const double mean = double(error) / (3.0 * image.Width() * image.Height());
      RecordProperty(std::string(name) + (n == 15 ? " box" : " network") + " mean error",
                     std::to_string(mean));
    }
  }
}

}  // namespace
}  // namespace lumaprep
