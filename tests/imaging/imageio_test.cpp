// Streams, the byte reader, the parameter record, the format registry, content detection and
// the load and save frames of TImageIO.
#include "imaging/imageio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "imaging/bytereader.h"
#include "imaging/jpegcodec.h"
#include "testdata.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class IoDir : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = fs::temp_directory_path() /
            ("lumaprep-io-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
  }
  void TearDown() override {
    fs::remove_all(m_dir);
    ResetFileFormats();
  }
  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  int FilesInDir() const {
    return int(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()));
  }
  fs::path m_dir;
};

std::vector<uint8_t> SmallJpeg(int w = 6, int h = 4) {
  TImageIO io;
  io.ImageBitmap()->Allocate(w, h, im24RGB);
  io.ImageBitmap()->Fill(ColorValue(TRGB{10, 200, 30}));
  MemoryStream s;
  io.SaveToStreamJpeg(s);
  return s.Data();
}

// ---- streams ------------------------------------------------------------------------------

TEST(MemoryStreamTest, ReadWriteSeekAndCapacity) {
  MemoryStream s;
  EXPECT_EQ(s.Write("abcdef", 6), 6u);
  EXPECT_EQ(s.Position(), 6);
  s.Seek(8);  // past the end: a write fills the gap with zeros
  s.Write("x", 1);
  EXPECT_EQ(s.Size(), 9);
  EXPECT_EQ(s.Data()[6], 0);
  s.Seek(-5);
  EXPECT_EQ(s.Position(), 0);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, 16), 9u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(s.Read(buf, 4), 0u);
  s.Seek(100);
  EXPECT_EQ(s.Read(buf, 4), 0u);
  EXPECT_EQ(s.Remaining(), 0);

  MemoryStream small;
  small.SetCapacity(4);
  EXPECT_EQ(small.Write("abcdef", 6), 4u);
  EXPECT_EQ(small.Write("g", 1), 0u);
}

TEST_F(IoDir, FileStreamErrorsNameThePathAndTheReason) {
  const std::string missing = Path("missing.jpg");
  try {
    FileStream f(missing, FileStream::fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + missing + "\". No such file or directory");
  }
  const std::string noFolder = Path("no/such/folder/out.jpg");
  try {
    AtomicFileStream f(noFolder);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + noFolder + "\". No such file or directory");
  }
  EXPECT_THROW(FileStream(m_dir.string(), FileStream::fmOpenRead), EFOpenError);
}

TEST_F(IoDir, AtomicFileStreamReplacesOnlyOnCommit) {
  const std::string target = Path("photo.jpg");
  Write("photo.jpg", {'o', 'l', 'd'});
  {
    AtomicFileStream f(target);
    f.Write("new data", 8);
    EXPECT_EQ(FilesInDir(), 2);
  }  // not committed
  EXPECT_EQ(ReadFileBytes(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(FilesInDir(), 1);
  {
    AtomicFileStream f(target);
    f.Write("new", 3);
    f.Commit();
  }
  EXPECT_EQ(ReadFileBytes(target), (std::vector<uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(FilesInDir(), 1);

  // A link stays a link; the file it names gets the data and keeps its mode.
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(target, Path("link.jpg"));
  {
    AtomicFileStream f(Path("link.jpg"));
    f.Write("via link", 8);
    f.Commit();
  }
  EXPECT_TRUE(fs::is_symlink(Path("link.jpg")));
  EXPECT_EQ(ReadFileBytes(target).size(), 8u);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(FilesInDir(), 2);
  EXPECT_THROW(AtomicFileStream(m_dir.string()), EFCreateError);
}

TEST_F(IoDir, ReadOnlyTargetIsNotReplaced) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write read-only files";
  Write("ro.jpg", {'o', 'l', 'd'});
  fs::permissions(Path("ro.jpg"), fs::perms::owner_read);
  try {
    AtomicFileStream f(Path("ro.jpg"));
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + Path("ro.jpg") + "\". Permission denied");
  }
  EXPECT_EQ(ReadFileBytes(Path("ro.jpg")).size(), 3u);
}

// ---- byte reader --------------------------------------------------------------------------

TEST(ByteReaderTest, EndianGettersAndStickyFailure) {
  const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  ByteReader r(data, sizeof(data));
  EXPECT_EQ(r.u16le(), 0x0201);
  EXPECT_EQ(r.u16be(), 0x0304);
  EXPECT_FALSE(r.failed());
  EXPECT_EQ(r.remaining(), 3u);
  EXPECT_EQ(r.u32le(), 0u);  // only 3 bytes left: zeros, failed
  EXPECT_TRUE(r.failed());
  r.seek(0);
  EXPECT_EQ(r.u32be(), 0x01020304u);
  EXPECT_TRUE(r.failed());  // sticky
  ByteReader s(data, sizeof(data));
  s.skip(6);
  EXPECT_EQ(s.u8(), 7);
  EXPECT_EQ(s.u8(), 0);
  EXPECT_TRUE(s.failed());
  ByteReader t(data, sizeof(data));
  t.skip(100);
  EXPECT_TRUE(t.failed());
  EXPECT_EQ(t.remaining(), 0u);
  EXPECT_TRUE(ByteReader(data, 2).span(3).empty());
}

// ---- the parameter record -----------------------------------------------------------------

TEST(IOParamsTest, DefaultsResetInfoAndAssign) {
  TIOParamsVals p;
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.DpiX, 300);
  EXPECT_EQ(p.JPEG_Quality, 80);
  EXPECT_EQ(p.JPEG_ColorSpace, 2);
  EXPECT_EQ(p.JPEG_Scale, 1);
  EXPECT_EQ(p.TIFF_SubIndex, -1);
  EXPECT_EQ(p.GIF_Version, "GIF89a");
  EXPECT_EQ(p.PNG_Compression, 5);
  EXPECT_TRUE(p.TGA_Compressed);
  EXPECT_DOUBLE_EQ(p.TGA_Gamma, 2.2);
  EXPECT_EQ(p.ICO_Background, (TRGB{255, 255, 255}));
  EXPECT_EQ(p.ICO_Sizes[0][0], 64);
  EXPECT_EQ(p.ICO_Sizes[1][0], 0);
  EXPECT_EQ(p.ICO_BitCount[0], 8);
  EXPECT_EQ(p.PS_Title, "No Title");
  EXPECT_GT(p.TGA_Date, 40000.0);  // today, as days since 1899-12-30

  p.JPEG_Progressive = true;
  p.JPEG_Quality = 33;
  p.XMP_Info = "x";
  p.GIF_Comments = {"c"};
  p.InputICC = {1, 2, 3};
  p.JPEG_MarkerList.AddMarker(0xFE, std::vector<uint8_t>{1});
  p.EXIF_HasEXIFData = true;
  p.EXIF_Make = "maker";
  p.EXIF_Bitmap.Create().Allocate(2, 2, im24RGB);
  TRGB pal[2] = {{1, 2, 3}, {4, 5, 6}};
  p.SetColorMap(pal, 2);

  TIOParamsVals copy;
  copy.Assign(p);
  EXPECT_EQ(copy.ColorMapCount, 2);
  EXPECT_EQ(copy.ColorMap[1], (TRGB{4, 5, 6}));
  ASSERT_TRUE(copy.EXIF_Bitmap);
  EXPECT_NE(copy.EXIF_Bitmap.get(), p.EXIF_Bitmap.get());  // deep copy
  EXPECT_EQ(copy.EXIF_Bitmap->Width(), 2);
  EXPECT_EQ(copy.JPEG_MarkerList.Count(), 1);

  p.ResetInfo();
  EXPECT_TRUE(p.JPEG_Progressive);  // kept for the next write
  EXPECT_EQ(p.JPEG_Quality, 33);
  EXPECT_EQ(p.ColorMapCount, 2);  // not metadata
  EXPECT_TRUE(p.XMP_Info.empty());
  EXPECT_TRUE(p.GIF_Comments.empty());
  EXPECT_TRUE(p.InputICC.empty());
  EXPECT_EQ(p.JPEG_MarkerList.Count(), 0);
  EXPECT_FALSE(p.EXIF_HasEXIFData);
  EXPECT_TRUE(p.EXIF_Make.empty());
  EXPECT_FALSE(p.EXIF_Bitmap);
  EXPECT_TRUE(copy.EXIF_Bitmap);  // the copy is independent

  copy.SetDefaultParams();
  EXPECT_FALSE(copy.JPEG_Progressive);
  EXPECT_EQ(copy.ColorMapCount, 0);
  EXPECT_FALSE(copy.EXIF_Bitmap);
}

TEST(IOParamsTest, SettersMoveTheirLinkedFields) {
  TIOParamsVals p;
  p.SetDpiX(72);
  p.SetDpiY(96);
  EXPECT_DOUBLE_EQ(p.EXIF_XResolution, 72);
  EXPECT_DOUBLE_EQ(p.EXIF_YResolution, 96);
  p.SetImageIndex(3);
  EXPECT_EQ(
      p.TIFF_ImageIndex + p.DCX_ImageIndex + p.GIF_ImageIndex + p.ICO_ImageIndex + p.CUR_ImageIndex,
      15);
  p.SetImageCount(7);
  EXPECT_EQ(p.TIFF_ImageCount + p.AVI_FrameCount + p.GIF_ImageCount, 21);
  p.SetGetThumbnail(true);
  EXPECT_TRUE(p.JPEG_GetExifThumbnail);
  p.SetTIFF_Orientation(6);
  EXPECT_EQ(p.EXIF_Orientation, 6);
}

TEST(IOParamsTest, WidthAndHeightDefaultToTheAttachedBuffer) {
  TImageBitmap view(7, 5, im24RGB);
  TImageIO io(&view);
  EXPECT_EQ(io.ImageBitmap(), &view);
  EXPECT_EQ(io.Params().Width, 7);
  EXPECT_EQ(io.Params().Height, 5);
  TImageIO own;
  EXPECT_EQ(own.Params().Width, 0);
}

TEST(MarkerListTest, SortMarkersPutsExifFirstAmongApp1) {
  TImageMarkerList m;
  m.AddMarker(0xFE, std::vector<uint8_t>{'c'});
  m.AddMarker(0xE2, std::vector<uint8_t>{'1'});
  m.AddMarker(0xE1, std::vector<uint8_t>{'x', 'm', 'p'});
  m.AddMarker(0xE2, std::vector<uint8_t>{'2'});
  m.AddMarker(0xE1, std::vector<uint8_t>{'E', 'x', 'i', 'f'});
  m.SortMarkers();
  ASSERT_EQ(m.Count(), 5);
  EXPECT_EQ(m.MarkerData(0)[0], 'E');
  EXPECT_EQ(m.MarkerData(1)[0], 'x');
  EXPECT_EQ(m.MarkerData(2)[0], '1');  // equal codes keep their order
  EXPECT_EQ(m.MarkerData(3)[0], '2');
  EXPECT_EQ(m.MarkerType(4), 0xFE);
  EXPECT_EQ(m.IndexOf(0xE2), 2);
  EXPECT_EQ(m.IndexOf(0xED), -1);
  std::vector<uint8_t> big(70000, 1);
  EXPECT_EQ(m.MarkerLength(m.AddMarker(0xE3, big)), int(TImageMarkerList::kMaxPayload));
}

TEST(IptcTest, PhotoshopBlockRoundTripAndDamage) {
  TImageIPTCInfoList list;
  list.AddStringItem(2, 120, "caption");
  list.AddStringItem(2, 25, "keyword");
  const auto block = list.SaveToStandardBuffer();
  TImageIPTCInfoList back;
  back.LoadFromStandardBuffer(block.data(), block.size());
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.StringItem(0), "caption");
  EXPECT_EQ(back.At(1).DataSet, 25);
  EXPECT_FALSE(back.Changed());
  // Every cut of the block parses without reading outside it.
  for (size_t n = 0; n < block.size(); ++n) {
    TImageIPTCInfoList cut;
    cut.LoadFromStandardBuffer(block.data(), n);
    EXPECT_LE(cut.Count(), 2);
  }
  EXPECT_TRUE(TImageIPTCInfoList().SaveToStandardBuffer().empty());
}

// ---- registry -----------------------------------------------------------------------------

TEST(RegistryTest, BuiltInEntriesInListOrder) {
  ResetFileFormats();
  const TIOFileType order[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                               16, 13, 14, 17, 18, 19, 20, 24, 25, 26, 27};
  ASSERT_EQ(GetFileFormatCount(), int(std::size(order)));
  for (int i = 0; i < GetFileFormatCount(); ++i) {
    EXPECT_EQ(GetFileFormatAt(i).FileType, order[i]);
    EXPECT_EQ(GetFileFormatAt(i).InternalFormat, 1);
  }
  const TImageFileFormatInfo* jpeg = GetFileFormatInfo(ioJPEG);
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(jpeg->FullName, "JPEG Bitmap");
  EXPECT_EQ(jpeg->DialogPage, 0x04);
  EXPECT_EQ(GetFileExtensionCount(*jpeg), 4);
  EXPECT_EQ(GetFileExtension(*jpeg, 2), "jpe");
  EXPECT_EQ(GetFileExtension(*jpeg, 4), "");
  EXPECT_EQ(GetFileFormatInfoByExt(".JPG"), jpeg);
  EXPECT_EQ(GetFileFormatInfoByExt("jif"), jpeg);
  EXPECT_EQ(GetFileFormatInfoByExt(".pix")->FileType, ioTGA);
  EXPECT_EQ(GetFileFormatInfoByExt(".xif")->FileType, ioTIFF);
  EXPECT_EQ(GetFileFormatInfoByExt(".win"), nullptr);  // saving only
  EXPECT_EQ(GetFileFormatInfoByExt(".xyz"), nullptr);
  EXPECT_EQ(GetFileFormatInfo(ioCUR)->WriteFunction, nullptr);
  EXPECT_EQ(GetFileFormatInfo(ioPS)->ReadFunction, nullptr);
}

// A plug-in format: "PLG!" then width, height (bytes) and grey pixels.
void plgRead(Stream& s, TImageBitmap& bmp, TIOParamsVals& p, bool, TProgressRec& progress) {
  uint8_t head[6];
  if (s.Read(head, 6) != 6 || std::memcmp(head, "PLG!", 4) != 0) {
    progress.Fail();
    return;
  }
  bmp.Allocate(head[4], head[5], im24RGB);
  p.Width = head[4];
  p.Height = head[5];
  if (head[4] == 99) throw std::runtime_error("plug-in failure");
}
void plgWrite(Stream& s, TImageBitmap& bmp, TIOParamsVals&, TProgressRec& progress) {
  const uint8_t head[6] = {'P', 'L', 'G', '!', uint8_t(bmp.Width()), uint8_t(bmp.Height())};
  s.Write(head, 6);
  if (bmp.Width() == 13) progress.Fail();  // half written, then failed
}
bool plgTry(Stream& s) {
  char head[4] = {};
  const int64_t p = s.Position();
  const bool ok = s.Read(head, 4) == 4 && std::memcmp(head, "PLG!", 4) == 0;
  s.Seek(p);
  return ok;
}

TEST_F(IoDir, PlugInFormatsAreReadWrittenAndSniffed) {
  TImageFileFormatInfo info;
  info.FileType = 100;
  info.FullName = "Plug-in";
  info.Extensions = "plg;plx";
  info.ReadFunction = plgRead;
  info.WriteFunction = plgWrite;
  info.TryFunction = plgTry;
  AddFileFormat(info);
  EXPECT_EQ(GetFileFormatInfoByExt(".PLX")->FileType, 100);

  TImageIO io;
  io.ImageBitmap()->Allocate(5, 3, im24RGB);
  io.SaveToFile(Path("a.plg"));
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().FileType, 100);

  io.ImageBitmap()->Allocate(13, 3, im24RGB);  // the writer fails
  io.SaveToFile(Path("a.plg"));
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(ReadFileBytes(Path("a.plg"))[4], 5);  // the earlier file is untouched
  EXPECT_EQ(FilesInDir(), 1);

  TImageIO reader;
  reader.LoadFromFile(Path("a.plg"));
  EXPECT_FALSE(reader.Aborting());
  EXPECT_EQ(reader.ImageBitmap()->Width(), 5);
  EXPECT_EQ(FindFileFormat(Path("a.plg")), 100);

  Write("bad.plg", {'P', 'L', 'G', '!', 99, 1});
  EXPECT_NO_THROW(reader.LoadFromFile(Path("bad.plg")));  // caught, abort flag
  EXPECT_TRUE(reader.Aborting());

  MemoryStream s(ReadFileBytes(Path("a.plg")));
  EXPECT_EQ(FindStreamFormat(s), 100);
  reader.LoadFromStream(s);
  EXPECT_FALSE(reader.Aborting());

  RemoveFileFormat(100);
  EXPECT_EQ(GetFileFormatInfoByExt(".plg"), nullptr);
}

// ---- content detection --------------------------------------------------------------------

TEST(FindStreamFormatTest, SignaturesAndLengthLimits) {
  auto detect = [](std::vector<uint8_t> bytes) {
    MemoryStream s(std::move(bytes));
    s.Seek(0);
    const TIOFileType t = FindStreamFormat(s);
    EXPECT_EQ(s.Position(), 0);
    return t;
  };
  std::vector<uint8_t> bm = {'B', 'M'};
  bm.resize(15, 0);
  EXPECT_EQ(detect(bm), ioBMP);
  bm.resize(14);
  EXPECT_NE(detect(bm), ioBMP);

  std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a'};
  gif.resize(14, 0);
  EXPECT_EQ(detect(gif), ioGIF);

  std::vector<uint8_t> header = {'J', 'F', 'I', 'F', 0};
  header.resize(13, 0);
  EXPECT_EQ(detect(header), ioJPEG);

  std::vector<uint8_t> avi = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
  avi.resize(40, 1);
  EXPECT_EQ(detect(avi), ioAVI);

  const std::vector<uint8_t> jpeg = SmallJpeg();
  for (size_t junk : {size_t(0), size_t(99), size_t(100)}) {
    SCOPED_TRACE(junk);
    std::vector<uint8_t> d(junk, 'z');
    d.insert(d.end(), jpeg.begin(), jpeg.end());
    EXPECT_EQ(detect(d), junk < 100 ? ioJPEG : ioUnknown);
  }
  EXPECT_EQ(detect({}), ioUnknown);
  EXPECT_EQ(detect({'z', 'z', 'z'}), ioUnknown);

  // Detection starts at the stream's position and returns to it.
  std::vector<uint8_t> d(10, 'q');
  d.insert(d.end(), jpeg.begin(), jpeg.end());
  MemoryStream s(d);
  s.Seek(10);
  EXPECT_EQ(FindStreamFormat(s), ioJPEG);
  EXPECT_EQ(s.Position(), 10);
}

TEST_F(IoDir, FindFileFormatChecksContentAgainstTheExtension) {
  Write("a.jpg", SmallJpeg());
  Write("a.bmp", SmallJpeg());
  Write("a.xyz", SmallJpeg());
  EXPECT_EQ(FindFileFormat(Path("a.jpg"), true), ioJPEG);
  EXPECT_EQ(FindFileFormat(Path("a.bmp"), false), ioJPEG);
  EXPECT_EQ(FindFileFormat(Path("a.bmp"), true), ioUnknown);
  EXPECT_EQ(FindFileFormat(Path("a.xyz"), true), ioUnknown);
  EXPECT_EQ(FindFileFormat(Path("missing.jpg"), true), ioUnknown);
}

// ---- load and save dispatch ---------------------------------------------------------------

TEST_F(IoDir, LoadDispatchesByExtension) {
  Write("photo.JPG", SmallJpeg(6, 4));
  Write("x.xyz", SmallJpeg(6, 4));
  Write("png-named.jpg", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13});
  TImageIO io;
  int finished = 0;
  io.SetOnFinishWork([&](TImageIO* sender) {
    EXPECT_EQ(sender, &io);
    ++finished;
  });

  io.LoadFromFile(Path("photo.JPG"));
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->Width(), 6);
  EXPECT_EQ(io.Params().FileName, Path("photo.JPG"));
  EXPECT_EQ(io.Params().FileType, ioJPEG);
  EXPECT_EQ(finished, 1);

  io.LoadFromFile(Path("x.xyz"));  // unregistered: nothing loaded, no exception
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->Width(), 6);
  EXPECT_EQ(finished, 2);

  io.LoadFromFile(Path("png-named.jpg"));  // no sniffing by name: the JPEG reader refuses
  EXPECT_TRUE(io.Aborting());

  EXPECT_THROW(io.LoadFromFile(Path("missing.jpg")), EFOpenError);
  EXPECT_EQ(finished, 4);
}

TEST_F(IoDir, SaveDispatchesByExtension) {
  TImageIO io;
  io.ImageBitmap()->Allocate(4, 4, im24RGB);
  io.SaveToFile("");  // nothing happens
  EXPECT_EQ(FilesInDir(), 0);
  for (const char* name :
       {"out.cur", "out.avi", "out.wmf", "out.emf", "out.crw", "out.xyz", "out.vec"}) {
    SCOPED_TRACE(name);
    io.SetAborting(false);
    EXPECT_NO_THROW(io.SaveToFile(Path(name)));
    EXPECT_TRUE(io.Aborting());
  }
  EXPECT_EQ(FilesInDir(), 0);

  io.SaveToFile(Path("out.JPEG"));
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().FileType, ioJPEG);
  EXPECT_EQ(FindFileFormat(Path("out.JPEG"), true), ioJPEG);

  // A grey buffer is written as im24RGB.
  io.ImageBitmap()->SetPixelFormat(im8g);
  io.SaveToFile(Path("grey.jpg"));
  EXPECT_FALSE(io.Aborting());

  EXPECT_THROW(io.SaveToFile(Path("none/out.jpg")), EFCreateError);
}

TEST_F(IoDir, ProgressivenessFlowsFromOneFileToTheNext) {
  TImageIO io;
  io.ImageBitmap()->Allocate(16, 16, im24RGB);
  io.Params().JPEG_Progressive = true;
  io.SaveToFile(Path("p.jpg"));
  TImageIO other;
  other.LoadFromFile(Path("p.jpg"));
  ASSERT_FALSE(other.Aborting());
  EXPECT_TRUE(other.Params().JPEG_Progressive);
  other.Params().ResetInfo();  // as every later load does
  other.SaveToFile(Path("q.jpg"));
  TImageIO check;
  check.LoadFromFile(Path("q.jpg"));
  EXPECT_TRUE(check.Params().JPEG_Progressive);
}

TEST(LoadFromStreamTest, UnknownDataSetsTheAbortFlag) {
  TImageIO io;
  io.ImageBitmap()->Allocate(2, 2, im24RGB);
  MemoryStream s(std::vector<uint8_t>(50, 'z'));
  io.LoadFromStream(s);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.ImageBitmap()->Width(), 2);
}

TEST(StreamHeadersTest, HeaderedJpegStreamsAreFoundAndRead) {
  TImageIO io;
  io.ImageBitmap()->Allocate(5, 5, im24RGB);
  io.SetStreamHeaders(true);
  MemoryStream s;
  io.SaveToStreamJpeg(s);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(std::memcmp(s.Data().data(), "JFIF", 4), 0);
  const uint32_t len = s.Data()[8] | (s.Data()[9] << 8) | (s.Data()[10] << 16);
  EXPECT_EQ(len + 12, s.Data().size());
  s.Seek(0);
  TImageIO reader;
  reader.LoadFromStream(s);
  EXPECT_FALSE(reader.Aborting());
  EXPECT_EQ(reader.ImageBitmap()->Width(), 5);
}

TEST_F(IoDir, AutoAdjustDpiEqualisesTheAxes) {
  // 40 x 20 pixels at 100 x 50 dpi: the shorter side is rescaled to 100 dpi.
  TImageIO w;
  w.ImageBitmap()->Allocate(40, 20, im24RGB);
  w.Params().DpiX = 100;
  w.Params().DpiY = 50;
  w.SaveToFile(Path("a.jpg"));
  TImageIO io;
  io.SetAutoAdjustDPI(true);
  io.LoadFromFile(Path("a.jpg"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().DpiY, 100);
  EXPECT_EQ(io.Params().Height, 40);
  EXPECT_EQ(io.ImageBitmap()->Height(), 40);
  EXPECT_EQ(io.ImageBitmap()->Width(), 40);
}

}  // namespace
}  // namespace lumaprep
