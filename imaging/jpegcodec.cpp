// JPEG on libjpeg-turbo (libjpeg 6b interface). Reads baseline, extended, progressive and
// arithmetic-coded files in grey, RGB, YCbCr, CMYK and YCCK; writes grey, RGB, YCbCr, CMYK and
// YCCK. The library gives and takes blue-green-red rows directly (JCS_EXT_BGR), so no byte
// exchange is needed for RGB-coded files. CMYK samples are handled as Adobe software stores
// them (255 = no ink).
//
// libjpeg reports errors by longjmp: every library call that can fail runs inside a small shim
// that holds the setjmp and only trivially destructible locals, and returns false on an error.
// Reading turns that into the abort flag, writing into EImageJpegException.
#include "imaging/jpegcodec.h"

#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "imaging/bytereader.h"

namespace lumaprep {

TJpegExifReader JpegExifReader = nullptr;
TJpegExifWriter JpegExifWriter = nullptr;
int64_t JpegMaxMemory = int64_t(1) << 30;

namespace {

constexpr size_t kIoBlock = 65536;
constexpr int kStartSearch = 100;  // the SOI must begin within this many bytes
constexpr int kMaxScans = 1000;    // more scans than any encoder writes: a decoding-time bomb
constexpr uint8_t kApp0 = 0xE0;
constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kApp2 = 0xE2;
constexpr uint8_t kApp13 = 0xED;
constexpr uint8_t kApp14 = 0xEE;
constexpr uint8_t kCom = 0xFE;
constexpr char kIccSignature[] = "ICC_PROFILE";  // and its zero byte: 12 bytes
constexpr size_t kIccHeader = 14;                // signature, sequence number, chunk count
constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";  // and its zero byte: 29
constexpr size_t kXmpCompared = 24;
constexpr size_t kXmpMinPayload = 30;

// ---- error manager ------------------------------------------------------------------------

struct ErrorMgr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  bool* aborting;
  int warnings;
  int lastWarning;
};

void errorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  if (err->aborting) *err->aborting = true;
  std::longjmp(err->jump, 1);
}

void emitMessage(j_common_ptr cinfo, int level) {
  auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  if (level < 0) {
    ++err->warnings;
    err->lastWarning = err->pub.msg_code;
  }
}

void outputMessage(j_common_ptr) {}

void formatMessage(j_common_ptr, char* buffer) {
  if (buffer) buffer[0] = '\0';
}

void resetErrorMgr(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
  err->warnings = 0;
  err->pub.num_warnings = 0;
  err->pub.msg_code = 0;
}

void initErrorMgr(ErrorMgr& err, bool* aborting) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = errorExit;
  err.pub.emit_message = emitMessage;
  err.pub.output_message = outputMessage;
  err.pub.format_message = formatMessage;
  err.pub.reset_error_mgr = resetErrorMgr;
  err.aborting = aborting;
  err.warnings = 0;
  err.lastWarning = 0;
}

// The library's text for the last message, every printf placeholder written as "?".
std::string messageText(const jpeg_error_mgr& err) {
  const int code = err.msg_code;
  const char* fmt = nullptr;
  if (code > 0 && code <= err.last_jpeg_message && err.jpeg_message_table)
    fmt = err.jpeg_message_table[code];
  if (!fmt) return "Corrupted";
  std::string out;
  for (const char* p = fmt; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += '%';
      ++p;
      continue;
    }
    ++p;
    while (*p && std::strchr("-+ #0123456789.lhz", *p)) ++p;
    out += '?';
    if (!*p) break;
  }
  return out;
}

// Too many scans make a tiny file take minutes to decode.
void progressMonitor(j_common_ptr cinfo) {
  if (cinfo->is_decompressor) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxScans) ERREXIT(cinfo, JERR_NOT_COMPILED);
  }
}

// ---- source manager -----------------------------------------------------------------------

struct SourceMgr {
  jpeg_source_mgr pub;
  Stream* stream;
  bool* aborting;
  bool startOfFile;
  std::unique_ptr<JOCTET[]> buffer;
};

const JOCTET kFakeEoi[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr cinfo) {
  reinterpret_cast<SourceMgr*>(cinfo->src)->startOfFile = true;
}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<SourceMgr*>(cinfo->src);
  size_t n = src->stream->Read(src->buffer.get(), kIoBlock);
  if (n == 0) {
    // The data ended: an end-of-image marker lets the library finish what it has.
    if (src->startOfFile && src->aborting) *src->aborting = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->pub.next_input_byte = kFakeEoi;
    src->pub.bytes_in_buffer = 2;
  } else {
    src->pub.next_input_byte = src->buffer.get();
    src->pub.bytes_in_buffer = n;
  }
  src->startOfFile = false;
  return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<SourceMgr*>(cinfo->src);
  if (count <= 0) return;
  while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
    count -= static_cast<long>(src->pub.bytes_in_buffer);
    fillInputBuffer(cinfo);
  }
  src->pub.next_input_byte += count;
  src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void termSource(j_decompress_ptr) {}

// ---- destination manager ------------------------------------------------------------------

struct DestMgr {
  jpeg_destination_mgr pub;
  Stream* stream;
  bool* aborting;
  std::unique_ptr<JOCTET[]> buffer;
};

void initDestination(j_compress_ptr cinfo) {
  auto* dst = reinterpret_cast<DestMgr*>(cinfo->dest);
  dst->pub.next_output_byte = dst->buffer.get();
  dst->pub.free_in_buffer = kIoBlock;
}

void writeOut(DestMgr* dst, size_t count) {
  if (count == 0) return;
  // A stream that takes less than it is given (disk full) fails the write; it goes on.
  if (dst->stream->Write(dst->buffer.get(), count) != count && dst->aborting) *dst->aborting = true;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dst = reinterpret_cast<DestMgr*>(cinfo->dest);
  writeOut(dst, kIoBlock);
  dst->pub.next_output_byte = dst->buffer.get();
  dst->pub.free_in_buffer = kIoBlock;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  auto* dst = reinterpret_cast<DestMgr*>(cinfo->dest);
  writeOut(dst, kIoBlock - dst->pub.free_in_buffer);
}

// ---- setjmp shims: only trivially destructible locals -------------------------------------

ErrorMgr& errOf(j_common_ptr c) { return *reinterpret_cast<ErrorMgr*>(c->err); }

bool createDecompress(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_create_decompress(c);
  return true;
}

bool readHeader(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  for (int m = 0; m < 16; ++m) jpeg_save_markers(c, JPEG_APP0 + m, 0xFFFF);
  jpeg_save_markers(c, JPEG_COM, 0xFFFF);
  return jpeg_read_header(c, TRUE) == JPEG_HEADER_OK;
}

// An abbreviated tables-only stream: errors here are not the image's.
bool readTables(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  return jpeg_read_header(c, FALSE) == JPEG_HEADER_TABLES_ONLY;
}

bool calcOutputDimensions(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_calc_output_dimensions(c);
  return true;
}

bool startDecompress(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  return jpeg_start_decompress(c) == TRUE;
}

bool readScanline(jpeg_decompress_struct* c, JSAMPLE* row, JDIMENSION* got) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  JSAMPROW rows[1] = {row};
  *got = jpeg_read_scanlines(c, rows, 1);
  return true;
}

bool finishDecompress(jpeg_decompress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_finish_decompress(c);
  return true;
}

bool createCompress(jpeg_compress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_create_compress(c);
  return true;
}

struct CompressSettings {
  J_COLOR_SPACE inSpace;
  int inComponents;
  J_COLOR_SPACE outSpace;
  bool jfifForCmyk;
  UINT16 dpiX, dpiY;
  J_DCT_METHOD dct;
  bool optimize;
  int smoothing;
  int quality;
  bool progressive;
};

bool setupCompress(jpeg_compress_struct* c, const CompressSettings* s) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  c->input_components = s->inComponents;
  c->in_color_space = s->inSpace;
  jpeg_set_defaults(c);
  jpeg_set_colorspace(c, s->outSpace);
  if (s->jfifForCmyk) c->write_JFIF_header = TRUE;
  c->density_unit = 1;
  c->X_density = s->dpiX;
  c->Y_density = s->dpiY;
  c->dct_method = s->dct;
  c->optimize_coding = s->optimize ? TRUE : FALSE;
  c->smoothing_factor = s->smoothing;
  jpeg_set_quality(c, s->quality, TRUE);
  if (s->progressive) jpeg_simple_progression(c);
  jpeg_start_compress(c, TRUE);
  return true;
}

bool writeMarker(jpeg_compress_struct* c, int code, const JOCTET* data, unsigned len) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_write_marker(c, code, data, len);
  return true;
}

bool writeScanline(jpeg_compress_struct* c, JSAMPLE* row) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  JSAMPROW rows[1] = {row};
  jpeg_write_scanlines(c, rows, 1);
  return true;
}

bool finishCompress(jpeg_compress_struct* c) {
  if (setjmp(errOf(reinterpret_cast<j_common_ptr>(c)).jump)) return false;
  jpeg_finish_compress(c);
  return true;
}

// ---- helpers ------------------------------------------------------------------------------

bool startsWith(const std::vector<uint8_t>& data, const void* prefix, size_t n) {
  return data.size() >= n && std::memcmp(data.data(), prefix, n) == 0;
}

bool isExifPayload(const std::vector<uint8_t>& d) { return startsWith(d, "Exif", 4); }

bool isXmpPayload(const std::vector<uint8_t>& d) {
  return d.size() >= kXmpMinPayload && startsWith(d, kXmpSignature, kXmpCompared);
}

// Joins ICC chunks (sequence number from 1, chunk count) once all have arrived.
class IccCollector {
 public:
  // Returns true when the profile is complete.
  bool add(const uint8_t* payload, size_t size) {
    if (size < kIccHeader || std::memcmp(payload, kIccSignature, sizeof(kIccSignature)) != 0)
      return false;
    const int seq = payload[12];
    const int count = payload[13];
    if (seq < 1 || count < 1 || seq > count) return false;
    if (m_count == 0) {
      m_count = count;
      m_chunks.assign(count, {});
      m_have.assign(count, false);
    }
    if (count != m_count || m_have[seq - 1]) return false;
    m_chunks[seq - 1].assign(payload + kIccHeader, payload + size);
    m_have[seq - 1] = true;
    ++m_arrived;
    return m_arrived == m_count;
  }
  TImageICC join() const {
    TImageICC out;
    for (const auto& c : m_chunks) out.insert(out.end(), c.begin(), c.end());
    return out;
  }

 private:
  int m_count = 0;
  int m_arrived = 0;
  std::vector<std::vector<uint8_t>> m_chunks;
  std::vector<bool> m_have;
};

J_COLOR_SPACE targetSpace(uint8_t colorSpace) {
  switch (colorSpace) {
    case 1:
      return JCS_GRAYSCALE;
    case 2:
      return JCS_YCbCr;
    case 3:
      return JCS_CMYK;
    case 4:
      return JCS_YCCK;
    default:
      return JCS_RGB;
  }
}

J_DCT_METHOD dctMethod(uint8_t m) {
  switch (m) {
    case 1:
      return JDCT_IFAST;
    case 2:
      return JDCT_FLOAT;
    default:
      return JDCT_ISLOW;
  }
}

// Frees the decompressor (and its saved markers) on every way out.
struct DecompressGuard {
  jpeg_decompress_struct* c;
  bool created = false;
  ~DecompressGuard() {
    if (created) jpeg_destroy_decompress(c);
  }
};

struct CompressGuard {
  jpeg_compress_struct* c;
  bool created = false;
  ~CompressGuard() {
    if (created) jpeg_destroy_compress(c);
  }
};

// Turns the buffer upright by an EXIF orientation: 2 mirror, 3 half turn, 4 flip, 5 transpose,
// 6 quarter turn clockwise, 7 transverse, 8 quarter turn anticlockwise. Byte-aligned formats.
void applyOrientation(TImageBitmap& bmp, int orientation) {
  if (orientation < 2 || orientation > 8 || bmp.IsEmpty() || bmp.BitCount() % 8 != 0) return;
  const int w = bmp.Width(), h = bmp.Height();
  const int bpp = bmp.BitCount() / 8;
  const bool swap = orientation >= 5;
  TImageBitmap out;
  out.SetLocation(imMemory);
  out.Allocate(swap ? h : w, swap ? w : h, bmp.PixelFormat());
  for (int i = 0; i < bmp.PaletteLength(); ++i) out.SetPalette(i, bmp.GetPalette(i));
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = bmp.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      int dx = x, dy = y;
      switch (orientation) {
        case 2:
          dx = w - 1 - x;
          break;
        case 3:
          dx = w - 1 - x;
          dy = h - 1 - y;
          break;
        case 4:
          dy = h - 1 - y;
          break;
        case 5:
          dx = y;
          dy = x;
          break;
        case 6:
          dx = h - 1 - y;
          dy = x;
          break;
        case 7:
          dx = h - 1 - y;
          dy = w - 1 - x;
          break;
        case 8:
          dx = y;
          dy = w - 1 - x;
          break;
      }
      std::memcpy(out.ScanLine(dy) + size_t(dx) * bpp, src + size_t(x) * bpp, bpp);
    }
  }
  bmp.Assign(out);
}

void readMetadata(TIOParamsVals& params, int jfifX, int jfifY, TImageBitmap* decoded) {
  const TImageMarkerList& markers = params.JPEG_MarkerList;
  const int app13 = markers.IndexOf(kApp13);
  if (app13 >= 0) {
    const auto& d = markers.MarkerData(app13);
    params.IPTC_Info.LoadFromStandardBuffer(d.data(), d.size());
  }
  const int app1 = markers.IndexOf(kApp1);
  if (app1 >= 0 && isExifPayload(markers.MarkerData(app1)) && JpegExifReader) {
    const auto& d = markers.MarkerData(app1);
    if (d.size() > 6 && JpegExifReader(d.data() + 6, d.size() - 6, params)) {
      params.EXIF_HasEXIFData = true;
      if (jfifX == 1 && jfifY == 1) {
        const double f = params.EXIF_ResolutionUnit == 3 ? 2.54 : 1.0;
        const double x = params.EXIF_XResolution * f;
        const double y = params.EXIF_YResolution * f;
        // Values from the file: keep them inside int32 before truncating.
        if (x > 0 && x < 1e6) params.DpiX = static_cast<int32_t>(x);
        if (y > 0 && y < 1e6) params.DpiY = static_cast<int32_t>(y);
      }
      if (params.JPEG_EnableAdjustOrientation && decoded) {
        applyOrientation(*decoded, params.EXIF_Orientation);
        params.Width = decoded->Width();
        params.Height = decoded->Height();
      }
    }
  }
  for (int i = 0; i < markers.Count(); ++i) {
    if (markers.MarkerType(i) != kApp1 || !isXmpPayload(markers.MarkerData(i))) continue;
    const auto& d = markers.MarkerData(i);
    params.XMP_Info.assign(reinterpret_cast<const char*>(d.data()) + sizeof(kXmpSignature),
                           d.size() - sizeof(kXmpSignature));
    break;
  }
}

}  // namespace

// ---- public helpers -----------------------------------------------------------------------

int64_t FindJPEGStart(Stream& stream) {
  const int64_t pos = stream.Position();
  uint8_t buf[kStartSearch + 2];
  const size_t n = stream.Read(buf, sizeof(buf));
  stream.Seek(pos);
  for (size_t i = 0; i + 2 < n && i < static_cast<size_t>(kStartSearch); ++i)
    if (buf[i] == 0xFF && buf[i + 1] == 0xD8 && buf[i + 2] == 0xFF) return pos + int64_t(i);
  return -1;
}

bool JpegTryStream(Stream& stream) { return FindJPEGStart(stream) >= 0; }

TImageICC JpegReadICC(Stream& stream) {
  const int64_t pos = stream.Position();
  IccCollector icc;
  TImageICC result;
  uint8_t b[4];
  auto readByte = [&](uint8_t& v) { return stream.Read(&v, 1) == 1; };
  if (stream.Read(b, 2) == 2 && b[0] == 0xFF && b[1] == 0xD8) {
    std::vector<uint8_t> payload;
    for (;;) {
      uint8_t v = 0;
      // Skip to the next marker (fill bytes 0xFF allowed).
      if (!readByte(v)) break;
      if (v != 0xFF) continue;
      uint8_t code = 0xFF;
      while (code == 0xFF)
        if (!readByte(code)) break;
      if (code == 0xFF || code == 0x00) continue;
      if (code == 0xD9) break;  // EOI
      const bool sof = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
      if (sof) break;
      if (code == 0x01 || (code >= 0xD0 && code <= 0xD8)) continue;  // no payload
      if (stream.Read(b, 2) != 2) break;
      const size_t len = (size_t(b[0]) << 8) | b[1];
      if (len < 2) break;
      if (code == kApp2) {
        payload.resize(len - 2);
        if (stream.Read(payload.data(), payload.size()) != payload.size()) break;
        if (icc.add(payload.data(), payload.size())) {
          result = icc.join();
          break;
        }
      } else {
        stream.Skip(static_cast<int64_t>(len - 2));
      }
    }
  }
  stream.Seek(pos);
  return result;
}

void JpegPrepareMarkers(TIOParamsVals& params) {
  TImageMarkerList& markers = params.JPEG_MarkerList;
  // IPTC: rebuilt when the application changed it, or when records exist without markers.
  if (params.IPTC_Info.Changed() || (params.IPTC_Info.Count() > 0 && markers.Count() == 0)) {
    const std::vector<uint8_t> block = params.IPTC_Info.SaveToStandardBuffer();
    const int i = markers.IndexOf(kApp13);
    if (!block.empty()) {
      if (i >= 0)
        markers.SetMarker(i, kApp13, block.data(), block.size());
      else
        markers.AddMarker(kApp13, block);
    } else if (i >= 0) {
      markers.DeleteMarker(i);
    }
  }
  // EXIF: rebuilt from the fields when the TIFF container can write it.
  if (params.EXIF_HasEXIFData && JpegExifWriter) {
    std::vector<uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
    const std::vector<uint8_t> tiff = JpegExifWriter(params);
    if (!tiff.empty() && payload.size() + tiff.size() <= TImageMarkerList::kMaxPayload) {
      payload.insert(payload.end(), tiff.begin(), tiff.end());
      for (int i = 0; i < markers.Count(); ++i) {
        if (markers.MarkerType(i) == kApp1 && isExifPayload(markers.MarkerData(i))) {
          markers.DeleteMarker(i);
          break;
        }
      }
      markers.AddMarker(kApp1, payload);
    }
  }
  // XMP: the signature with its zero byte, then the packet.
  if (!params.XMP_Info.empty()) {
    std::vector<uint8_t> payload(kXmpSignature, kXmpSignature + sizeof(kXmpSignature));
    payload.insert(payload.end(), params.XMP_Info.begin(), params.XMP_Info.end());
    if (payload.size() <= TImageMarkerList::kMaxPayload) {
      for (int i = 0; i < markers.Count(); ++i) {
        if (markers.MarkerType(i) == kApp1 && isXmpPayload(markers.MarkerData(i))) {
          markers.DeleteMarker(i);
          break;
        }
      }
      markers.AddMarker(kApp1, payload);
    }
  }
}

// ---- reading ------------------------------------------------------------------------------

void JPEGReadStream(Stream& stream, Stream* tables, TImageBitmap& bitmap, int maxRows, bool readICC,
                    bool /*dropICCMarkers*/, bool invertCMYK, bool readMeta, bool rawColor,
                    bool paramsOnly, TProgressRec& progress, TIOParamsVals& params) {
  bool localAbort = false;
  bool* aborting = progress.Aborting ? progress.Aborting : &localAbort;
  auto fail = [&] { *aborting = true; };

  // The EXIF thumbnail instead of the image, when there is one (it comes with the EXIF block).
  if (params.JPEG_GetExifThumbnail && readMeta) {
    const int64_t pos = stream.Position();
    const int32_t width = params.Width, height = params.Height;
    params.EXIF_Bitmap.reset();
    params.JPEG_GetExifThumbnail = false;
    TImageBitmap scratch;
    JPEGReadStream(stream, tables, scratch, maxRows, readICC, false, invertCMYK, true, rawColor,
                   true, progress, params);
    params.JPEG_GetExifThumbnail = true;
    if (!params.EXIF_Bitmap.IsEmpty()) {
      bitmap.Assign(*params.EXIF_Bitmap);
      params.Width = bitmap.Width();
      params.Height = bitmap.Height();
      return;
    }
    params.Width = width;
    params.Height = height;
    stream.Seek(pos);
  }

  params.JPEG_WarningCount = 0;
  params.JPEG_LastWarning = 0;

  const int64_t start = FindJPEGStart(stream);
  if (start < 0) {
    fail();
    return;
  }
  stream.Seek(start);
  if (readICC) {
    params.InputICC = JpegReadICC(stream);
    stream.Seek(start);
  }

  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof(cinfo));
  ErrorMgr err;
  initErrorMgr(err, aborting);
  cinfo.err = &err.pub;
  DecompressGuard guard{&cinfo};
  if (!createDecompress(&cinfo)) {
    fail();
    return;
  }
  guard.created = true;
  cinfo.mem->max_memory_to_use = static_cast<long>(JpegMaxMemory);
  jpeg_progress_mgr monitor;
  std::memset(&monitor, 0, sizeof(monitor));
  monitor.progress_monitor = progressMonitor;
  cinfo.progress = &monitor;

  SourceMgr src;
  std::memset(&src.pub, 0, sizeof(src.pub));
  src.stream = &stream;
  src.aborting = aborting;
  src.startOfFile = true;
  src.buffer.reset(new JOCTET[kIoBlock]);
  src.pub.init_source = initSource;
  src.pub.fill_input_buffer = fillInputBuffer;
  src.pub.skip_input_data = skipInputData;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = termSource;
  cinfo.src = &src.pub;

  // A tables-only stream first (JPEG-compressed TIFF strips).
  if (tables && tables != &stream) {
    SourceMgr tsrc = {};
    tsrc.pub = src.pub;
    tsrc.stream = tables;
    tsrc.aborting = nullptr;
    tsrc.startOfFile = true;
    tsrc.buffer.reset(new JOCTET[kIoBlock]);
    tsrc.pub.next_input_byte = nullptr;
    tsrc.pub.bytes_in_buffer = 0;
    cinfo.src = &tsrc.pub;
    err.aborting = nullptr;
    const bool tablesOk = readTables(&cinfo);
    err.aborting = aborting;
    if (!tablesOk) {
      fail();
      return;
    }
    cinfo.src = &src.pub;
    src.pub.next_input_byte = nullptr;
    src.pub.bytes_in_buffer = 0;
  }

  bool ok = !*aborting && readHeader(&cinfo);
  bool decoded = false;
  int jfifX = 0, jfifY = 0;
  if (ok) {
    params.BitsPerSample = 8;
    bool knownSpace = true;
    switch (cinfo.jpeg_color_space) {
      case JCS_GRAYSCALE:
        params.JPEG_ColorSpace = 1;
        params.SamplesPerPixel = 1;
        cinfo.out_color_space = JCS_GRAYSCALE;
        break;
      case JCS_RGB:
        params.JPEG_ColorSpace = 0;
        params.SamplesPerPixel = 3;
        cinfo.out_color_space = JCS_EXT_BGR;
        break;
      case JCS_YCbCr:
        params.JPEG_ColorSpace = 2;
        params.SamplesPerPixel = 3;
        cinfo.out_color_space = JCS_EXT_BGR;
        break;
      case JCS_CMYK:
        params.JPEG_ColorSpace = 3;
        params.SamplesPerPixel = 4;
        cinfo.out_color_space = JCS_CMYK;
        break;
      case JCS_YCCK:
        params.JPEG_ColorSpace = 4;
        params.SamplesPerPixel = 4;
        cinfo.out_color_space = JCS_CMYK;
        break;
      default:
        // Component counts the library cannot map (2, 5 ...): nothing we can show.
        knownSpace = false;
        break;
    }
    cinfo.dct_method = dctMethod(params.JPEG_DCTMethod);
    jfifX = cinfo.X_density;
    jfifY = cinfo.Y_density;
    if (cinfo.density_unit == 2) {
      params.DpiX = static_cast<int32_t>(cinfo.X_density * 2.54);
      params.DpiY = static_cast<int32_t>(cinfo.Y_density * 2.54);
    } else {
      params.DpiX = cinfo.X_density;
      params.DpiY = cinfo.Y_density;
    }
    params.FreeColorMap();
    params.JPEG_Progressive = cinfo.progressive_mode != 0;
    params.JPEG_FullWidth = static_cast<int32_t>(cinfo.image_width);
    params.JPEG_FullHeight = static_cast<int32_t>(cinfo.image_height);

    int denom = 1;
    switch (params.JPEG_Scale) {
      case 2:
        denom = 2;
        break;
      case 3:
        denom = 4;
        break;
      case 4:
        denom = 8;
        break;
      case 0:
        if (params.Width > 0 && params.Height > 0) {
          for (int d : {8, 4, 2, 1}) {
            if (int64_t(cinfo.image_width) / d >= params.Width &&
                int64_t(cinfo.image_height) / d >= params.Height) {
              denom = d;
              break;
            }
          }
        }
        break;
      default:
        break;
    }
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned>(denom);
    params.JPEG_ScaleUsed = denom;

    if (paramsOnly) {
      params.Width = params.JPEG_FullWidth;
      params.Height = params.JPEG_FullHeight;
    } else if (!knownSpace) {
      fail();
    } else if (!calcOutputDimensions(&cinfo) ||
               !ImageSizeOk(cinfo.output_width, cinfo.output_height, 32) ||
               !startDecompress(&cinfo)) {
      fail();
    } else {
      const int w = static_cast<int>(cinfo.output_width);
      const int h = static_cast<int>(cinfo.output_height);
      params.Width = w;
      params.Height = h;
      const bool grey = cinfo.out_color_space == JCS_GRAYSCALE;
      const bool cmyk = cinfo.out_color_space == JCS_CMYK;
      TImagePixelFormat format = im24RGB;
      if (params.IsNativePixelFormat) format = grey ? im8g : cmyk ? imCMYK : im24RGB;
      bool allocated = false;
      try {
        bitmap.Allocate(w, h, format);
        allocated = !bitmap.IsEmpty() && bitmap.Width() == w && bitmap.Height() == h;
      } catch (const std::length_error&) {
      } catch (const std::bad_alloc&) {
      }
      const TImagePixelFormat got = allocated ? bitmap.PixelFormat() : imNone;
      // The buffer may hold another format than asked (imTBitmap has no im8g etc.).
      const bool direct =
          (got == im24RGB && !grey && !cmyk) || (got == im8g && grey) || (got == imCMYK && cmyk);
      if (!allocated || (!direct && got != im24RGB)) {
        fail();
      } else {
        std::vector<JSAMPLE> row(direct ? 0 : size_t(w) * 4);
        const int limit = maxRows < 0 ? h : std::min(maxRows, h);
        const double per = h > 0 ? 100.0 / h : 0;
        int done = 0;
        while (done < limit && cinfo.output_scanline < cinfo.output_height) {
          uint8_t* line = bitmap.ScanLine(done);
          if (!line) break;
          JDIMENSION got = 0;
          if (!readScanline(&cinfo, direct ? line : row.data(), &got) || got != 1) break;
          if (!direct) {
            uint8_t* out = bitmap.ScanLine(done);
            const JSAMPLE* in = row.data();
            if (grey) {
              for (int x = 0; x < w; ++x, out += 3) out[0] = out[1] = out[2] = in[x];
            } else {
              // Adobe CMYK (255 = no ink): red = C*K/255, green = M*K/255, blue = Y*K/255.
              for (int x = 0; x < w; ++x, in += 4, out += 3) {
                int c = in[0], m = in[1], y = in[2], k = in[3];
                if (invertCMYK) {
                  c = 255 - c;
                  m = 255 - m;
                  y = 255 - y;
                  k = 255 - k;
                }
                out[2] = static_cast<uint8_t>(c * k / 255);
                out[1] = static_cast<uint8_t>(m * k / 255);
                out[0] = static_cast<uint8_t>(y * k / 255);
              }
            }
          } else if (cmyk && invertCMYK) {
            for (int i = 0; i < w * 4; ++i) line[i] = static_cast<uint8_t>(255 - line[i]);
          }
          ++done;
          if (progress.fOnProgress) progress.Progress(static_cast<int>(done * per));
          if (*aborting) break;
        }
        if (done < limit) fail();
        decoded = true;
      }
    }
  } else {
    fail();
  }

  // Every saved marker in file order, without the first APP0 (the JFIF header: the writer
  // makes its own).
  params.JPEG_MarkerList.Clear();
  bool skippedApp0 = false;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
    if (m->marker == kApp0 && !skippedApp0) {
      skippedApp0 = true;
      continue;
    }
    if ((m->marker >= kApp0 && m->marker <= 0xEF) || m->marker == kCom)
      params.JPEG_MarkerList.AddMarker(static_cast<uint8_t>(m->marker), m->data, m->data_length);
  }

  if (decoded && !*aborting && !paramsOnly) {
    // Errors while finishing (trailing garbage) do not spoil the image already decoded.
    bool* saved = err.aborting;
    err.aborting = nullptr;
    finishDecompress(&cinfo);
    err.aborting = saved;
  }
  if (err.warnings > 0) {
    params.JPEG_WarningCount = err.warnings;
    params.JPEG_LastWarning = err.lastWarning;
  }
  if (readMeta && ok) readMetadata(params, jfifX, jfifY, decoded ? &bitmap : nullptr);
}

void JpegReadStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                    TProgressRec& progress) {
  JPEGReadStream(stream, nullptr, bitmap, -1, true, true, false, true, false, paramsOnly, progress,
                 params);
}

// ---- writing ------------------------------------------------------------------------------

void JPEGWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                     TProgressRec& progress) {
  bool localAbort = false;
  bool* aborting = progress.Aborting ? progress.Aborting : &localAbort;

  TImageBitmap* source = &bitmap;
  std::unique_ptr<TImageBitmap> copy;
  if (bitmap.PixelFormat() != im24RGB && !bitmap.IsEmpty()) {
    copy = std::make_unique<TImageBitmap>();
    copy->SetLocation(imMemory);
    copy->Assign(bitmap);
    copy->SetPixelFormat(im24RGB);
    source = copy.get();
  }
  const int w = source->Width();
  const int h = source->Height();
  if (w <= 0 || h <= 0 || source->PixelFormat() != im24RGB) {
    *aborting = true;
    return;
  }

  jpeg_compress_struct cinfo;
  std::memset(&cinfo, 0, sizeof(cinfo));
  ErrorMgr err;
  initErrorMgr(err, aborting);
  cinfo.err = &err.pub;
  CompressGuard guard{&cinfo};
  auto raise = [&]() {
    // Texts first: destroying the compressor does not touch the error record.
    throw EImageJpegException(messageText(err.pub));
  };
  if (!createCompress(&cinfo)) raise();
  guard.created = true;

  DestMgr dst;
  std::memset(&dst.pub, 0, sizeof(dst.pub));
  dst.stream = &stream;
  dst.aborting = aborting;
  dst.buffer.reset(new JOCTET[kIoBlock]);
  dst.pub.init_destination = initDestination;
  dst.pub.empty_output_buffer = emptyOutputBuffer;
  dst.pub.term_destination = termDestination;
  cinfo.dest = &dst.pub;
  cinfo.image_width = static_cast<JDIMENSION>(w);
  cinfo.image_height = static_cast<JDIMENSION>(h);

  const bool cmykIn = params.JPEG_ColorSpace == 3 || params.JPEG_ColorSpace == 4;
  CompressSettings s{};
  s.inSpace = cmykIn ? JCS_CMYK : JCS_EXT_BGR;
  s.inComponents = cmykIn ? 4 : 3;
  s.outSpace = targetSpace(params.JPEG_ColorSpace);
  s.jfifForCmyk = params.JPEG_ColorSpace == 3;
  auto density = [](int32_t dpi) -> UINT16 {
    if (dpi == 0) dpi = ImageSettings().DefaultDpiX;
    return static_cast<UINT16>(std::clamp<int32_t>(dpi, 1, 65535));
  };
  s.dpiX = density(params.DpiX);
  s.dpiY = density(params.DpiY);
  s.dct = dctMethod(params.JPEG_DCTMethod);
  s.optimize = params.JPEG_OptimizeCoding;
  s.smoothing = std::clamp<int32_t>(params.JPEG_Smoothing, 0, 100);
  s.quality = std::clamp<int32_t>(params.JPEG_Quality, 0, 100);
  s.progressive = params.JPEG_Progressive;
  if (!setupCompress(&cinfo, &s)) raise();

  params.JPEG_MarkerList.SortMarkers();
  for (int i = 0; i < params.JPEG_MarkerList.Count(); ++i) {
    const uint8_t type = params.JPEG_MarkerList.MarkerType(i);
    if (type == kApp14) continue;  // the library writes its own Adobe marker when needed
    const auto& d = params.JPEG_MarkerList.MarkerData(i);
    if (!writeMarker(&cinfo, type, d.data(), static_cast<unsigned>(d.size()))) raise();
  }

  std::vector<JSAMPLE> row(cmykIn ? size_t(w) * 4 : 0);
  const double per = 100.0 / h;
  int done = 0;
  for (; done < h; ++done) {
    uint8_t* line = source->ScanLine(done);
    if (!line) break;
    JSAMPLE* in = line;
    if (cmykIn) {
      // Stored as Adobe software does (255 = no ink): K = max(R, G, B), C = R*255/K ...
      const uint8_t* p = line;
      JSAMPLE* q = row.data();
      for (int x = 0; x < w; ++x, p += 3, q += 4) {
        const int r = p[2], g = p[1], b = p[0];
        int k = std::max({r, g, b});
        if (k == 0) k = 1;
        q[0] = static_cast<JSAMPLE>(r * 255 / k);
        q[1] = static_cast<JSAMPLE>(g * 255 / k);
        q[2] = static_cast<JSAMPLE>(b * 255 / k);
        q[3] = static_cast<JSAMPLE>(k);
      }
      in = row.data();
    }
    if (!writeScanline(&cinfo, in)) raise();
    if (progress.fOnProgress) progress.Progress(static_cast<int>((done + 1) * per));
    if (*aborting) break;
  }
  if (!*aborting && done == h) {
    if (!finishCompress(&cinfo)) raise();
  } else {
    *aborting = true;
  }
}

void JpegWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                     TProgressRec& progress) {
  JPEGWriteStream(stream, bitmap, params, progress);
}

}  // namespace lumaprep
