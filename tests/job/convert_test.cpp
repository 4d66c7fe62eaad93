#include "app/job/convert.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "imaging/imageio.h"
#include "imaging/resample.h"
#include "testdata.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class ConvertFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("lumaprep-convert-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
             std::to_string(getpid()));
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  std::string out(const std::string& name) const { return (m_dir / name).string(); }
  static std::string sample(const std::string& rel) { return (test::TestDataDir() / rel).string(); }
  static std::string bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Size of an image file as read back.
  static std::pair<int, int> sizeOf(const std::string& path) {
    TImageIO io;
    io.LoadFromFile(path);
    if (io.Aborting()) return {-1, -1};
    return {io.ImageBitmap()->Width(), io.ImageBitmap()->Height()};
  }

  fs::path m_dir;
};

TEST_F(ConvertFileTest, WritesTheRequestedSizeAndPumpsEventsThreeTimes) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* source;
    int w, h;
    int expectW, expectH;
  };
  const Case cases[] = {
      {"jpeg/flower.jpg", 100, -1, 100, 75},    {"jpeg/flower.jpg", -1, 90, 120, 90},
      {"jpeg/flower.jpg", 0, 50, 480, 50},      {"jpeg/flower.jpg", -1, -1, 480, 360},
      {"jpeg/flower.jpg", 1024, -1, 1024, 768},  // a smaller source is enlarged
      {"png/basn2c08.png", 16, 8, 16, 8},
  };
  TImageBitmap bitmap;
  TImageIO io(&bitmap);
  TImageProc proc(&bitmap);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
    std::string target = out(fs::path(c.source).filename().string());
    int pumped = 0;
    TConvertResult r =
        ConvertFile(io, proc, sample(c.source), target, 55, c.w, c.h, [&] { ++pumped; });
    EXPECT_TRUE(r.Read);
    EXPECT_TRUE(r.Written);
    EXPECT_TRUE(bool(r));
    EXPECT_EQ(pumped, 3);
    EXPECT_EQ(io.Params().JPEG_Quality, 55);
    EXPECT_EQ(sizeOf(target), std::make_pair(c.expectW, c.expectH));
  }
}

// A file that fails to decode leaves the buffer with an earlier or partial image: that must not
// be resampled and written under the new name.
TEST_F(ConvertFileTest, AFailedLoadWritesNothing) {
  LUMAPREP_REQUIRE_TESTDATA();
  std::ofstream(out("garbage.jpg"), std::ios::binary) << "this is not a photo at all";
  TImageBitmap bitmap;
  TImageIO io(&bitmap);
  TImageProc proc(&bitmap);
  ASSERT_TRUE(ConvertFile(io, proc, sample("jpeg/cat.jpg"), out("cat.jpg"), 80, 64, -1, {}));
  for (const char* bad :
       {"garbage.jpg", "jpeg/bad/truncated.jpg", "jpeg/bad/broken-sos-before-sof.jpg"}) {
    SCOPED_TRACE(bad);
    std::string source = fs::path(bad).has_parent_path() ? sample(bad) : out(bad);
    int pumped = 0;
    std::string target = out("result-" + fs::path(bad).filename().string());
    TConvertResult r = ConvertFile(io, proc, source, target, 80, 64, -1, [&] { ++pumped; });
    if (r.Read) continue;  // the decoder may accept what the library pads out
    EXPECT_FALSE(r.Written);
    EXPECT_EQ(pumped, 1);
    EXPECT_FALSE(fs::exists(target));
  }
}

TEST_F(ConvertFileTest, MissingSourceAndMissingFolderAreExceptions) {
  LUMAPREP_REQUIRE_TESTDATA();
  TImageIO io;
  TImageProc proc(io.ImageBitmap());
  EXPECT_ANY_THROW(ConvertFile(io, proc, out("none.jpg"), out("x.jpg"), 80, 64, -1, {}));
  EXPECT_ANY_THROW(
      ConvertFile(io, proc, sample("jpeg/cat.jpg"), out("no/such/folder/x.jpg"), 80, 64, -1, {}));
}

// The window's preview buffer lives in a TBitmap; a worker's in memory. Both write the same
// bytes, which is what lets lumaprep-cli match the window's job.
TEST_F(ConvertFileTest, PreviewBufferAndMemoryBufferWriteTheSameBytes) {
  LUMAPREP_REQUIRE_TESTDATA();
  TImageBitmap preview;
  preview.SetLocation(imTBitmap);
  TImageIO windowIo(&preview);
  TImageProc windowProc(&preview);
  TImageBitmap memory;
  memory.SetLocation(imMemory);
  TImageIO workerIo(&memory);
  TImageProc workerProc(&memory);
  for (const char* name : {"jpeg/cat.jpg", "jpeg/hopper_gray.jpg", "jpeg/cmyk-sample.jpg",
                           "jpeg/iptc.jpg", "png/basn2c08.png", "bmp/pal1.bmp"}) {
    SCOPED_TRACE(name);
    std::string file = fs::path(name).filename().string();
    TConvertResult a =
        ConvertFile(windowIo, windowProc, sample(name), out("w-" + file), 70, 100, -1, {});
    TConvertResult b =
        ConvertFile(workerIo, workerProc, sample(name), out("m-" + file), 70, 100, -1, {});
    EXPECT_EQ(a.Written, b.Written);
    if (a.Written) {
      EXPECT_EQ(bytes(out("w-" + file)), bytes(out("m-" + file)));
    }
  }
}

// The output of a file does not depend on what the component did before: settings left in the
// parameter record by earlier files (or anyone else) are not carried into the next file.
TEST_F(ConvertFileTest, NothingOfAnEarlierFileCarriesOver) {
  LUMAPREP_REQUIRE_TESTDATA();
  TImageIO fresh;
  TImageProc freshProc(fresh.ImageBitmap());
  ASSERT_TRUE(
      ConvertFile(fresh, freshProc, sample("jpeg/cat.jpg"), out("fresh.jpg"), 80, 100, -1, {}));

  TImageIO used;
  TImageProc usedProc(used.ImageBitmap());
  ASSERT_TRUE(
      ConvertFile(used, usedProc, sample("png/basn2c08.png"), out("first.png"), 80, 16, -1, {}));
  used.Params().JPEG_Progressive = true;
  used.Params().JPEG_OptimizeCoding = true;
  used.Params().JPEG_DCTMethod = 2;
  used.Params().JPEG_Scale = 4;
  ASSERT_TRUE(
      ConvertFile(used, usedProc, sample("jpeg/cat.jpg"), out("used.jpg"), 80, 100, -1, {}));
  EXPECT_EQ(bytes(out("used.jpg")), bytes(out("fresh.jpg")));

  // A PNG with a background colour (bKGD, red) followed by one without: the second is written
  // as it would be on its own, and the component keeps its own colour.
  ASSERT_TRUE(
      ConvertFile(fresh, freshProc, sample("png/basn2c08.png"), out("alone.png"), 80, 16, -1, {}));
  ASSERT_TRUE(
      ConvertFile(used, usedProc, sample("png/tbrn2c08.png"), out("red.png"), 80, 16, -1, {}));
  EXPECT_EQ(used.Background(), (TRGB{0, 0, 0}));
  ASSERT_TRUE(
      ConvertFile(used, usedProc, sample("png/basn2c08.png"), out("after.png"), 80, 16, -1, {}));
  EXPECT_EQ(bytes(out("after.png")), bytes(out("alone.png")));
}

// --fast decodes JPEG photos at a reduced scale but keeps the exact mode's output size; other
// formats are not affected, and the decoder's scale setting is left as it was.
TEST_F(ConvertFileTest, FastDecodeKeepsTheOutputSize) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* source;
    int w, h;
  };
  const Case cases[] = {
      {"jpeg/iptc.jpg", 100, -1},  {"jpeg/iptc.jpg", -1, 57},  {"jpeg/iptc.jpg", 150, 100},
      {"jpeg/iptc.jpg", 0, 100},   {"jpeg/iptc.jpg", 400, -1}, {"jpeg/cat.jpg", 33, -1},
      {"png/basn2c08.png", 8, -1},
  };
  TImageBitmap bitmap;
  TImageIO io(&bitmap);
  TImageProc proc(&bitmap);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " " + std::to_string(c.w) + "x" + std::to_string(c.h));
    std::string file = fs::path(c.source).filename().string();
    ASSERT_TRUE(ConvertFile(io, proc, sample(c.source), out("exact-" + file), 80, c.w, c.h, {}));
    ASSERT_TRUE(
        ConvertFile(io, proc, sample(c.source), out("fast-" + file), 80, c.w, c.h, {}, true));
    EXPECT_EQ(io.Params().JPEG_Scale, 1);
    EXPECT_EQ(sizeOf(out("fast-" + file)), sizeOf(out("exact-" + file)));
    if (std::string(c.source).find(".png") != std::string::npos) {
      EXPECT_EQ(bytes(out("fast-" + file)), bytes(out("exact-" + file)));
    }
  }
  // 640 x 480 to 100 wide may decode at 1/4: the pixels then differ from the exact result.
  ASSERT_TRUE(
      ConvertFile(io, proc, sample("jpeg/iptc.jpg"), out("fast.jpg"), 80, 100, -1, {}, true));
  EXPECT_EQ(io.Params().JPEG_ScaleUsed, 4);
}

}  // namespace
}  // namespace lumaprep
