// PNG reader and writer: the sample files against their reference decodes, damaged files,
// the writer's output forms, chunks (tRNS, bKGD, pHYs, texts) and round trips through load,
// resample and save. Every file written is checked with pngcheck when it is installed.
#include "imaging/pngcodec.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstdlib>
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
using test::loadRgba;
using test::maxDifference;
using test::Rgba;

TRGB rgb(int r, int g, int b) { return TRGB{uint8_t(b), uint8_t(g), uint8_t(r)}; }

// The header fields and chunks of a written file, read with libpng's own reader.
struct PngFacts {
  int width = 0, height = 0, depth = 0, colorType = -1, interlace = -1;
  int paletteCount = 0;
  std::vector<int> trnsAlpha;
  bool hasBkgd = false;
  png_color_16 bkgd{};
  bool hasPhys = false;
  png_uint_32 physX = 0, physY = 0;
  int physUnit = -1;
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<std::vector<uint8_t>> rows;  // raw samples, no transformation (not interlaced)
};

bool readFacts(const fs::path& file, PngFacts& f) {
  f = PngFacts{};
  FILE* fp = std::fopen(file.c_str(), "rb");
  if (!fp) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    return false;
  }
  png_init_io(png, fp);
  png_read_info(png, info);
  f.width = int(png_get_image_width(png, info));
  f.height = int(png_get_image_height(png, info));
  f.depth = png_get_bit_depth(png, info);
  f.colorType = png_get_color_type(png, info);
  f.interlace = png_get_interlace_type(png, info);
  png_colorp plte = nullptr;
  png_get_PLTE(png, info, &plte, &f.paletteCount);
  png_bytep trans = nullptr;
  int numTrans = 0;
  if (png_get_tRNS(png, info, &trans, &numTrans, nullptr) && trans)
    for (int i = 0; i < numTrans; ++i) f.trnsAlpha.push_back(trans[i]);
  png_color_16p bk = nullptr;
  if (png_get_bKGD(png, info, &bk)) {
    f.hasBkgd = true;
    f.bkgd = *bk;
  }
  f.hasPhys = png_get_pHYs(png, info, &f.physX, &f.physY, &f.physUnit) != 0;
  png_textp text = nullptr;
  int n = 0;
  png_get_text(png, info, &text, &n);
  for (int i = 0; i < n; ++i) f.texts.emplace_back(text[i].key, text[i].text);
  if (f.interlace == PNG_INTERLACE_NONE) {
    f.rows.assign(size_t(f.height), std::vector<uint8_t>(png_get_rowbytes(png, info)));
    for (auto& row : f.rows) png_read_row(png, row.data(), nullptr);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(fp);
  return true;
}

bool havePngcheck() { return std::system("pngcheck -h >/dev/null 2>&1") != 127 * 256; }

void expectPngcheckPasses(const fs::path& file) {
  if (!havePngcheck()) return;
  const std::string cmd = "pngcheck -q '" + file.string() + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << file;
}

class PngFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("lumaprep-png-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }
  fs::path out(const std::string& name) const { return m_dir / name; }

  // The conversion job's own step at the image's own size: load, resample with rfNone, save.
  void convert(const fs::path& source, const fs::path& target, TImageIO& io) {
    TImageProc proc(io.ImageBitmap());
    const TConvertResult r =
        ConvertFile(io, proc, source.string(), target.string(), 80, 0, 0, nullptr);
    ASSERT_TRUE(r.Read) << source;
    ASSERT_TRUE(r.Written) << target;
    expectPngcheckPasses(target);
  }

  fs::path m_dir;
};

fs::path pngDir() { return test::TestDataDir() / "png"; }

// ---- The sample files ------------------------------------------------------------------------

TEST(PngSamples, EveryReadableFileMatchesItsReference) {
  LUMAPREP_REQUIRE_TESTDATA();
  int count = 0;
  for (const auto& entry : fs::directory_iterator(pngDir())) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    Rgba ref;
    ASSERT_TRUE(loadRgba(test::TestDataDir() / "reference" / "png" / (name + ".png"), ref));
    TImageIO io;
    io.LoadFromFile(entry.path().string());
    ASSERT_FALSE(io.Aborting());
    TImageBitmap& bitmap = *io.ImageBitmap();
    ASSERT_EQ(bitmap.Width(), ref.width);
    ASSERT_EQ(bitmap.Height(), ref.height);
    // 16-bit samples keep their upper byte; the references round (v * 255 + 32767) / 65535.
    const int tolerance = io.Params().BitsPerSample == 16 ? 1 : 0;
    EXPECT_LE(maxDifference(bitmap, ref), tolerance);
    EXPECT_EQ(io.Params().FileType, ioPNG);
    ++count;
  }
  EXPECT_GE(count, 38);
}

TEST(PngSamples, PixelFormatsFollowColourTypeAndDepth) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    TImagePixelFormat format;
    bool alpha;
    int bits, samples;
  };
  const Case cases[] = {
      {"basn0g01.png", im1g, false, 1, 1},     {"basn0g04.png", im24RGB, false, 4, 1},
      {"basn0g16.png", im24RGB, false, 16, 1}, {"basn3p01.png", im24RGB, false, 1, 1},
      {"basn3p08.png", im24RGB, false, 8, 1},  {"basn4a08.png", im24RGB, true, 8, 2},
      {"basn6a16.png", im24RGB, true, 16, 4},  {"tbrn2c08.png", im24RGB, true, 8, 3},
      {"tp1n3p08.png", im24RGB, true, 8, 1},   {"basn2c08.png", im24RGB, false, 8, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageIO io;
    io.LoadFromFile((pngDir() / c.name).string());
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.ImageBitmap()->PixelFormat(), c.format);
    EXPECT_EQ(io.ImageBitmap()->HasAlphaChannel(), c.alpha);
    EXPECT_EQ(io.Params().BitsPerSample, c.bits);
    EXPECT_EQ(io.Params().SamplesPerPixel, c.samples);
  }
  TImageIO io;
  io.LoadFromFile((pngDir() / "basn3p08.png").string());
  EXPECT_EQ(io.Params().ColorMapCount, 256);
}

TEST(PngSamples, NativeFormatsKeepPaletteAndGrey) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    TImagePixelFormat format;
  };
  const Case cases[] = {{"basn3p08.png", im8p}, {"basn0g08.png", im8g}, {"basn0g16.png", im16g}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rgba ref;
    ASSERT_TRUE(
        loadRgba(test::TestDataDir() / "reference" / "png" / (std::string(c.name) + ".png"), ref));
    TImageIO io;
    io.SetNativePixelFormat(true);
    io.LoadFromFile((pngDir() / c.name).string());
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.ImageBitmap()->PixelFormat(), c.format);
    EXPECT_LE(maxDifference(*io.ImageBitmap(), ref), 1);
  }
}

TEST(PngSamples, ChunksReachTheParameters) {
  LUMAPREP_REQUIRE_TESTDATA();
  TImageIO io;
  io.LoadFromFile((pngDir() / "ctzn0g04.png").string());
  ASSERT_FALSE(io.Aborting());
  const auto& keys = io.Params().PNG_TextKeys;
  ASSERT_EQ(keys.size(), io.Params().PNG_TextValues.size());
  ASSERT_GE(keys.size(), 2u);
  EXPECT_EQ(keys[0], "Title");
  EXPECT_EQ(io.Params().PNG_TextValues[0], "PngSuite");

  io.LoadFromFile((pngDir() / "basi2c16.png").string());
  EXPECT_TRUE(io.Params().PNG_Interlaced);
  EXPECT_TRUE(io.Params().PNG_TextKeys.empty());

  // bKGD of an 8-bit RGB file is stored in 8-bit samples: pure red, not black.
  io.LoadFromFile((pngDir() / "tbrn2c08.png").string());
  EXPECT_EQ(io.Background(), rgb(255, 0, 0));
  // cdfn2c08: pHYs 1 x 4 in unknown units: no resolution, the default.
  io.LoadFromFile((pngDir() / "cdfn2c08.png").string());
  EXPECT_EQ(io.Params().DpiX, 300);
  EXPECT_EQ(io.Params().DpiY, 300);
}

TEST(PngSamples, DamagedFilesSetTheAbortFlag) {
  LUMAPREP_REQUIRE_TESTDATA();
  int count = 0;
  for (const auto& entry : fs::directory_iterator(pngDir() / "bad")) {
    SCOPED_TRACE(entry.path().filename().string());
    TImageIO io;
    io.LoadFromFile(entry.path().string());
    EXPECT_TRUE(io.Aborting());
    ++count;
  }
  EXPECT_GE(count, 7);
}

// ---- Writing ------------------------------------------------------------------------------------

void fill24(TImageBitmap& image, int width, int height, TRGB (*pixel)(int, int)) {
  image.Allocate(width, height, im24RGB);
  for (int y = 0; y < height; ++y) {
    TRGB* p = reinterpret_cast<TRGB*>(image.ScanLine(y));
    for (int x = 0; x < width; ++x) p[x] = pixel(x, y);
  }
}

TRGB manyColours(int x, int y) { return rgb(x * 8, y * 8, (x * y) & 255); }

void saveTo(const fs::path& file, TImageBitmap& image, TIOParamsVals& params) {
  TImageIO io(&image);
  io.Params().Assign(params);
  io.SaveToFile(file.string());
  ASSERT_FALSE(io.Aborting());
  expectPngcheckPasses(file);
}

TEST_F(PngFiles, PalettePngStaysAPalettePng) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    int writtenDepth;
  };
  // 4-bit palettes come back as 8-bit palettes.
  const Case cases[] = {{"basn3p08.png", 8}, {"basn3p04.png", 8}, {"s39n3p04.png", 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageIO io;
    convert(pngDir() / c.name, out(c.name), io);
    PngFacts f;
    ASSERT_TRUE(readFacts(out(c.name), f));
    EXPECT_EQ(f.colorType, PNG_COLOR_TYPE_PALETTE);
    EXPECT_EQ(f.depth, c.writtenDepth);
    EXPECT_EQ(f.paletteCount, 256);
    Rgba ref, written;
    ASSERT_TRUE(
        loadRgba(test::TestDataDir() / "reference" / "png" / (std::string(c.name) + ".png"), ref));
    ASSERT_TRUE(loadRgba(out(c.name), written));
    TImageIO back;
    back.LoadFromFile(out(c.name).string());
    EXPECT_EQ(maxDifference(*back.ImageBitmap(), ref), 0);  // at most 256 colours: exact
  }
}

TEST_F(PngFiles, PaletteWithTransparencyKeepsItsTransparentPixels) {
  LUMAPREP_REQUIRE_TESTDATA();
  for (const char* name : {"tp1n3p08.png", "tm3n3p02.png", "tbbn0g04.png"}) {
    SCOPED_TRACE(name);
    const bool grey = std::string(name) == "tbbn0g04.png";
    TImageIO io;
    io.SetBackground(rgb(1, 2, 3));
    convert(pngDir() / name, out(name), io);
    PngFacts f;
    ASSERT_TRUE(readFacts(out(name), f));
    EXPECT_EQ(f.colorType, PNG_COLOR_TYPE_PALETTE);
    ASSERT_EQ(f.trnsAlpha, std::vector<int>{0});
    Rgba src, written;
    ASSERT_TRUE(
        loadRgba(test::TestDataDir() / "reference" / "png" / (std::string(name) + ".png"), src));
    ASSERT_TRUE(loadRgba(out(name), written));
    int transparent = 0;
    for (int y = 0; y < src.height; ++y) {
      for (int x = 0; x < src.width; ++x) {
        const uint8_t* s = src.at(x, y);
        const uint8_t* w = written.at(x, y);
        if (s[3] == 255) {
          // Opaque pixels keep their colours: exactly for few colours; grey images get the
          // quantiser's 255-step grey ramp (one level off at most).
          EXPECT_EQ(w[3], 255);
          for (int k = 0; k < 3; ++k) EXPECT_LE(std::abs(s[k] - w[k]), grey ? 1 : 0);
        } else {
          EXPECT_EQ(w[3], 0);
          ++transparent;
        }
      }
    }
    EXPECT_GT(transparent, 0);
  }
}

TEST_F(PngFiles, RgbaKeepsItsAlphaAndInterlacingStays) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* name;
    int colorType;
    bool interlaced;
  };
  const Case cases[] = {{"basn6a08.png", PNG_COLOR_TYPE_RGB_ALPHA, false},
                        {"basi6a16.png", PNG_COLOR_TYPE_RGB_ALPHA, true},
                        {"basi2c16.png", PNG_COLOR_TYPE_RGB, true},
                        {"basi4a08.png", PNG_COLOR_TYPE_RGB_ALPHA, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageIO io;
    convert(pngDir() / c.name, out(c.name), io);
    PngFacts f;
    ASSERT_TRUE(readFacts(out(c.name), f));
    EXPECT_EQ(f.colorType, c.colorType);
    EXPECT_EQ(f.depth, 8);
    EXPECT_EQ(f.interlace, c.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE);
    Rgba ref;
    ASSERT_TRUE(
        loadRgba(test::TestDataDir() / "reference" / "png" / (std::string(c.name) + ".png"), ref));
    TImageIO back;
    back.LoadFromFile(out(c.name).string());
    EXPECT_LE(maxDifference(*back.ImageBitmap(), ref), 1);
  }
}

TEST_F(PngFiles, SixteenBitGreyAndOneBitComeBackInTheirForms) {
  LUMAPREP_REQUIRE_TESTDATA();
  // 16-bit grey: read as grey triples of the upper bytes, written as 16-bit grey whose samples
  // are those 8-bit levels times 256.
  PngFacts source;
  ASSERT_TRUE(readFacts(pngDir() / "basn0g16.png", source));
  TImageIO io;
  convert(pngDir() / "basn0g16.png", out("g16.png"), io);
  PngFacts f;
  ASSERT_TRUE(readFacts(out("g16.png"), f));
  EXPECT_EQ(f.colorType, PNG_COLOR_TYPE_GRAY);
  EXPECT_EQ(f.depth, 16);
  ASSERT_EQ(f.rows.size(), source.rows.size());
  for (size_t y = 0; y < f.rows.size(); ++y)
    for (size_t i = 0; i < f.rows[y].size(); i += 2) {
      ASSERT_EQ(f.rows[y][i], source.rows[y][i]) << y << "," << i;
      ASSERT_EQ(f.rows[y][i + 1], 0);
    }

  // 1-bit grey: read as im1g, written as 1-bit grey with the same bits.
  ASSERT_TRUE(readFacts(pngDir() / "basn0g01.png", source));
  convert(pngDir() / "basn0g01.png", out("g1.png"), io);
  ASSERT_TRUE(readFacts(out("g1.png"), f));
  EXPECT_EQ(f.colorType, PNG_COLOR_TYPE_GRAY);
  EXPECT_EQ(f.depth, 1);
  EXPECT_EQ(f.rows, source.rows);
}

TEST_F(PngFiles, ResolutionBackgroundAndTextsTravel) {
  LUMAPREP_REQUIRE_TESTDATA();
  // A file with pHYs 11811 x 11811 per metre reads as 300 dpi and is written back with 11811.
  TImageBitmap image;
  fill24(image, 20, 10, manyColours);
  TIOParamsVals params;
  params.DpiX = 300;
  params.DpiY = 300;
  params.PNG_Background = rgb(10, 200, 30);
  params.PNG_TextKeys = {"Title", "Comment"};
  params.PNG_TextValues = {"Lumaprep", "two lines\nof text"};
  saveTo(out("first.png"), image, params);
  PngFacts f;
  ASSERT_TRUE(readFacts(out("first.png"), f));
  EXPECT_EQ(f.physX, 11811u);
  EXPECT_EQ(f.physUnit, PNG_RESOLUTION_METER);

  TImageIO io;
  convert(out("first.png"), out("second.png"), io);
  EXPECT_EQ(io.Params().DpiX, 300);
  EXPECT_EQ(io.Params().DpiY, 300);
  ASSERT_TRUE(readFacts(out("second.png"), f));
  EXPECT_EQ(f.physX, 11811u);
  EXPECT_EQ(f.physY, 11811u);
  // bKGD in the image's own depth: 8-bit samples for 8-bit RGB.
  ASSERT_TRUE(f.hasBkgd);
  EXPECT_EQ(f.bkgd.red, 10);
  EXPECT_EQ(f.bkgd.green, 200);
  EXPECT_EQ(f.bkgd.blue, 30);
  // The job hands the file's background on to the writer, then puts the component's own back.
  EXPECT_EQ(io.Background(), rgb(0, 0, 0));
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"Title", "Lumaprep"}, {"Comment", "two lines\nof text"}};
  EXPECT_EQ(f.texts, texts);

  // Keywords libpng would refuse (failing the whole write) are left out.
  params.PNG_TextKeys = {"", "   ", std::string(80, 'k'), "\x01\x02", "Author"};
  params.PNG_TextValues = {"a", "b", "c", "d", "e"};
  saveTo(out("keys.png"), image, params);
  ASSERT_TRUE(readFacts(out("keys.png"), f));
  EXPECT_EQ(f.texts, (std::vector<std::pair<std::string, std::string>>{{"Author", "e"}}));

  // Grey output at 16 bits: the background's grey level in 16-bit samples.
  TImageBitmap grey;
  fill24(grey, 8, 8, [](int x, int y) { return rgb(x * 30, x * 30, x * 30 + 0 * y); });
  params.SamplesPerPixel = 1;
  params.BitsPerSample = 16;
  params.PNG_Background = rgb(100, 100, 100);
  saveTo(out("grey.png"), grey, params);
  ASSERT_TRUE(readFacts(out("grey.png"), f));
  EXPECT_EQ(f.colorType, PNG_COLOR_TYPE_GRAY);
  EXPECT_EQ(f.bkgd.gray, 100 * 257);
  TImageIO greyBack;
  greyBack.LoadFromFile(out("grey.png").string());
  EXPECT_EQ(greyBack.Background(), rgb(100, 100, 100));
}

TEST_F(PngFiles, OutputFormsFollowDepthAndSamples) {
  struct Case {
    const char* name;
    int bits, samples;
    bool twoColours;
    int colorType, depth;
  };
  const Case cases[] = {
      {"colour-grey16.png", 16, 1, false, PNG_COLOR_TYPE_PALETTE, 8},  // no 16-bit palettes
      {"colour-bits4.png", 4, 1, false, PNG_COLOR_TYPE_PALETTE, 8},
      {"colour-1bit.png", 1, 1, false, PNG_COLOR_TYPE_GRAY, 1},
      {"two-1bit.png", 1, 1, true, PNG_COLOR_TYPE_GRAY, 1},
      {"colour-1bit-rgb.png", 1, 3, false, PNG_COLOR_TYPE_RGB, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TImageBitmap image;
    if (c.twoColours)
      fill24(image, 9, 3, [](int x, int) { return x % 3 ? rgb(250, 240, 0) : rgb(0, 0, 90); });
    else
      fill24(image, 9, 3, manyColours);
    TIOParamsVals params;
    params.BitsPerSample = c.bits;
    params.SamplesPerPixel = c.samples;
    saveTo(out(c.name), image, params);
    PngFacts f;
    ASSERT_TRUE(readFacts(out(c.name), f));
    EXPECT_EQ(f.colorType, c.colorType);
    EXPECT_EQ(f.depth, c.depth);
    if (c.twoColours) {
      // Bit 0 for the darker colour, 1 for the lighter: x % 3 == 0 is dark.
      EXPECT_EQ(f.rows[0][0], 0b01101101);
    }
  }
}

TEST_F(PngFiles, FiltersAndCompressionLevelsGiveTheSamePixels) {
  TImageBitmap image;
  fill24(image, 40, 30, manyColours);
  std::vector<uintmax_t> sizes;
  for (int filter : {0, 1, 2, 7}) {
    for (int level : {0, 9}) {
      SCOPED_TRACE(filter * 10 + level);
      TIOParamsVals params;
      params.PNG_Filter = uint8_t(filter);
      params.PNG_Compression = level;
      const fs::path file = out("f" + std::to_string(filter) + std::to_string(level) + ".png");
      saveTo(file, image, params);
      TImageIO back;
      back.LoadFromFile(file.string());
      ASSERT_FALSE(back.Aborting());
      for (int y = 0; y < 30; ++y)
        ASSERT_EQ(std::memcmp(back.ImageBitmap()->ScanLine(y), image.ScanLine(y), 120), 0);
      sizes.push_back(fs::file_size(file));
    }
  }
  EXPECT_GT(sizes[0], sizes[1]);  // level 0 stores, level 9 compresses
}

TEST(PngStreams, ShortStreamOrTruncatedDataSetsTheAbortFlag) {
  // Large enough for several IDAT chunks: libpng reads a chunk in pieces of up to 8 KB.
  TImageBitmap image;
  fill24(image, 200, 200, [](int x, int y) { return rgb(x * 7 + y, (x * y) & 255, y * 3 + x); });
  TIOParamsVals params;
  bool aborting = false;
  TProgressRec progress;
  progress.Aborting = &aborting;

  MemoryStream full;
  PNGWriteStream(full, image, params, nullptr, progress);
  ASSERT_FALSE(aborting);

  MemoryStream small;
  small.SetCapacity(200);
  EXPECT_NO_THROW(PNGWriteStream(small, image, params, nullptr, progress));
  EXPECT_TRUE(aborting);

  // Cut in the image data: the rows before the cut are decoded, the flag is set.
  std::vector<uint8_t> cut(full.Data().begin(), full.Data().begin() + full.Data().size() * 2 / 3);
  MemoryStream truncated(cut);
  TImageBitmap back;
  aborting = false;
  PNGReadStream(truncated, back, params, false, progress);
  EXPECT_TRUE(aborting);
  ASSERT_EQ(back.Width(), 200);
  EXPECT_EQ(std::memcmp(back.ScanLine(0), image.ScanLine(0), 200 * 3), 0);
}

TEST(PngStreams, DamagedHeadersSetTheAbortFlag) {
  TImageBitmap image;
  fill24(image, 4, 4, manyColours);
  TIOParamsVals params;
  bool aborting = false;
  TProgressRec progress;
  progress.Aborting = &aborting;
  MemoryStream good;
  PNGWriteStream(good, image, params, nullptr, progress);
  const std::vector<uint8_t>& bytes = good.Data();

  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> hugeSize = bytes;
  hugeSize[16] = 0x7F;  // width 2^31 - 1 (CRC then fails too)
  std::vector<uint8_t> badCrc = bytes;
  badCrc[29] ^= 0xFF;
  const Case cases[] = {
      {"empty", {}},
      {"signature only", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8)},
      {"cut in IHDR", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20)},
      {"huge width", hugeSize},
      {"IHDR CRC", badCrc},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream s(c.data);
    TImageBitmap back;
    aborting = false;
    PNGReadStream(s, back, params, false, progress);
    EXPECT_TRUE(aborting);
  }
}

// A stream that remembers the largest read asked of it.
class CountingStream : public MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  size_t Read(void* buffer, size_t count) override {
    largest = std::max(largest, count);
    return MemoryStream::Read(buffer, count);
  }
  size_t largest = 0;
};

TEST(PngStreams, TextChunkClaimingGigabytesIsRefusedBeforeAllocation) {
  // Found by the fuzzer: libpng allocated and tried to read the 1.9 GB an iTXt chunk of a
  // 700-byte file claimed.
  TImageBitmap image;
  fill24(image, 4, 4, manyColours);
  TIOParamsVals params;
  bool aborting = false;
  TProgressRec progress;
  progress.Aborting = &aborting;
  MemoryStream good;
  PNGWriteStream(good, image, params, nullptr, progress);
  std::vector<uint8_t> bytes(good.Data().begin(), good.Data().begin() + 33);  // signature, IHDR
  const uint8_t itxt[] = {0x72, 0x7D, 0x61, 0x74, 'i', 'T', 'X', 't', 'T', 'i', 't', 'l', 'e', 0};
  bytes.insert(bytes.end(), std::begin(itxt), std::end(itxt));
  bytes.resize(bytes.size() + 600, 'x');
  CountingStream stream(bytes);
  TImageBitmap back;
  PNGReadStream(stream, back, params, false, progress);
  EXPECT_TRUE(aborting);
  EXPECT_LT(stream.largest, size_t(1) << 20);
}

TEST(PngStreams, ProbeLooksAtTheSignatureAndRestoresThePosition) {
  const uint8_t png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  MemoryStream yes(png, 8);
  EXPECT_TRUE(PNGProbe(yes));
  EXPECT_EQ(yes.Position(), 0);
  MemoryStream shortStream(png, 7);
  EXPECT_FALSE(PNGProbe(shortStream));
  const uint8_t other[8] = {0x89, 'P', 'N', 'X', 0, 0, 0, 0};
  MemoryStream no(other, 8);
  EXPECT_FALSE(PNGProbe(no));
  std::vector<uint8_t> padded(16, 0);
  std::copy(png, png + 8, padded.begin());
  MemoryStream stream(padded);
  EXPECT_EQ(FindStreamFormat(stream), ioPNG);
}

}  // namespace
}  // namespace lumaprep
