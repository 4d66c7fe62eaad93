// The JPEG binding: colours against reference decodes, colour spaces both ways, resolution,
// markers carried through a conversion, damaged input, and the error manager.
#include "imaging/jpegcodec.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "imaging/imageio.h"
#include "testdata.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

fs::path JpegDir() { return test::TestDataDir() / "jpeg"; }

// Named sample files: a case whose file is not in the sample set is left out.
bool Have(const char* file) { return fs::exists(JpegDir() / file); }

#define REQUIRE_SAMPLES(...)                                      \
  do {                                                            \
    LUMAPREP_REQUIRE_TESTDATA();                                  \
    for (const char* f : {__VA_ARGS__})                           \
      if (!Have(f)) GTEST_SKIP() << "sample file missing: " << f; \
  } while (0)

// Reference decodes are 8-bit RGBA PNGs.
struct Rgba {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // r, g, b, a
};

Rgba LoadReference(const std::string& name) {
  Rgba out;
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  const fs::path path = test::TestDataDir() / "reference" / "jpeg" / (name + ".png");
  if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
  image.format = PNG_FORMAT_RGBA;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return {};
  out.width = static_cast<int>(image.width);
  out.height = static_cast<int>(image.height);
  return out;
}

// The largest difference of any channel between the buffer and the reference.
int MaxDifference(TImageBitmap& bmp, const Rgba& ref) {
  int worst = 0;
  for (int y = 0; y < ref.height; ++y) {
    const uint8_t* row = bmp.ScanLine(y);
    for (int x = 0; x < ref.width; ++x) {
      const uint8_t* r = &ref.pixels[(size_t(y) * ref.width + x) * 4];
      worst = std::max({worst, std::abs(row[x * 3 + 2] - r[0]), std::abs(row[x * 3 + 1] - r[1]),
                        std::abs(row[x * 3] - r[2])});
    }
  }
  return worst;
}

std::vector<uint8_t> FileBytes(const fs::path& p) { return ReadFileBytes(p.string()); }

// The markers of a JPEG up to the first scan: (code, payload).
std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Markers(const std::vector<uint8_t>& d) {
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> out;
  size_t i = 2;
  while (i + 4 <= d.size() && d[i] == 0xFF) {
    const uint8_t code = d[i + 1];
    const size_t len = (size_t(d[i + 2]) << 8) | d[i + 3];
    if (i + 2 + len > d.size()) break;
    out.push_back({code, std::vector<uint8_t>(d.begin() + i + 4, d.begin() + i + 2 + len)});
    if (code == 0xDA) break;
    i += 2 + len;
  }
  return out;
}

int CountMarkers(const std::vector<uint8_t>& d, uint8_t code, const char* prefix = nullptr) {
  int n = 0;
  for (const auto& [c, payload] : Markers(d))
    if (c == code && (!prefix || (payload.size() >= std::strlen(prefix) &&
                                  std::memcmp(payload.data(), prefix, std::strlen(prefix)) == 0)))
      ++n;
  return n;
}

// Components in the frame header.
int FrameComponents(const std::vector<uint8_t>& d) {
  for (const auto& [c, p] : Markers(d))
    if ((c >= 0xC0 && c <= 0xC2) && p.size() >= 6) return p[5];
  return -1;
}

bool IsProgressive(const std::vector<uint8_t>& d) {
  for (const auto& [c, p] : Markers(d))
    if (c == 0xC2) return true;
  return false;
}

// A small test picture: a colour ramp.
void MakeRamp(TImageBitmap& bmp, int w, int h) {
  bmp.Allocate(w, h, im24RGB);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bmp.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      row[x * 3 + 0] = static_cast<uint8_t>(x * 255 / std::max(1, w - 1));
      row[x * 3 + 1] = static_cast<uint8_t>(y * 255 / std::max(1, h - 1));
      row[x * 3 + 2] = static_cast<uint8_t>(128 + (x - y) / 2);
    }
  }
}

std::vector<uint8_t> EncodeRamp(int w, int h, TIOParamsVals* settings = nullptr) {
  TImageIO io;
  MakeRamp(*io.ImageBitmap(), w, h);
  if (settings) io.Params().Assign(*settings);
  MemoryStream out;
  io.SaveToStreamJpeg(out);
  EXPECT_FALSE(io.Aborting());
  return out.Data();
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("lumaprep-jpeg-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override { fs::remove_all(m_dir); }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  fs::path m_dir;
};

// ---- colours against the reference decodes ------------------------------------------------

TEST(JpegRead, ColoursMatchTheReferenceDecodes) {
  LUMAPREP_REQUIRE_TESTDATA();
  // The references come from the same library with the same (slow integer) DCT and the same
  // upsampling, so YCbCr, RGB and grey files match exactly. CMYK goes through our integer
  // formula (truncating) while the reference rounds: at most 1 level apart.
  struct Case {
    const char* file;
    int tolerance;
    int colorSpace;
    int samples;
    bool progressive;
  };
  const Case cases[] = {
      {"hopper.jpg", 0, 2, 3, false},
      {"testorig.jpg", 0, 2, 3, false},
      {"testimgari.jpg", 0, 2, 3, false},
      {"jfif-ycbcr-no-subsampling-intel.jpg", 0, 2, 3, false},
      {"no-jfif-ycbcr.jpg", 0, 2, 3, false},
      {"dnl-marker.jpg", 0, 2, 3, false},
      {"adobe-unknown-rgb-ids.jpg", 0, 0, 3, false},
      {"hopper_gray.jpg", 0, 1, 1, false},
      {"jpeg.jpg", 0, 1, 1, false},
      {"cmyk-sample.jpg", 1, 3, 4, false},
      {"pil_sample_cmyk.jpg", 1, 4, 4, false},
      {"test.jpg", 0, 2, 3, true},
      {"progressive-adobe-sof-bands-dont-match-sos-band-count.jpg", 0, 2, 3, true},
      {"hopper_16bit_qtables.jpg", 0, 2, 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (!Have(c.file)) continue;
    TImageIO io;
    io.LoadFromFile((JpegDir() / c.file).string());
    ASSERT_FALSE(io.Aborting());
    const Rgba ref = LoadReference(c.file);
    ASSERT_GT(ref.width, 0);
    TImageBitmap& bmp = *io.ImageBitmap();
    ASSERT_EQ(bmp.PixelFormat(), im24RGB);
    ASSERT_EQ(bmp.Width(), ref.width);
    ASSERT_EQ(bmp.Height(), ref.height);
    EXPECT_LE(MaxDifference(bmp, ref), c.tolerance);
    EXPECT_EQ(io.Params().JPEG_ColorSpace, c.colorSpace);
    EXPECT_EQ(io.Params().SamplesPerPixel, c.samples);
    EXPECT_EQ(io.Params().BitsPerSample, 8);
    EXPECT_EQ(io.Params().JPEG_Progressive, c.progressive);
    EXPECT_EQ(io.Params().FileType, ioJPEG);
  }
}

TEST(JpegRead, NativePixelFormatKeepsGreyAndCmyk) {
  REQUIRE_SAMPLES("hopper_gray.jpg", "cmyk-sample.jpg");
  TImageIO io;
  io.SetNativePixelFormat(true);
  io.LoadFromFile((JpegDir() / "hopper_gray.jpg").string());
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->PixelFormat(), im8g);
  const Rgba ref = LoadReference("hopper_gray.jpg");
  EXPECT_EQ(io.ImageBitmap()->ScanLine(5)[7], ref.pixels[(5 * ref.width + 7) * 4]);

  io.LoadFromFile((JpegDir() / "cmyk-sample.jpg").string());
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->PixelFormat(), imCMYK);
}

TEST(JpegRead, EverySampleWithAReferenceDecodesAlike) {
  LUMAPREP_REQUIRE_TESTDATA();
  // All files of the folder, known or not: those with a reference decode must match it within
  // 2 levels (the agreement the references were made with; CMYK differs by 1 through rounding),
  // the others must load or be refused without an exception.
  int compared = 0;
  for (const auto& entry : fs::directory_iterator(JpegDir())) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    TImageIO io;
    ASSERT_NO_THROW(io.LoadFromFile(entry.path().string()));
    const Rgba ref = LoadReference(name);
    if (ref.width == 0) continue;
    ASSERT_FALSE(io.Aborting());
    ASSERT_EQ(io.ImageBitmap()->Width(), ref.width);
    ASSERT_EQ(io.ImageBitmap()->Height(), ref.height);
    EXPECT_LE(MaxDifference(*io.ImageBitmap(), ref), 2);
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

// ---- resolution ---------------------------------------------------------------------------

// Sets the JFIF density of an encoded file (the writer always puts JFIF first).
std::vector<uint8_t> WithDensity(std::vector<uint8_t> d, uint8_t unit, uint16_t x, uint16_t y) {
  EXPECT_EQ(std::memcmp(d.data() + 6, "JFIF", 4), 0);
  d[13] = unit;
  d[14] = uint8_t(x >> 8);
  d[15] = uint8_t(x);
  d[16] = uint8_t(y >> 8);
  d[17] = uint8_t(y);
  return d;
}

TEST(JpegRead, DensityBecomesDpi) {
  const std::vector<uint8_t> base = EncodeRamp(8, 8);
  struct Case {
    const char* name;
    uint8_t unit;
    uint16_t x, y;
    int dpiX, dpiY;
  };
  const Case cases[] = {
      {"dots per cm, truncated", 2, 118, 118, 299, 299},
      {"dots per inch", 1, 72, 150, 72, 150},
      {"aspect ratio only", 0, 1, 1, 300, 300},
      {"density 0", 1, 0, 0, 300, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream in(WithDensity(base, c.unit, c.x, c.y));
    TImageIO io;
    io.LoadFromStream(in);
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().DpiX, c.dpiX);
    EXPECT_EQ(io.Params().DpiY, c.dpiY);
  }
}

TEST(JpegWrite, DpiIsWrittenAsDotsPerInch) {
  TIOParamsVals p;
  p.DpiX = 96;
  p.DpiY = 0;  // 0 becomes the default resolution
  const auto d = EncodeRamp(8, 8, &p);
  EXPECT_EQ(d[13], 1);
  EXPECT_EQ((d[14] << 8) | d[15], 96);
  EXPECT_EQ((d[16] << 8) | d[17], 300);
}

// ---- start of data, truncation, damage ----------------------------------------------------

TEST(JpegRead, StartMarkerMustBeWithinTheFirst100Bytes) {
  const std::vector<uint8_t> jpeg = EncodeRamp(16, 16);
  struct Case {
    size_t junk;
    bool loads;
  };
  for (const Case& c :
       {Case{0, true}, Case{50, true}, Case{99, true}, Case{100, false}, Case{200, false}}) {
    SCOPED_TRACE(c.junk);
    std::vector<uint8_t> data(c.junk, 0x20);
    data.insert(data.end(), jpeg.begin(), jpeg.end());
    MemoryStream s(data);
    EXPECT_EQ(FindJPEGStart(s), c.loads ? int64_t(c.junk) : -1);
    EXPECT_EQ(s.Position(), 0);

    TImageIO io;
    MakeRamp(*io.ImageBitmap(), 3, 2);
    TProgressRec rec = io.MakeProgressRec();
    EXPECT_NO_THROW(JpegReadStream(s, *io.ImageBitmap(), io.Params(), false, rec));
    EXPECT_EQ(io.Aborting(), !c.loads);
    EXPECT_EQ(io.ImageBitmap()->Width(), c.loads ? 16 : 3);  // unchanged when refused
  }
}

TEST(JpegRead, TruncatedFilesLoadWithoutAnException) {
  const std::vector<uint8_t> jpeg = EncodeRamp(64, 64);
  size_t sos = 0;
  for (const auto& [code, payload] : Markers(jpeg)) {
    sos += 2 + 2 + payload.size();
    if (code == 0xDA) break;
  }
  sos += 2;  // SOI
  ASSERT_LT(sos, jpeg.size());
  for (size_t cut : {sos, sos + (jpeg.size() - sos) / 2, jpeg.size() - 2}) {
    SCOPED_TRACE(cut);
    MemoryStream s(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + cut));
    TImageIO io;
    EXPECT_NO_THROW(io.LoadFromStreamJpeg(s));
    // The library pads the missing data and warns; the image keeps its size.
    EXPECT_EQ(io.ImageBitmap()->Width(), 64);
    EXPECT_GT(io.Params().JPEG_WarningCount, 0);
  }
}

TEST(JpegRead, RealTruncatedAndBrokenFiles) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* file;
    bool aborts;
  };
  const Case cases[] = {
      {"bad/truncated.jpg", false},
      {"bad/truncated_jpeg.jpg", false},
      {"bad/broken-sos-before-sof.jpg", true},
      {"bad/broken-adobe-segment-length-beyond-eof.jpg", true},
      {"monkey12.jpg", true},  // 12-bit samples: the 8-bit library refuses them
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (!Have(c.file)) continue;
    TImageIO io;
    EXPECT_NO_THROW(io.LoadFromFile((JpegDir() / c.file).string()));
    EXPECT_EQ(io.Aborting(), c.aborts);
  }
}

TEST(JpegRead, DamagedInputSetsTheAbortFlag) {
  const std::vector<uint8_t> good = EncodeRamp(16, 16);
  auto cut = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + n); };
  // A frame header claiming 60000 x 60000 pixels on a tiny file.
  std::vector<uint8_t> huge = good;
  for (size_t i = 2; i + 9 < huge.size(); ++i) {
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = 0xEA;
      huge[i + 6] = 0x60;
      huge[i + 7] = 0xEA;
      huge[i + 8] = 0x60;
      break;
    }
  }
  std::vector<uint8_t> zeroWidth = good;
  for (size_t i = 2; i + 9 < zeroWidth.size(); ++i) {
    if (zeroWidth[i] == 0xFF && zeroWidth[i + 1] == 0xC0) {
      zeroWidth[i + 7] = 0;
      zeroWidth[i + 8] = 0;
      break;
    }
  }
  // A progressive frame of 20000 x 20000: libjpeg would need 1.2 GB of coefficients.
  TIOParamsVals progressive;
  progressive.JPEG_Progressive = true;
  std::vector<uint8_t> hugeProgressive = EncodeRamp(16, 16, &progressive);
  for (size_t i = 2; i + 9 < hugeProgressive.size(); ++i) {
    if (hugeProgressive[i] == 0xFF && hugeProgressive[i + 1] == 0xC2) {
      hugeProgressive[i + 5] = 0x4E;
      hugeProgressive[i + 6] = 0x20;
      hugeProgressive[i + 7] = 0x4E;
      hugeProgressive[i + 8] = 0x20;
      break;
    }
  }
  std::vector<uint8_t> garbage = {0xFF, 0xD8, 0xFF};
  garbage.resize(300, 0x5A);
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"empty", {}},
      {"SOI only", {0xFF, 0xD8}},
      {"SOI and a marker start", {0xFF, 0xD8, 0xFF}},
      {"cut in the first segment", cut(10)},
      {"cut before the frame header", cut(120)},
      {"garbage after SOI", garbage},
      {"60000 x 60000 frame", huge},
      {"zero width", zeroWidth},
      {"20000 x 20000 progressive frame", hugeProgressive},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream s(c.data);
    TImageIO io;
    EXPECT_NO_THROW(io.LoadFromStreamJpeg(s));
    EXPECT_TRUE(io.Aborting());
  }
}

// ---- writing ------------------------------------------------------------------------------

TEST(JpegWrite, ColourSpacesAndTheirHeaders) {
  struct Case {
    const char* name;
    uint8_t colorSpace;
    int components;
    int jfif;
    int adobe;
  };
  const Case cases[] = {
      {"grey", 1, 1, 1, 0}, {"YCbCr", 2, 3, 1, 0}, {"RGB", 0, 3, 0, 1},
      {"CMYK", 3, 4, 1, 1}, {"YCCK", 4, 4, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIOParamsVals p;
    p.JPEG_ColorSpace = c.colorSpace;
    p.JPEG_Quality = 95;
    const auto d = EncodeRamp(24, 16, &p);
    EXPECT_EQ(FrameComponents(d), c.components);
    EXPECT_EQ(CountMarkers(d, 0xE0, "JFIF"), c.jfif);
    EXPECT_EQ(CountMarkers(d, 0xEE, "Adobe"), c.adobe);

    // Read back: the colour space is recognised and the colours survive.
    MemoryStream in(d);
    TImageIO io;
    io.LoadFromStream(in);
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().JPEG_ColorSpace, c.colorSpace);
    TImageBitmap ramp;
    MakeRamp(ramp, 24, 16);
    int worst = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 24 * 3; ++x) {
        int expected = ramp.ScanLine(y)[x];
        if (c.colorSpace == 1) {
          const uint8_t* px = ramp.ScanLine(y) + (x / 3) * 3;
          expected = (px[2] * 299 + px[1] * 587 + px[0] * 114 + 500) / 1000;
        }
        worst = std::max(worst, std::abs(io.ImageBitmap()->ScanLine(y)[x] - expected));
      }
    EXPECT_LE(worst, 12);
  }
}

TEST(JpegWrite, QualityZeroIsQualityOne) {
  TIOParamsVals p;
  p.JPEG_Quality = 0;
  const auto q0 = EncodeRamp(32, 32, &p);
  p.JPEG_Quality = 1;
  const auto q1 = EncodeRamp(32, 32, &p);
  p.JPEG_Quality = 90;
  const auto q90 = EncodeRamp(32, 32, &p);
  EXPECT_EQ(q0, q1);
  EXPECT_NE(q0, q90);
}

TEST(JpegWrite, OptionsReachTheLibrary) {
  TIOParamsVals p;
  p.JPEG_Progressive = true;
  EXPECT_TRUE(IsProgressive(EncodeRamp(32, 32, &p)));
  p.JPEG_Progressive = false;
  EXPECT_FALSE(IsProgressive(EncodeRamp(32, 32, &p)));
  const auto plain = EncodeRamp(64, 64, &p);
  p.JPEG_OptimizeCoding = true;
  EXPECT_LT(EncodeRamp(64, 64, &p).size(), plain.size());
  p.JPEG_OptimizeCoding = false;
  p.JPEG_Smoothing = 50;
  EXPECT_NE(EncodeRamp(64, 64, &p), plain);
  p.JPEG_Smoothing = 0;
  p.JPEG_DCTMethod = 1;
  EXPECT_NE(EncodeRamp(64, 64, &p), plain);
}

TEST(JpegWrite, LibraryErrorRaisesWithTheMessageText) {
  TImageBitmap wide(65501, 1, im24RGB);
  TIOParamsVals p;
  MemoryStream out;
  bool aborting = false;
  TProgressRec rec;
  rec.Aborting = &aborting;
  try {
    JPEGWriteStream(out, wide, p, rec);
    FAIL() << "no exception";
  } catch (const EImageJpegException& e) {
    EXPECT_STREQ(e.what(), "Maximum supported image dimension is ? pixels");
  }
  EXPECT_TRUE(aborting);
}

TEST(JpegWrite, ShortWriteSetsTheAbortFlag) {
  TImageBitmap bmp;
  MakeRamp(bmp, 64, 64);
  TIOParamsVals p;
  MemoryStream out;
  out.SetCapacity(100);
  bool aborting = false;
  TProgressRec rec;
  rec.Aborting = &aborting;
  EXPECT_NO_THROW(JPEGWriteStream(out, bmp, p, rec));
  EXPECT_TRUE(aborting);
}

TEST(JpegWrite, EmptyBufferWritesNothing) {
  TImageBitmap empty;
  TIOParamsVals p;
  MemoryStream out;
  bool aborting = false;
  TProgressRec rec;
  rec.Aborting = &aborting;
  JPEGWriteStream(out, empty, p, rec);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(out.Size(), 0);
}

TEST_F(TempDir, FailedWriteLeavesTheExistingTargetAlone) {
  const std::string target = Path("photo.jpg");
  std::ofstream(target) << "the user's photo";
  TImageIO io;
  io.ImageBitmap()->Allocate(65501, 1, im24RGB);
  EXPECT_THROW(io.SaveToFile(target), EImageJpegException);
  EXPECT_EQ(FileBytes(target).size(), std::string("the user's photo").size());
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

// ---- markers through a conversion ---------------------------------------------------------

TEST_F(TempDir, ConversionKeepsCommentsProfilesAndMakerMarkers) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* file;
    uint8_t code;
    const char* prefix;
  };
  const Case cases[] = {
      {"hopper.jpg", 0xFE, nullptr},                             // comment
      {"Canon_40D.jpg", 0xE2, "ICC_PROFILE"},                    // ICC profile chunk
      {"Canon_40D.jpg", 0xE1, "Exif"},                           // EXIF kept as it was
      {"jfif-jfxx-thumbnail-olympus-d320l.jpg", 0xEC, nullptr},  // maker APP12
      {"jfif-jfxx-thumbnail-olympus-d320l.jpg", 0xE0, "JFXX"},   // a later APP0 stays
      {"iptc.jpg", 0xED, "Photoshop 3.0"},
      {"exif-200dpcm.jpg", 0xE1, "http://ns.adobe.com/xap/1.0/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " marker " + std::to_string(c.code));
    if (!Have(c.file)) continue;
    const auto src = FileBytes(JpegDir() / c.file);
    TImageIO io;
    io.LoadFromFile((JpegDir() / c.file).string());
    ASSERT_FALSE(io.Aborting());
    io.Params().JPEG_Quality = 70;
    io.SaveToFile(Path("out.jpg"));
    ASSERT_FALSE(io.Aborting());
    const auto out = FileBytes(Path("out.jpg"));
    EXPECT_EQ(CountMarkers(out, c.code, c.prefix), CountMarkers(src, c.code, c.prefix));
    EXPECT_GE(CountMarkers(out, c.code, c.prefix), 1);
    EXPECT_EQ(CountMarkers(out, 0xE0, "JFIF"), 1);
    EXPECT_EQ(CountMarkers(out, 0xEE), 0);  // YCbCr output: no Adobe marker
    // Payloads arrive unchanged.
    std::vector<std::vector<uint8_t>> a, b;
    for (auto& [code, p] : Markers(src))
      if (code == c.code) a.push_back(p);
    for (auto& [code, p] : Markers(out))
      if (code == c.code) b.push_back(p);
    if (c.code != 0xE0) {
      EXPECT_EQ(a, b);
    }
  }
}

TEST(JpegRead, MetadataIsParsed) {
  REQUIRE_SAMPLES("Canon_40D.jpg", "iptc.jpg", "exif-200dpcm.jpg");
  TImageIO io;
  io.LoadFromFile((JpegDir() / "Canon_40D.jpg").string());
  ASSERT_FALSE(io.Aborting());
  // The complete profile of the APP2 chunks.
  ASSERT_GT(io.Params().InputICC.size(), 128u);
  const auto& icc = io.Params().InputICC;
  const uint32_t declared = (icc[0] << 24) | (icc[1] << 16) | (icc[2] << 8) | icc[3];
  EXPECT_EQ(declared, icc.size());
  EXPECT_EQ(std::memcmp(icc.data() + 36, "acsp", 4), 0);
  // The first APP0 (JFIF) is not in the list.
  EXPECT_EQ(io.Params().JPEG_MarkerList.IndexOf(0xE0), -1);

  io.LoadFromFile((JpegDir() / "iptc.jpg").string());
  ASSERT_FALSE(io.Aborting());
  EXPECT_GT(io.Params().IPTC_Info.Count(), 0);
  EXPECT_TRUE(io.Params().InputICC.empty());  // reset per load

  io.LoadFromFile((JpegDir() / "exif-200dpcm.jpg").string());
  ASSERT_FALSE(io.Aborting());
  EXPECT_NE(io.Params().XMP_Info.find("x:xmpmeta"), std::string::npos);
}

TEST(JpegWrite, MarkerPreparationAndOrder) {
  TIOParamsVals p;
  TImageMarkerList& m = p.JPEG_MarkerList;
  m.AddMarker(0xFE, std::vector<uint8_t>{'h', 'i'});
  m.AddMarker(0xEE, std::vector<uint8_t>{'A', 'd', 'o', 'b', 'e', 0, 0, 0, 0, 0, 0, 0});
  m.AddMarker(0xE1, std::vector<uint8_t>{'x', 'y'});
  m.AddMarker(0xE1, std::vector<uint8_t>{'E', 'x', 'i', 'f', 0, 0});
  p.XMP_Info = "<x:xmpmeta/>";
  p.IPTC_Info.AddStringItem(2, 5, "Title");
  JpegPrepareMarkers(p);
  const auto d = EncodeRamp(8, 8, &p);
  std::vector<uint8_t> codes;
  for (auto& [c, payload] : Markers(d))
    if (c >= 0xE0 && c != 0xEE) codes.push_back(c);
  // The library's JFIF, then the list by code with the EXIF APP1 first of the APP1s.
  const std::vector<uint8_t> expected = {0xE0, 0xE1, 0xE1, 0xE1, 0xED, 0xFE};
  EXPECT_EQ(codes, expected);
  EXPECT_EQ(CountMarkers(d, 0xE1, "Exif"), 1);
  const auto ms = Markers(d);
  EXPECT_EQ(std::memcmp(ms[1].second.data(), "Exif", 4), 0);
  EXPECT_EQ(CountMarkers(d, 0xEE), 0);  // the list's APP14 is never written

  MemoryStream in(d);
  TImageIO io;
  io.LoadFromStream(in);
  EXPECT_EQ(io.Params().XMP_Info, "<x:xmpmeta/>");
  ASSERT_EQ(io.Params().IPTC_Info.Count(), 1);
  EXPECT_EQ(io.Params().IPTC_Info.StringItem(0), "Title");
}

TEST_F(TempDir, GreyRgbCmykAndProgressiveFilesAreWrittenBackAlike) {
  LUMAPREP_REQUIRE_TESTDATA();
  struct Case {
    const char* file;
    int components;
    bool progressive;
    int adobe;
  };
  const Case cases[] = {
      {"hopper_gray.jpg", 1, false, 0},
      {"adobe-unknown-rgb-ids.jpg", 3, false, 1},
      {"cmyk-sample.jpg", 4, false, 1},
      {"test.jpg", 3, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (!Have(c.file)) continue;
    TImageIO io;
    io.LoadFromFile((JpegDir() / c.file).string());
    ASSERT_FALSE(io.Aborting());
    io.SaveToFile(Path("out.jpg"));
    ASSERT_FALSE(io.Aborting());
    const auto out = FileBytes(Path("out.jpg"));
    EXPECT_EQ(FrameComponents(out), c.components);
    EXPECT_EQ(IsProgressive(out), c.progressive);
    EXPECT_EQ(CountMarkers(out, 0xEE, "Adobe"), c.adobe);
    EXPECT_EQ(CountMarkers(out, 0xE0, "JFIF"), c.components == 3 && c.adobe ? 0 : 1);
  }
}

// ---- the EXIF block through the TIFF container's hooks ------------------------------------

// A stand-in for the TIFF container: the "TIFF structure" is four bytes: orientation,
// resolution unit, x and y resolution; a fifth byte asks for a 3 x 2 thumbnail.
bool FakeExifReader(const uint8_t* tiff, size_t size, TIOParamsVals& p) {
  if (size < 4) return false;
  p.EXIF_Orientation = tiff[0];
  p.EXIF_ResolutionUnit = tiff[1];
  p.EXIF_XResolution = tiff[2];
  p.EXIF_YResolution = tiff[3];
  if (size > 4) p.EXIF_Bitmap.Create().Allocate(3, 2, im24RGB);
  return true;
}

struct ExifHook {
  ExifHook() { JpegExifReader = FakeExifReader; }
  ~ExifHook() { JpegExifReader = nullptr; }
};

// A white w x h picture whose top-left 8 x 8 block is black, with the EXIF marker.
std::vector<uint8_t> WithExif(std::vector<uint8_t> tiff, int w = 32, int h = 16) {
  TImageIO io;
  io.ImageBitmap()->Allocate(w, h, im24RGB);
  io.ImageBitmap()->Fill(ColorValue(TRGB{255, 255, 255}));
  io.ImageBitmap()->FillRect(0, 0, 7, 7, 0);
  std::vector<uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  io.Params().JPEG_MarkerList.AddMarker(0xE1, payload);
  MemoryStream out;
  io.SaveToStreamJpeg(out);
  return WithDensity(out.Data(), 0, 1, 1);
}

TEST(JpegRead, ExifResolutionOrientationAndThumbnail) {
  ExifHook hook;
  struct Case {
    const char* name;
    std::vector<uint8_t> tiff;
    int dpiX, dpiY;
  };
  const Case cases[] = {
      {"inches", {1, 2, 72, 96}, 72, 96},
      {"centimetres", {1, 3, 118, 40}, 299, 101},
      {"no resolution", {1, 2, 0, 0}, 300, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream in(WithExif(c.tiff));
    TImageIO io;
    io.LoadFromStream(in);
    ASSERT_FALSE(io.Aborting());
    EXPECT_TRUE(io.Params().EXIF_HasEXIFData);
    EXPECT_EQ(io.Params().DpiX, c.dpiX);
    EXPECT_EQ(io.Params().DpiY, c.dpiY);
  }

  // The JFIF density wins unless it is the bare 1 x 1 aspect ratio.
  {
    MemoryStream in(WithDensity(WithExif({1, 2, 72, 72}), 1, 200, 200));
    TImageIO io;
    io.LoadFromStream(in);
    EXPECT_EQ(io.Params().DpiX, 200);
  }

  // Orientation 6: a quarter turn clockwise; the black top-left corner goes to the top right.
  for (int orientation : {1, 3, 6, 8}) {
    SCOPED_TRACE(orientation);
    MemoryStream in(WithExif({uint8_t(orientation), 2, 72, 72}));
    TImageIO io;
    io.Params().JPEG_EnableAdjustOrientation = true;
    io.LoadFromStream(in);
    ASSERT_FALSE(io.Aborting());
    const bool turned = orientation >= 5;
    const int w = turned ? 16 : 32, h = turned ? 32 : 16;
    EXPECT_EQ(io.ImageBitmap()->Width(), w);
    EXPECT_EQ(io.Params().Width, w);
    const bool right = orientation == 3 || orientation == 6;
    const bool bottom = orientation == 3 || orientation == 8;
    auto at = [&](int x, int y) { return io.ImageBitmap()->ScanLine(y)[x * 3 + 1]; };
    EXPECT_LT(at(right ? w - 2 : 1, bottom ? h - 2 : 1), 40);
    EXPECT_GT(at(right ? 1 : w - 2, bottom ? 1 : h - 2), 215);
  }

  // The thumbnail instead of the image.
  MemoryStream in(WithExif({1, 2, 72, 72, 1}, 16, 16));
  TImageIO io;
  io.Params().SetGetThumbnail(true);
  io.LoadFromStream(in);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->Width(), 3);
  EXPECT_TRUE(io.Params().JPEG_GetExifThumbnail);
  MemoryStream noThumb(WithExif({1, 2, 72, 72}, 16, 16));
  io.LoadFromStream(noThumb);
  EXPECT_EQ(io.ImageBitmap()->Width(), 16);
}

// ---- scale and progress -------------------------------------------------------------------

TEST(JpegRead, ScaleAndParametersOnly) {
  const auto d = EncodeRamp(80, 48);
  struct Case {
    const char* name;
    uint8_t scale;
    int reqW, reqH;
    int used;
  };
  const Case cases[] = {
      {"full", 1, 0, 0, 1},         {"half", 2, 0, 0, 2},
      {"eighth", 4, 0, 0, 8},       {"auto 20x12", 0, 20, 12, 4},
      {"auto 21x12", 0, 21, 12, 2}, {"auto without a size", 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream in(d);
    TImageIO io;
    io.Params().JPEG_Scale = c.scale;
    io.Params().Width = c.reqW;
    io.Params().Height = c.reqH;
    io.LoadFromStream(in);
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().JPEG_ScaleUsed, c.used);
    EXPECT_EQ(io.ImageBitmap()->Width(), 80 / c.used);
    EXPECT_EQ(io.Params().Width, 80 / c.used);
    EXPECT_EQ(io.Params().JPEG_FullWidth, 80);
    EXPECT_EQ(io.Params().JPEG_FullHeight, 48);
  }
  MemoryStream in(d);
  TImageBitmap untouched(3, 2, im24RGB);
  TIOParamsVals p;
  bool aborting = false;
  TProgressRec rec;
  rec.Aborting = &aborting;
  JpegReadStream(in, untouched, p, true, rec);
  EXPECT_FALSE(aborting);
  EXPECT_EQ(p.Width, 80);
  EXPECT_EQ(untouched.Width(), 3);
}

TEST(JpegRead, ProgressIsReportedAndAbortStops) {
  const auto d = EncodeRamp(16, 40);
  MemoryStream in(d);
  TImageIO io;
  std::vector<int> seen;
  io.SetOnProgress([&](TImageIO*, int percent) {
    seen.push_back(percent);
    if (percent >= 50 && percent < 100) io.SetAborting(true);
  });
  io.LoadFromStream(in);
  EXPECT_TRUE(io.Aborting());
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 2);  // trunc(1 * 100 / 40)
  EXPECT_LT(seen.size(), 30u);
}

}  // namespace
}  // namespace lumaprep
