// Windows and OS/2 bitmaps.
//
// Reading: the 14-byte file header (or none: a packed DIB), info headers of 12 bytes (OS/2
// 1.x), 40 (Windows 3.x), 52/56 (with masks), 64 (OS/2 2.x), 108 (V4) and 124 (V5) bytes and
// any other size of at least 16 (read as the 40-byte layout); 1, 2, 4 and 8 bits through the
// colour table, RLE8 and RLE4, 16 and 32 bits with or without bit-field masks (alpha masks
// included), 24 bits; bottom-up and top-down rows.
// Writing: 1, 4, 8 (uncompressed or RLE), 24 and 32 bits, with the 12, 40 or 64-byte header.
#include "codecs/bmpcodec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "codecs/quantizer.h"
#include "imaging/bytereader.h"

namespace lumaprep {
namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;   // OS/2 1.x
constexpr uint32_t kInfoHeaderSize = 40;   // Windows 3.x
constexpr uint32_t kOs2v2HeaderSize = 64;  // OS/2 2.x
constexpr uint32_t kV4HeaderSize = 108;
constexpr uint32_t kV5HeaderSize = 124;
constexpr size_t kParsedHeaderSize = 64;  // what we look at of larger headers

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
// The most pixel data an uncompressed file may lack and still be read as a cut file.
constexpr int64_t kMaxMissingPixelBytes = int64_t(64) << 20;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

constexpr uint8_t kVersionOther = 0;
constexpr uint8_t kVersionWin3 = 1;
constexpr uint8_t kVersionOs2v1 = 2;
constexpr uint8_t kVersionOs2v2 = 3;

void fail(TProgressRec& progress) { progress.Fail(); }

bool isKnownInfoHeaderSize(uint32_t size) {
  switch (size) {
    case kCoreHeaderSize:
    case kInfoHeaderSize:
    case 52:
    case 56:
    case kOs2v2HeaderSize:
    case kV4HeaderSize:
    case kV5HeaderSize:
      return true;
    default:
      return false;
  }
}

int dpiFromPixelsPerMetre(int64_t ppm) {
  // ppm / 100 x 2.54, to the nearest integer with halves to even (the default rounding mode).
  const double dpi = std::nearbyint(double(ppm) / 100.0 * 2.54);
  if (dpi <= 0 || dpi > 1e6) return kDefaultDpi;
  return int(dpi);
}

int32_t pixelsPerMetreFromDpi(int dpi) {
  const double ppm = std::nearbyint(double(dpi) / 2.54 * 100.0);
  if (ppm < 0) return 0;
  if (ppm > double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return int32_t(ppm);
}

// One colour channel of a bit-field pixel. Only the lowest run of set bits of a mask counts.
struct MaskChannel {
  uint32_t shift = 0;
  uint32_t bits = 0;  // 0: the channel is absent
  uint32_t max = 0;

  explicit MaskChannel(uint32_t mask = 0) {
    if (mask == 0) return;
    shift = uint32_t(std::countr_zero(mask));
    bits = uint32_t(std::countr_one(mask >> shift));
    max = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  }
  // Scaled to 0..255 so that the channel's maximum is 255 (a 5-bit 31 is 255, not 248).
  uint8_t operator()(uint32_t pixel) const {
    if (bits == 0) return 0;
    const uint32_t v = (pixel >> shift) & max;
    if (bits >= 8) return uint8_t(v >> (bits - 8));
    return uint8_t(v * 255 / max);
  }
};

struct BmpHeader {
  uint32_t fileSize = 0;
  uint32_t pixelOffset = 0;
  uint32_t headerSize = 0;
  int64_t width = 0;
  int64_t height = 0;
  bool topDown = false;
  uint32_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t imageSize = 0;
  int64_t ppmX = 0;
  int64_t ppmY = 0;
  uint32_t colorsUsed = 0;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  uint8_t version = kVersionWin3;
  std::vector<TRGB> colors;
};

// Reads the info header, the masks and the colour table at the stream's position.
bool parseInfoHeader(Stream& stream, BmpHeader& h) {
  uint8_t sizeBytes[4];
  if (!stream.ReadExact(sizeBytes, 4)) return false;
  h.headerSize = ByteReader(sizeBytes, 4).u32le();
  stream.Skip(-4);
  if (h.headerSize < kCoreHeaderSize || h.headerSize > uint64_t(stream.Remaining())) return false;
  if (h.headerSize != kCoreHeaderSize && h.headerSize < 16) return false;

  if (h.headerSize == kCoreHeaderSize) {
    uint8_t raw[kCoreHeaderSize];
    if (!stream.ReadExact(raw, sizeof raw)) return false;
    ByteReader r(raw, sizeof raw);
    r.skip(4);
    h.width = r.u16le();
    h.height = r.u16le();
    r.skip(2);  // planes
    h.bitCount = r.u16le();
    h.compression = kBiRgb;
    h.version = kVersionOs2v1;
    if (h.bitCount <= 8) {
      // OS/2 1.x: always the full table of 3-byte entries.
      const size_t count = size_t(1) << h.bitCount;
      std::vector<uint8_t> table(count * 3);
      if (!stream.ReadExact(table.data(), table.size())) return false;
      h.colors.resize(count);
      std::memcpy(h.colors.data(), table.data(), table.size());
    }
    return true;
  }

  uint8_t raw[kParsedHeaderSize] = {};
  const size_t take = std::min<size_t>(h.headerSize, kParsedHeaderSize);
  if (!stream.ReadExact(raw, take)) return false;
  if (h.headerSize > kParsedHeaderSize)
    stream.Skip(int64_t(h.headerSize) - int64_t(kParsedHeaderSize));
  ByteReader r(raw, sizeof raw);
  r.skip(4);
  const int32_t width = r.i32le();
  const int32_t height = r.i32le();
  r.skip(2);  // planes
  h.bitCount = r.u16le();
  h.compression = r.u32le();
  h.imageSize = r.u32le();
  h.ppmX = r.i32le();
  h.ppmY = r.i32le();
  h.colorsUsed = r.u32le();
  r.skip(4);  // important colours
  h.version = h.headerSize == kOs2v2HeaderSize  ? kVersionOs2v2
              : h.headerSize == kInfoHeaderSize ? kVersionWin3
                                                : kVersionOther;
  if (width < 0) return false;
  h.width = width;
  h.height = height;
  if (h.height < 0) {
    h.topDown = true;
    h.height = -h.height;
  }

  // Windows headers from 52 bytes on carry the masks themselves (the 64-byte OS/2 header has
  // other fields there); the 40-byte header is followed by them.
  const bool bitfields = h.compression == kBiBitfields || h.compression == kBiAlphaBitfields;
  if (h.headerSize >= 52 && h.headerSize != kOs2v2HeaderSize) {
    h.masks[0] = r.u32le();
    h.masks[1] = r.u32le();
    h.masks[2] = r.u32le();
    h.masks[3] = h.headerSize >= 56 ? r.u32le() : 0;
  } else if (bitfields) {
    const size_t n = h.compression == kBiAlphaBitfields ? 4 : 3;
    uint8_t m[16] = {};
    if (!stream.ReadExact(m, n * 4)) return false;
    ByteReader mr(m, sizeof m);
    for (size_t i = 0; i < n; ++i) h.masks[i] = mr.u32le();
  }

  // Writers put 0 here and mean "all 2^bits"; more than 256 entries is nonsense.
  uint32_t count = h.colorsUsed > 256 ? 0 : h.colorsUsed;
  if (count == 0 && h.bitCount <= 8) count = 1u << h.bitCount;
  if (count > 0) {
    std::vector<uint8_t> table(size_t(count) * 4);
    if (!stream.ReadExact(table.data(), table.size())) return false;
    h.colors.resize(count);
    for (uint32_t i = 0; i < count; ++i)
      h.colors[i] = TRGB{table[i * 4], table[i * 4 + 1], table[i * 4 + 2]};
  }
  return true;
}

bool supported(const BmpHeader& h) {
  switch (h.bitCount) {
    case 1:
    case 2:
      return h.compression == kBiRgb;
    case 4:
      return h.compression == kBiRgb || h.compression == kBiRle4;
    case 8:
      return h.compression == kBiRgb || h.compression == kBiRle8;
    case 16:
    case 32:
      return h.compression == kBiRgb || h.compression == kBiBitfields ||
             h.compression == kBiAlphaBitfields;
    case 24:
      return h.compression == kBiRgb;
    default:
      return false;
  }
}

// The decoding state shared by the row decoders.
class BmpDecoder {
 public:
  BmpDecoder(Stream& stream, TImageBitmap& bitmap, const BmpHeader& header, TProgressRec& progress,
             bool ignoreAlpha)
      : m_stream(stream),
        m_bitmap(bitmap),
        m_h(header),
        m_progress(progress),
        m_ignoreAlpha(ignoreAlpha) {
    m_width = int(header.width);
    m_height = int(header.height);
    m_palette = bitmap.PixelFormat() == im8p;
    for (size_t i = 0; i < 256; ++i)
      m_lut[i] = i < header.colors.size() ? header.colors[i] : TRGB{0, 0, 0};
  }

  // Returns false when the data was damaged (the caller sets the abort flag).
  bool Decode() {
    if (m_h.compression == kBiRle8 || m_h.compression == kBiRle4) return decodeRle();
    switch (m_h.bitCount) {
      case 1:
        return m_bitmap.PixelFormat() == im1g ? decodeRows(&BmpDecoder::rowMono)
                                              : decodeRows(&BmpDecoder::rowIndexed);
      case 2:
      case 4:
      case 8:
        return decodeRows(&BmpDecoder::rowIndexed);
      case 16:
      case 32:
        setupMasks();
        return decodeRows(&BmpDecoder::rowBitfields) && finishAlpha();
      case 24:
        return decodeRows(&BmpDecoder::rowRgb24);
    }
    return false;
  }

  // Set by the caller before Decode: bit pattern for 1-bit files stored white, black.
  bool invertMono = false;
  int64_t rleLength = 0;

 private:
  using RowFn = void (BmpDecoder::*)(const uint8_t* src, int destRow);

  int destRow(int64_t fileRow) const { return int(m_h.topDown ? fileRow : m_height - 1 - fileRow); }

  bool decodeRows(RowFn fn) {
    const int64_t rowLen = ImageRowLen(m_width, int(m_h.bitCount));
    std::vector<uint8_t> row(size_t(rowLen), 0);
    for (int r = 0; r < m_height; ++r) {
      m_progress.Progress(int(int64_t(r) * 100 / m_height));
      if (m_progress.Aborted()) return true;
      const size_t got = m_stream.Read(row.data(), row.size());
      if (got < row.size()) {
        // A short file: keep what was delivered, blank the rest.
        std::fill(row.begin() + got, row.end(), 0);
        if (got > 0) (this->*fn)(row.data(), destRow(r));
        blankRows(got > 0 ? r + 1 : r);
        return false;
      }
      (this->*fn)(row.data(), destRow(r));
    }
    return !m_badIndex;
  }

  // Rows never delivered by a short file get zeros rather than whatever the allocator left.
  void blankRows(int fromFileRow) {
    for (int r = fromFileRow; r < m_height; ++r) {
      uint8_t* d = m_bitmap.ScanLine(destRow(r));
      if (d) std::memset(d, 0, size_t(m_bitmap.RowLen()));
    }
  }

  uint8_t index(const uint8_t* src, int x) const {
    switch (m_h.bitCount) {
      case 8:
        return src[x];
      case 4:
        return (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
      case 2:
        return (src[x >> 2] >> (6 - 2 * (x & 3))) & 3;
      default:
        return (src[x >> 3] >> (7 - (x & 7))) & 1;
    }
  }

  void putIndex(uint8_t* d, int x, uint8_t i) {
    if (i >= m_h.colors.size()) m_badIndex = true;  // shown black
    if (m_palette)
      d[x] = i;
    else
      std::memcpy(d + 3 * x, &m_lut[i], 3);
  }

  void rowIndexed(const uint8_t* src, int dest) {
    uint8_t* d = m_bitmap.ScanLine(dest);
    for (int x = 0; x < m_width; ++x) putIndex(d, x, index(src, x));
  }

  void rowMono(const uint8_t* src, int dest) {
    uint8_t* d = m_bitmap.ScanLine(dest);
    const size_t n = (size_t(m_width) + 7) / 8;
    if (invertMono) {
      for (size_t i = 0; i < n; ++i) d[i] = uint8_t(~src[i]);
    } else {
      std::memcpy(d, src, n);
    }
  }

  void rowRgb24(const uint8_t* src, int dest) {
    std::memcpy(m_bitmap.ScanLine(dest), src, size_t(m_width) * 3);
  }

  void setupMasks() {
    uint32_t masks[4] = {m_h.masks[0], m_h.masks[1], m_h.masks[2], m_h.masks[3]};
    // Masks count only with bit-field compression (V4/V5 headers carry them for BI_RGB too,
    // where they are to be ignored).
    const bool haveMasks = m_h.compression != kBiRgb && (masks[0] | masks[1] | masks[2]) != 0;
    if (!haveMasks) {
      if (m_h.bitCount == 16) {
        masks[0] = 0x7C00;
        masks[1] = 0x03E0;
        masks[2] = 0x001F;
      } else {
        masks[0] = 0x00FF0000;
        masks[1] = 0x0000FF00;
        masks[2] = 0x000000FF;
      }
      masks[3] = 0;
    }
    // Without an alpha mask, the bits that no colour uses are alpha only when asked for
    // (writers commonly leave garbage or zeros there).
    if (masks[3] == 0 && !m_ignoreAlpha) {
      const uint32_t all = m_h.bitCount == 16 ? 0xFFFFu : 0xFFFFFFFFu;
      masks[3] = all & ~(masks[0] | masks[1] | masks[2]);
    }
    m_red = MaskChannel(masks[0]);
    m_green = MaskChannel(masks[1]);
    m_blue = MaskChannel(masks[2]);
    m_alphaMask = MaskChannel(masks[3]);
    m_standard32 = m_h.bitCount == 32 && masks[0] == 0x00FF0000 && masks[1] == 0x0000FF00 &&
                   masks[2] == 0x000000FF;
    if (m_alphaMask.bits > 0) {
      m_alpha = m_bitmap.AlphaChannel();
      m_alpha->SetFull(false);
    }
  }

  void rowBitfields(const uint8_t* src, int dest) {
    uint8_t* d = m_bitmap.ScanLine(dest);
    if (m_standard32) {
      for (int x = 0; x < m_width; ++x) {
        d[3 * x] = src[4 * x];
        d[3 * x + 1] = src[4 * x + 1];
        d[3 * x + 2] = src[4 * x + 2];
      }
    } else if (m_h.bitCount == 16) {
      for (int x = 0; x < m_width; ++x) {
        const uint32_t p = uint32_t(src[2 * x]) | (uint32_t(src[2 * x + 1]) << 8);
        d[3 * x] = m_blue(p);
        d[3 * x + 1] = m_green(p);
        d[3 * x + 2] = m_red(p);
      }
    } else {
      for (int x = 0; x < m_width; ++x) {
        const uint32_t p = ByteReader(src + 4 * x, 4).u32le();
        d[3 * x] = m_blue(p);
        d[3 * x + 1] = m_green(p);
        d[3 * x + 2] = m_red(p);
      }
    }
    if (m_alpha) {
      uint8_t* a = m_alpha->ScanLine(dest);
      const int bytes = m_h.bitCount / 8;
      for (int x = 0; x < m_width; ++x) {
        uint32_t p = 0;
        for (int k = bytes - 1; k >= 0; --k) p = (p << 8) | src[bytes * x + k];
        a[x] = m_alphaMask(p);
        m_anyNonZeroAlpha |= a[x] != 0;
        m_anyNonOpaqueAlpha |= a[x] != 255;
      }
    }
  }

  // An alpha channel that is all 0 or all 255 carries nothing: writers that do not know
  // alpha leave zeros there.
  bool finishAlpha() {
    if (!m_alpha) return !m_badIndex;
    if (!m_anyNonZeroAlpha || !m_anyNonOpaqueAlpha)
      m_bitmap.RemoveAlphaChannel(false);
    else
      m_alpha->SetFull(false);
    return true;
  }

  // RLE8 and RLE4. The buffer is filled with colour 0 first so that pixels skipped by deltas
  // and end-of-line codes are defined.
  bool decodeRle() {
    const bool rle4 = m_h.compression == kBiRle4;
    std::vector<uint8_t> data = m_stream.ReadRest(size_t(std::max<int64_t>(rleLength, 0)));
    ByteReader r(data);
    if (m_palette)
      m_bitmap.Fill(0);
    else
      m_bitmap.Fill(ColorValue(m_lut[0]));

    bool damaged = false;
    int64_t x = 0;
    int64_t y = 0;  // file row
    uint8_t* d = m_bitmap.ScanLine(destRow(0));
    auto put = [&](uint8_t i) {
      if (x < m_width)
        putIndex(d, int(x), i);
      else if (!rle4 || x > m_width)  // an RLE4 pair may pad an odd row by one pixel
        damaged = true;
      ++x;
    };
    auto nextRow = [&](int64_t rows) {
      y += rows;
      if (y < m_height) {
        m_progress.Progress(int(y * 100 / m_height));
        d = m_bitmap.ScanLine(destRow(y));
      }
    };

    m_progress.Progress(0);
    while (y < m_height) {
      if (m_progress.Aborted()) return true;
      if (r.remaining() < 2) {
        damaged = true;  // the data ends before the bitmap does
        break;
      }
      const uint8_t n = r.u8();
      const uint8_t v = r.u8();
      if (n > 0) {
        for (int k = 0; k < n; ++k) put(rle4 ? ((k & 1) ? (v & 0x0F) : (v >> 4)) : v);
        continue;
      }
      if (v == 0) {  // end of line
        x = 0;
        nextRow(1);
      } else if (v == 1) {  // end of bitmap
        break;
      } else if (v == 2) {  // delta
        const uint8_t dx = r.u8();
        const uint8_t dy = r.u8();
        if (r.failed()) {
          damaged = true;
          break;
        }
        x += dx;
        if (dy > 0) nextRow(dy);
        if (x >= m_width || y >= m_height) {
          damaged = true;
          break;
        }
      } else {  // absolute run of v pixels
        const size_t bytes = rle4 ? (size_t(v) + 1) / 2 : v;
        if (!r.has(bytes)) {
          damaged = true;
          break;
        }
        const uint8_t* p = r.current();
        for (int k = 0; k < v; ++k)
          put(rle4 ? ((k & 1) ? (p[k >> 1] & 0x0F) : (p[k >> 1] >> 4)) : p[k]);
        r.skip(bytes + (bytes & 1));
      }
    }
    // Runs in a top-down file break the format even when they decode.
    return !damaged && !m_badIndex && !m_h.topDown;
  }

  Stream& m_stream;
  TImageBitmap& m_bitmap;
  const BmpHeader& m_h;
  TProgressRec& m_progress;
  bool m_ignoreAlpha;
  int m_width = 0;
  int m_height = 0;
  bool m_palette = false;
  bool m_badIndex = false;
  std::array<TRGB, 256> m_lut{};
  MaskChannel m_red, m_green, m_blue, m_alphaMask;
  bool m_standard32 = false;
  TImageBitmap* m_alpha = nullptr;
  bool m_anyNonZeroAlpha = false;
  bool m_anyNonOpaqueAlpha = false;
};

// ------------------------------------------------------------------------------------------
// Writing

// Output sink that records the first short write.
class Sink {
 public:
  Sink(Stream& stream, TProgressRec& progress) : m_stream(stream), m_progress(progress) {}
  bool Put(const void* data, size_t n) {
    if (m_failed) return false;
    if (n > 0 && !m_stream.WriteExact(data, n)) {
      m_failed = true;
      m_progress.Fail();
    }
    return !m_failed;
  }
  bool Put(const std::vector<uint8_t>& v) { return Put(v.data(), v.size()); }
  bool Failed() const { return m_failed; }

 private:
  Stream& m_stream;
  TProgressRec& m_progress;
  bool m_failed = false;
};

void putU16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void putU32(std::vector<uint8_t>& v, uint32_t x) {
  putU16(v, x & 0xFFFF);
  putU16(v, x >> 16);
}

struct WriteLayout {
  int bits = 24;
  bool core = false;   // 12-byte header
  bool os2v2 = false;  // 64-byte header
  bool rle = false;
  int32_t ppmX = 0;
  int32_t ppmY = 0;
};

std::vector<uint8_t> fileHeader(uint32_t fileSize, uint32_t pixelOffset) {
  std::vector<uint8_t> v = {'B', 'M'};
  putU32(v, fileSize);
  putU32(v, 0);
  putU32(v, pixelOffset);
  return v;
}

// The info header; bit count and image size are 0 in the placeholder written first.
std::vector<uint8_t> infoHeader(const WriteLayout& l, int width, int height, bool final,
                                uint32_t imageSize) {
  std::vector<uint8_t> v;
  const uint32_t bits = final ? uint32_t(l.bits) : 0;
  if (l.core) {
    putU32(v, kCoreHeaderSize);
    putU16(v, uint32_t(width));
    putU16(v, uint32_t(height));
    putU16(v, 1);
    putU16(v, bits);
    return v;
  }
  putU32(v, l.os2v2 ? kOs2v2HeaderSize : kInfoHeaderSize);
  putU32(v, uint32_t(width));
  putU32(v, uint32_t(height));  // positive: rows bottom-up
  putU16(v, 1);
  putU16(v, bits);
  putU32(v, l.rle ? (l.bits == 4 ? kBiRle4 : kBiRle8) : kBiRgb);
  putU32(v, final ? imageSize : 0);
  putU32(v, uint32_t(l.ppmX));
  putU32(v, uint32_t(l.ppmY));
  putU32(v, l.bits <= 8 ? (1u << l.bits) : 0);
  uint32_t important = 1;
  switch (l.bits) {
    case 1:
      important = 2;
      break;
    case 4:
      important = 16;
      break;
    case 8:
      important = 256;
      break;
    case 24:
      important = 16777216;
      break;
  }
  putU32(v, important);
  if (l.os2v2) v.resize(kOs2v2HeaderSize, 0);
  return v;
}

// RLE encoding of one row of indices (RLE8 and RLE4 differ only in packing).
void encodeRleRow(const uint8_t* idx, size_t n, bool rle4, std::vector<uint8_t>& out) {
  auto flush = [&](size_t from, size_t to) {
    while (from < to) {
      const size_t a = std::min<size_t>(to - from, 255);
      const uint8_t* p = idx + from;
      if (a == 1) {
        out.push_back(1);
        out.push_back(rle4 ? uint8_t(p[0] << 4) : p[0]);
      } else if (a == 2) {
        if (rle4) {
          out.push_back(2);
          out.push_back(uint8_t((p[0] << 4) | (p[1] & 0x0F)));
        } else {
          out.push_back(1);
          out.push_back(p[0]);
          out.push_back(1);
          out.push_back(p[1]);
        }
      } else {
        out.push_back(0);
        out.push_back(uint8_t(a));
        size_t bytes = 0;
        if (rle4) {
          for (size_t k = 0; k < a; k += 2) {
            const uint8_t hi = uint8_t(p[k] << 4);
            const uint8_t lo = k + 1 < a ? uint8_t(p[k + 1] & 0x0F) : 0;
            out.push_back(hi | lo);
            ++bytes;
          }
        } else {
          out.insert(out.end(), p, p + a);
          bytes = a;
        }
        if (bytes & 1) out.push_back(0);
      }
      from += a;
    }
  };

  size_t lit = 0;
  size_t p = 0;
  while (p < n) {
    if (p - lit > 255) {
      flush(lit, p);
      lit = p;
    }
    if (p + 1 == n || idx[p] != idx[p + 1]) {
      ++p;
      continue;
    }
    flush(lit, p);
    size_t run = 2;
    while (p + run < n && run < 255 && idx[p + run] == idx[p]) ++run;
    out.push_back(uint8_t(run));
    out.push_back(rle4 ? uint8_t((idx[p] << 4) | (idx[p] & 0x0F)) : idx[p]);
    p += run;
    lit = p;
  }
  flush(lit, n);
  out.push_back(0);
  out.push_back(0);
}

// A copy of `src` in im24RGB (src itself when it already is).
const TImageBitmap& as24(TImageBitmap& src, std::unique_ptr<TImageBitmap>& holder) {
  if (src.PixelFormat() == im24RGB) return src;
  holder = std::make_unique<TImageBitmap>();
  holder->SetLocation(imMemory);
  holder->Assign(src);
  holder->SetPixelFormat(im24RGB);
  return *holder;
}

int luminance(TRGB c) { return int(std::nearbyint((21.0 * c.r + 71.0 * c.g + 8.0 * c.b) / 100.0)); }

// 4-bit and 8-bit rows: one palette index per pixel.
class IndexRows {
 public:
  // Indices of each pixel of `bitmap` into a palette of `colors` entries; the palette goes to
  // `palette`.
  IndexRows(TImageBitmap& bitmap, int colors, std::vector<TRGB>& palette) : m_bitmap(bitmap) {
    palette.assign(size_t(colors), TRGB{0, 0, 0});
    bool ownIndices = bitmap.PixelFormat() == im8p;
    if (ownIndices && colors < 256) {
      // Palette buffers whose indices do not fit are quantised like any other image.
      for (int y = 0; y < bitmap.Height() && ownIndices; ++y) {
        const uint8_t* s = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x)
          if (s[x] >= colors) {
            ownIndices = false;
            break;
          }
      }
    }
    if (ownIndices) {
      for (int i = 0; i < colors; ++i) palette[size_t(i)] = bitmap.GetPalette(i);
      return;
    }
    m_src = &as24(bitmap, m_holder);
    m_quantizer = std::make_unique<TImageQuantizer>(*m_src, palette.data(), colors);
    m_colors = colors;
  }

  // One index per pixel.
  void Indices(int y, uint8_t* idx) {
    if (!m_quantizer) {
      std::memcpy(idx, m_bitmap.ScanLine(y), size_t(m_bitmap.Width()));
      return;
    }
    const TRGB* s = reinterpret_cast<const TRGB*>(m_src->ScanLine(y));
    for (int x = 0; x < m_src->Width(); ++x) {
      const int i = m_quantizer->ColorIndex(s[x]);
      idx[x] = uint8_t(std::clamp(i, 0, m_colors - 1));
    }
  }

 private:
  TImageBitmap& m_bitmap;
  const TImageBitmap* m_src = nullptr;
  std::unique_ptr<TImageBitmap> m_holder;
  std::unique_ptr<TImageQuantizer> m_quantizer;
  int m_colors = 256;
};

// 1-bit rows: an im1g buffer as it is; an image of exactly two colours with bit 0 for the
// darker one; anything else through the buffer's own conversion to black and white.
class MonoRows {
 public:
  MonoRows(TImageBitmap& bitmap, std::vector<TRGB>& palette) : m_bitmap(bitmap) {
    palette = {TRGB{0, 0, 0}, TRGB{255, 255, 255}};
    if (bitmap.PixelFormat() == im1g) return;
    m_src24 = &as24(bitmap, m_holder24);
    int found = 0;
    for (int y = 0; y < m_src24->Height() && found <= 2; ++y) {
      const TRGB* s = reinterpret_cast<const TRGB*>(m_src24->ScanLine(y));
      for (int x = 0; x < m_src24->Width(); ++x) {
        if (found >= 1 && s[x] == m_colors[0]) continue;
        if (found >= 2 && s[x] == m_colors[1]) continue;
        if (found < 2) m_colors[size_t(found)] = s[x];
        ++found;
        if (found > 2) break;
      }
    }
    if (found == 2) {
      m_twoColours = true;
      if (luminance(m_colors[1]) < luminance(m_colors[0])) {
        std::swap(m_colors[0], m_colors[1]);
      }
      palette = {m_colors[0], m_colors[1]};
      return;
    }
    m_holder1 = std::make_unique<TImageBitmap>();
    m_holder1->SetLocation(imMemory);
    m_holder1->Assign(bitmap);
    m_holder1->SetPixelFormat(im1g);
    m_src24 = nullptr;
  }

  void Row(int y, uint8_t* out) {
    if (m_twoColours) {
      const TRGB* s = reinterpret_cast<const TRGB*>(m_src24->ScanLine(y));
      for (int x = 0; x < m_src24->Width(); ++x)
        if (!(s[x] == m_colors[0])) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
      return;
    }
    const TImageBitmap& src = m_holder1 ? *m_holder1 : m_bitmap;
    std::memcpy(out, src.ScanLine(y), (size_t(src.Width()) + 7) / 8);
  }

 private:
  TImageBitmap& m_bitmap;
  const TImageBitmap* m_src24 = nullptr;
  std::unique_ptr<TImageBitmap> m_holder24;
  std::unique_ptr<TImageBitmap> m_holder1;
  TRGB m_colors[2] = {};
  bool m_twoColours = false;
};

}  // namespace

// ------------------------------------------------------------------------------------------

void BMPReadStream(Stream& stream, TImageBitmap& bitmap, int64_t dataLength, TIOParamsVals& params,
                   TProgressRec& progress, bool paramsOnly, bool noFileHeader, bool ignoreAlpha) {
  const int64_t start = stream.Position();
  BmpHeader h;
  if (!noFileHeader) {
    uint8_t fh[kFileHeaderSize] = {};
    const size_t got = stream.Read(fh, sizeof fh);
    ByteReader r(fh, got);
    if (got == sizeof fh && fh[0] == 'B' && fh[1] == 'M') {
      r.skip(2);
      h.fileSize = r.u32le();
      r.skip(4);
      h.pixelOffset = r.u32le();
    } else if (got >= 4 && isKnownInfoHeaderSize(r.u32le())) {
      // A packed DIB (clipboard data saved as ".dib"): no file header.
      noFileHeader = true;
      stream.Seek(start);
    } else {
      stream.Seek(start);
      fail(progress);
      return;
    }
  }
  if (noFileHeader) {
    h.fileSize = uint32_t(std::min<int64_t>(stream.Size() - start, 0xFFFFFFFF));
    h.pixelOffset = 0;
  }

  if (!parseInfoHeader(stream, h)) {
    fail(progress);
    return;
  }
  params.FreeColorMap();
  params.BMP_Version = h.version;
  if (!h.colors.empty()) params.SetColorMap(h.colors.data(), int(h.colors.size()));
  if (h.compression == kBiRgb || h.compression == kBiBitfields ||
      h.compression == kBiAlphaBitfields)
    params.BMP_Compression = 0;
  else if (h.compression == kBiRle8 || h.compression == kBiRle4)
    params.BMP_Compression = 1;
  if (h.headerSize == kCoreHeaderSize) {
    params.SetDpiX(kDefaultDpi);
    params.SetDpiY(kDefaultDpi);
  } else {
    params.SetDpiX(dpiFromPixelsPerMetre(h.ppmX));
    params.SetDpiY(dpiFromPixelsPerMetre(h.ppmY));
  }
  if (h.width > std::numeric_limits<int32_t>::max() ||
      h.height > std::numeric_limits<int32_t>::max()) {
    fail(progress);
    return;
  }
  params.Width = int32_t(h.width);
  params.Height = int32_t(h.height);
  switch (h.bitCount) {
    case 1:
    case 2:
    case 4:
    case 8:
      params.BitsPerSample = int32_t(h.bitCount);
      params.SamplesPerPixel = 1;
      break;
    case 16:
      params.BitsPerSample = 5;
      params.SamplesPerPixel = 3;
      break;
    case 24:
      params.BitsPerSample = 8;
      params.SamplesPerPixel = 3;
      break;
    case 32:
      params.BitsPerSample = 8;
      params.SamplesPerPixel = 4;
      break;
  }

  if (h.pixelOffset != 0) {
    const int64_t at = start + int64_t(h.pixelOffset);
    if (at > stream.Size()) {
      fail(progress);
      return;
    }
    stream.Seek(at);
  }
  if (!supported(h)) {
    fail(progress);
    return;
  }
  if (paramsOnly) return;
  // A width or height of 0 describes no image: the parameters are filled, but the read fails,
  // or the caller would go on with (and save) whatever the buffer held before.
  if (h.width == 0 || h.height == 0) {
    fail(progress);
    return;
  }

  // The buffer: 1-bit black and white stays 1-bit; colour 1-bit tables, 2, 4 and 8 bits are
  // shown in their colours (palette buffers on request); the rest is true colour.
  TImagePixelFormat format = im24RGB;
  bool invertMono = false;
  if (h.bitCount == 1) {
    const TRGB black{0, 0, 0}, white{255, 255, 255};
    if (h.colors.size() >= 2 && h.colors[0] == black && h.colors[1] == white) {
      format = im1g;
    } else if (h.colors.size() >= 2 && h.colors[0] == white && h.colors[1] == black) {
      format = im1g;
      invertMono = true;
    } else if (params.IsNativePixelFormat) {
      format = im8p;
    }
  } else if (h.bitCount <= 8 && params.IsNativePixelFormat) {
    format = im8p;
  }
  if (!ImageSizeOk(h.width, h.height, PixelFormatBitCount(format))) {
    fail(progress);
    return;
  }
  // Uncompressed rows are stored whole, so the file bounds the image it can hold. A cut file
  // still shows the rows it has, but a few hundred bytes claiming gigabytes of pixels are
  // refused before the buffer is allocated (RLE data has no such bound and is left alone).
  if (h.compression != kBiRle8 && h.compression != kBiRle4) {
    const int64_t rowBytes = ImageRowLen(std::llabs(h.width), h.bitCount);
    const int64_t needed = rowBytes < 0 ? INT64_MAX : rowBytes * std::llabs(h.height);
    const int64_t present = stream.Size() - stream.Position();
    if (needed - present > kMaxMissingPixelBytes) {
      fail(progress);
      return;
    }
  }
  try {
    bitmap.Allocate(int(h.width), int(h.height), format);
  } catch (const std::length_error&) {
    fail(progress);
    return;
  } catch (const std::bad_alloc&) {
    fail(progress);
    return;
  }
  if (format == im8p) {
    for (int i = 0; i < 256; ++i)
      bitmap.SetPalette(i, size_t(i) < h.colors.size() ? h.colors[size_t(i)] : TRGB{0, 0, 0});
    bitmap.SetPaletteUsed(1 << h.bitCount);
  }
  progress.Per = 100.0 / double(h.height);

  BmpDecoder decoder(stream, bitmap, h, progress, ignoreAlpha);
  decoder.invertMono = invertMono;
  // RLE data runs to the end of the bitmap: the caller's length when given, else the end of
  // the stream (the file header's size field is often wrong, and the end-of-bitmap code
  // stops the decoder anyway).
  int64_t rleLength = stream.Remaining();
  if (dataLength >= 1)
    rleLength = std::min(rleLength, std::max<int64_t>(start + dataLength - stream.Position(), 0));
  decoder.rleLength = rleLength;
  if (!decoder.Decode()) fail(progress);
}

void BMPWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool writeAlpha,
                    TProgressRec& progress) {
  const int width = bitmap.Width();
  const int height = bitmap.Height();
  if (bitmap.IsEmpty() || width <= 0 || height <= 0) {
    fail(progress);
    return;
  }
  const int64_t start = stream.Position();

  WriteLayout l;
  if (params.BitsPerSample == 1)
    l.bits = 1;
  else if (params.BitsPerSample == 4)
    l.bits = 4;
  else if (params.SamplesPerPixel == 1)
    l.bits = 8;
  else
    l.bits = bitmap.HasAlphaChannel() ? 32 : 24;
  // The OS/2 1.x header holds 16-bit sizes; larger images get the Windows header.
  l.core = params.BMP_Version == kVersionOs2v1 && width <= 0xFFFF && height <= 0xFFFF;
  l.os2v2 = params.BMP_Version == kVersionOs2v2;
  l.rle = !l.core && params.BMP_Compression == 1 && (l.bits == 4 || l.bits == 8);
  l.ppmX = pixelsPerMetreFromDpi(params.DpiX);
  l.ppmY = pixelsPerMetreFromDpi(params.DpiY);

  const int64_t rowLen = ImageRowLen(width, l.bits);
  if (rowLen <= 0 || rowLen * height > int64_t(0xFFFFFFFF) - 2048) {
    fail(progress);
    return;
  }

  Sink out(stream, progress);
  if (!out.Put(fileHeader(0, 0)) || !out.Put(infoHeader(l, width, height, false, 0))) return;

  progress.Per = 100.0 / double(height);
  std::vector<uint8_t> row(static_cast<size_t>(rowLen));
  std::vector<uint8_t> indices(static_cast<size_t>(width));
  std::vector<uint8_t> packed;
  const size_t entrySize = l.core ? 3 : 4;
  auto putPalette = [&](const std::vector<TRGB>& pal) {
    std::vector<uint8_t> table;
    for (const TRGB& c : pal) {
      table.push_back(c.b);
      table.push_back(c.g);
      table.push_back(c.r);
      if (entrySize == 4) table.push_back(0);
    }
    return out.Put(table);
  };
  int64_t pixelStart = 0;
  auto rowLoop = [&](auto&& makeRow) {
    for (int written = 0; written < height; ++written) {
      progress.Progress(int(int64_t(written) * 100 / height));
      if (progress.Aborted()) return false;
      if (!makeRow(height - 1 - written)) return false;
    }
    return true;
  };

  bool ok = true;
  if (l.bits == 4 || l.bits == 8) {
    std::vector<TRGB> pal;
    IndexRows source(bitmap, 1 << l.bits, pal);
    params.SetColorMap(pal.data(), int(pal.size()));
    if (!putPalette(pal)) return;
    pixelStart = stream.Position();
    ok = rowLoop([&](int y) {
      source.Indices(y, indices.data());
      if (l.rle) {
        packed.clear();
        encodeRleRow(indices.data(), indices.size(), l.bits == 4, packed);
        return out.Put(packed);
      }
      std::fill(row.begin(), row.end(), 0);
      if (l.bits == 8) {
        std::memcpy(row.data(), indices.data(), indices.size());
      } else {
        for (int x = 0; x < width; ++x)
          row[size_t(x) >> 1] |=
              (x & 1) ? (indices[size_t(x)] & 0x0F) : uint8_t(indices[size_t(x)] << 4);
      }
      return out.Put(row);
    });
    if (ok && l.rle) {
      const uint8_t eob[2] = {0, 1};
      ok = out.Put(eob, 2);
    }
  } else if (l.bits == 1) {
    std::vector<TRGB> pal;
    MonoRows source(bitmap, pal);
    params.SetColorMap(pal.data(), int(pal.size()));
    if (!putPalette(pal)) return;
    pixelStart = stream.Position();
    ok = rowLoop([&](int y) {
      std::fill(row.begin(), row.end(), 0);
      source.Row(y, row.data());
      return out.Put(row);
    });
  } else {
    std::unique_ptr<TImageBitmap> holder;
    const TImageBitmap& src = as24(bitmap, holder);
    const TImageBitmap* alpha =
        l.bits == 32 && writeAlpha && bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr;
    params.FreeColorMap();
    pixelStart = stream.Position();
    ok = rowLoop([&](int y) {
      std::fill(row.begin(), row.end(), 0);
      const uint8_t* s = src.ScanLine(y);
      if (l.bits == 24) {
        std::memcpy(row.data(), s, size_t(width) * 3);
      } else {
        const uint8_t* a = alpha ? alpha->ScanLine(y) : nullptr;
        for (int x = 0; x < width; ++x) {
          row[4 * size_t(x)] = s[3 * x];
          row[4 * size_t(x) + 1] = s[3 * x + 1];
          row[4 * size_t(x) + 2] = s[3 * x + 2];
          row[4 * size_t(x) + 3] = a ? a[x] : 255;
        }
      }
      return out.Put(row);
    });
  }
  if (!ok || out.Failed() || progress.Aborted()) return;

  const int64_t end = stream.Position();
  if (end - start > int64_t(0xFFFFFFFF)) {
    fail(progress);
    return;
  }
  stream.Seek(start);
  if (!out.Put(fileHeader(uint32_t(end - start), uint32_t(pixelStart - start))) ||
      !out.Put(infoHeader(l, width, height, true, uint32_t(end - pixelStart))))
    return;
  stream.Seek(end);
}

void BMPReadFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                     TProgressRec& progress) {
  BMPReadStream(stream, bitmap, 0, params, progress, paramsOnly, false,
                !params.BMP_HandleTransparency);
}

void BMPWriteFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                      TProgressRec& progress) {
  BMPWriteStream(stream, bitmap, params, params.BMP_HandleTransparency, progress);
}

bool BMPTryStream(Stream& stream) {
  const int64_t pos = stream.Position();
  uint8_t sig[2] = {};
  const bool ok =
      stream.Remaining() > 14 && stream.ReadExact(sig, 2) && sig[0] == 'B' && sig[1] == 'M';
  stream.Seek(pos);
  return ok;
}

}  // namespace lumaprep
