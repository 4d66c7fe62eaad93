#pragma once
// The image buffer of the whole pipeline. Every reader allocates and fills a TImageBitmap, the
// resampler reads one and writes another, every writer reads one.
//
// Rows are reached through ScanLine (row 0 is the top row). Colour bytes are blue, green, red;
// 1-bit rows hold the leftmost pixel in the most significant bit, bit 1 white. Pixels live in
// one of three places: a bottom-up memory block (imMemory, laid out like a bottom-up DIB), a
// temporary file paged one row at a time (imFile), or a TBitmap (imTBitmap: the preview's
// buffer; only 1-bit, 8-bit and 24-bit formats).
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/filebuffer.h"
#include "imaging/tbitmap.h"

namespace lumaprep {

enum TImagePixelFormat : uint8_t {
  imNone,    // no image
  im1g,      // 1 bit, 1 = white
  im8p,      // 8-bit palette index
  im8g,      // 8-bit grey
  im16g,     // 16-bit grey, little-endian
  im24RGB,   // blue, green, red
  im32f,     // float grey 0.0 .. 1.0
  imCMYK,    // C, M, Y, K stored as 255 minus the ink
  imRGB48,   // 16-bit red, green, blue
  imCIELab,  // L unsigned, a and b signed
};

enum TImageLocation : uint8_t { imMemory, imFile, imTBitmap };

// ---- Process-wide values, set at start-up ----------------------------------------------------

struct TImageSettings {
  std::string TempFolder;    // temporary stores go here; empty: the system's temporary folder
  int64_t MinFileSize = -1;  // images larger than this go to a file; -1: half the free memory
  int DefaultDpiX = 300;     // resolution for files that carry none
  int DefaultDpiY = 300;
  int RedToGray = 21;  // grey weights in hundredths
  int GreenToGray = 71;
  int BlueToGray = 8;
};
TImageSettings& ImageSettings();

inline constexpr int kDefaultDpi = 300;

// Luminance of a colour with the process-wide grey weights: (R*21 + G*71 + B*8) div 100.
int GreyLevel(TRGB c);
inline int GreyLevel(int r, int g, int b) {
  return GreyLevel(TRGB{uint8_t(b), uint8_t(g), uint8_t(r)});
}

// A colour as the real value taken by Fill for colour formats: 0x00BBGGRR.
constexpr double ColorValue(TRGB c) {
  return double(uint32_t(c.r) | (uint32_t(c.g) << 8) | (uint32_t(c.b) << 16));
}

// Limit of one buffer's pixel block: 4 GiB.
inline constexpr int64_t kMaxImageBytes = int64_t(1) << 32;

// The shared size check every codec calls before allocating: false for zero or negative sizes,
// a bit count outside 1..64, or a block (rows padded to 4 bytes) beyond kMaxImageBytes.
bool ImageSizeOk(int64_t width, int64_t height, int bitCount);

// Row length in bytes for a row alignment in bits (32: padded to 4 bytes); -1 on overflow.
int64_t ImageRowLen(int64_t width, int bitCount, int rowAlign = 32);

int PixelFormatBitCount(TImagePixelFormat f);
int PixelFormatChannelCount(TImagePixelFormat f);
// Bytes of one pixel for whole-pixel copies; 0 for im1g and imNone.
int PixelFormatBytes(TImagePixelFormat f);

// ---- The buffers -----------------------------------------------------------------------------

// Common interface of the image buffers.
class TImageBaseBitmap {
 public:
  virtual ~TImageBaseBitmap() = default;

  virtual uint8_t* ScanLine(int row) = 0;
  virtual int BitCount() const = 0;
  virtual int Height() const = 0;
  virtual int Width() const = 0;
  virtual TImagePixelFormat PixelFormat() const = 0;
  virtual int RowLen() const = 0;
  virtual TRGB GetPalette(int index) const = 0;
  virtual void SetPalette(int index, TRGB color) = 0;
  virtual int PaletteLength() const = 0;
  virtual void Allocate(int width, int height, TImagePixelFormat format) = 0;
  virtual void Assign(const TImageBaseBitmap& source) = 0;

  // How rows are mapped in file storage: iaRead, iaWrite or both (the default).
  uint8_t Access() const { return m_access; }
  void SetAccess(uint8_t access) { m_access = access; }

 protected:
  uint8_t m_access = iaReadWrite;
};

// Sets a buffer's access mode for the duration of a scope.
class AccessScope {
 public:
  AccessScope(TImageBaseBitmap& b, uint8_t mode) : m_b(b), m_old(b.Access()) { b.SetAccess(mode); }
  ~AccessScope() { m_b.SetAccess(m_old); }
  AccessScope(const AccessScope&) = delete;
  AccessScope& operator=(const AccessScope&) = delete;

 private:
  TImageBaseBitmap& m_b;
  uint8_t m_old;
};

class TImageBitmap : public TImageBaseBitmap {
 public:
  TImageBitmap();
  TImageBitmap(int width, int height, TImagePixelFormat format);
  ~TImageBitmap() override;
  TImageBitmap(const TImageBitmap&) = delete;
  TImageBitmap& operator=(const TImageBitmap&) = delete;

  // -- Geometry and storage
  // Allocates width x height pixels of `format`; existing content is lost. Zero or negative
  // sizes or imNone leave an empty buffer. A row length or total size that overflows or passes
  // kMaxImageBytes throws std::length_error, exhausted memory std::bad_alloc; the buffer is
  // then empty. In imTBitmap, im16g becomes im8g and im32f, imCMYK, imRGB48, imCIELab throw
  // std::invalid_argument ("... pixel format not allowed when Location=imTBitmap").
  void Allocate(int width, int height, TImagePixelFormat format) override;
  void FreeImage(bool freeAlpha = true);
  bool IsEmpty() const;

  int Width() const override;
  int Height() const override;
  // Keep the common part of the image (and of the alpha channel).
  void SetWidth(int width);
  void SetHeight(int height);
  TImagePixelFormat PixelFormat() const override;
  // Converts the pixels (see the conversion rules in imagebitmap.cpp).
  void SetPixelFormat(TImagePixelFormat format);
  int BitCount() const override;
  int ChannelCount() const;
  int RowLen() const override;

  TImageLocation Location() const { return m_location; }
  // Moves the content (rows, palette, alpha) to the other storage.
  void SetLocation(TImageLocation location);
  int RowAlign() const { return m_rowAlign; }
  // Row padding in bits, a positive multiple of 8 (others are ignored). Changes the rows only
  // in imMemory; the other storages keep theirs.
  void SetRowAlign(int bits);
  int64_t MinFileSize() const { return m_minFileSize; }
  void SetMinFileSize(int64_t bytes) { m_minFileSize = bytes; }
  // 0 general heap, 1 system memory, 2 mixed (system memory from 1 MB on). Every mode hands
  // out zero-filled blocks.
  uint8_t MemoryAllocator() const { return m_memoryAllocator; }
  void SetMemoryAllocator(uint8_t a) { m_memoryAllocator = a; }
  // Conversions to im1g: 0 ordered dither, 1 threshold at the mean luminance (default).
  uint8_t DitherMethod() const { return m_ditherMethod; }
  void SetDitherMethod(uint8_t m) { m_ditherMethod = m; }
  bool NeedRealloc() const { return m_needRealloc; }
  void SetNeedRealloc(bool v) { m_needRealloc = v; }
  bool IsAlpha() const { return m_isAlpha; }
  bool Encapsulated() const { return m_encapsulated; }

  // Row 0 is the top row; nullptr outside 0..Height-1 or for an empty buffer. In imFile the
  // pointer stays valid only until the next ScanLine call on this buffer.
  uint8_t* ScanLine(int row) override;
  const uint8_t* ScanLine(int row) const;
  // In imFile: a row that stays mapped until ReleaseRow or FreeImage. Elsewhere: ScanLine.
  uint8_t* AcquireRow(int row);
  void ReleaseRow(int row);

  // Adopts `bitmap` as storage (not owned). pf1bit gives im1g, pf24bit im24RGB, pf8bit keeps
  // the previous pixel format value (until the next resync).
  void EncapsulateTBitmap(TBitmap* bitmap, bool freeFirst);
  // Switches to imTBitmap (copying) and returns the TBitmap.
  TBitmap& VclBitmap();

  // -- Palette (256 entries for im8p, none otherwise)
  TRGB GetPalette(int index) const override;  // black outside 0..PaletteLength-1
  void SetPalette(int index, TRGB color) override;
  int PaletteLength() const override;
  int PaletteUsed() const { return m_paletteUsed; }
  void SetPaletteUsed(int n) { m_paletteUsed = n; }

  // -- Copying
  // Copies size, format, pixels, palette, alpha channel (or removes ours), dither method.
  void Assign(const TImageBaseBitmap& source) override;
  void Assign(const TImageBitmap& source);
  void Assign(const TBitmap& source);
  // Like Assign but leaves the alpha channel alone; an empty source changes nothing.
  void CopyFrom(const TImageBitmap& source);
  // Moves all storage into `target` and leaves this buffer empty.
  void SwitchTo(TImageBitmap& target);
  // Clipped block copy into `dest` (same format, or im1g into im1g or im24RGB).
  void CopyRectTo(TImageBitmap& dest, int sourceX, int sourceY, int destX, int destY, int width,
                  int height) const;

  // -- Pixels and fills
  // im1g: non-zero is white; im8p/im8g/im16g: the value; im32f: the float; colour formats:
  // a colour 0x00BBGGRR (ColorValue). Full becomes true for the format's opaque value.
  void Fill(double value);
  // Corners included, in any order, clipped to the image.
  void FillRect(int x1, int y1, int x2, int y2, double value);
  // The pixel as a colour, for every format (black outside the image or for imNone).
  TRGB Pixels(int x, int y) const;
  uint8_t Alpha(int x, int y);
  void SetAlpha(int x, int y, uint8_t value);

  // -- Alpha channel
  // The companion im8g buffer of the same size, created on first use all 255 and Full.
  // nullptr for a buffer that is itself an alpha channel.
  TImageBitmap* AlphaChannel();
  const TImageBitmap* AlphaChannelIfAny() const { return m_alpha.get(); }
  bool HasAlphaChannel() const { return m_alpha != nullptr; }
  // Merging (im24RGB only): each channel becomes background + (pixel - background) * alpha/256.
  void RemoveAlphaChannel(bool merge = false, TRGB background = TRGB{0, 0, 0});
  // True when every alpha value is 255 (meaningful for alpha channels).
  bool Full() const { return m_full; }
  void SetFull(bool full) { m_full = full; }
  // Scans the alpha values (of this alpha buffer, or of the companion) and sets their Full.
  void SyncFull();

 private:
  struct AlphaTag {};
  TImageBitmap(AlphaTag, const TImageBitmap& owner);

  void resync() const;
  void resyncNow();
  void recomputeGeometry();
  void rebuildRowTable();
  void allocateMemory(int64_t size);
  void releaseFileRows() noexcept;
  void emptyAfterFailure();
  void pushPaletteToTBitmap();
  void copyPixelsFrom(const TImageBitmap& source);
  void assignImpl(const TImageBitmap& source, bool withAlpha);
  void resizeKeeping(int width, int height);
  void convertInTBitmap(TImagePixelFormat format);
  void convertFrom(TImageBitmap& source, TImagePixelFormat format);
  void takeStorageFrom(TImageBitmap& source) noexcept;

  std::unique_ptr<TImageFileBuffer> m_fileBuffer;
  uint8_t* m_currentFileRow = nullptr;
  int m_currentFileRowIndex = -1;
  uint8_t m_currentFileRowMode = 0;
  std::unique_ptr<TRGB[]> m_palette;
  int m_paletteLength = 0;
  std::unique_ptr<TImageBitmap> m_alpha;
  uint8_t* m_memBits = nullptr;
  uint8_t* m_memBlock = nullptr;
  TBitmap* m_vclBitmap = nullptr;
  std::unique_ptr<TBitmap> m_ownedBitmap;  // m_vclBitmap when not encapsulated
  std::vector<uint8_t*> m_rowTable;
  std::vector<int> m_mappedRowIndexes;
  std::vector<uint8_t*> m_mappedRows;
  int m_width = 0;
  int m_height = 0;
  int m_bitCount = 0;
  int m_channelCount = 0;
  int m_rowLen = 0;
  TImagePixelFormat m_pixelFormat = imNone;
  bool m_isAlpha = false;
  TImageLocation m_location = imFile;
  bool m_full = false;
  bool m_encapsulated = false;
  bool m_externalMemory = false;
  int64_t m_minFileSize = 0;
  uint8_t m_ditherMethod = 1;
  int m_paletteUsed = 256;
  int m_rowAlign = 32;
  uint8_t m_memoryAllocator = 2;
  bool m_needRealloc = true;
};

// A minimal bottom-up work buffer for filters: rows padded to 4 bytes; reallocates only when
// width, height or bit count change.
class TImageWorkBitmap {
 public:
  TImageWorkBitmap() = default;
  TImageWorkBitmap(int width, int height, int bitCount) { Allocate(width, height, bitCount); }
  // Throws std::length_error for sizes beyond ImageSizeOk (zero sizes give an empty buffer).
  void Allocate(int width, int height, int bitCount);
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  int BitCount() const { return m_bitCount; }
  int RowLen() const { return m_rowLen; }
  uint8_t* ScanLine(int row) { return m_bits.data() + int64_t(m_rowLen) * (m_height - row - 1); }

 private:
  int m_width = 0;
  int m_height = 0;
  int m_bitCount = 0;
  int m_rowLen = 0;
  std::vector<uint8_t> m_bits;
};

// A 24-bit or 1-bit bottom-up bitmap into which frames are drawn by other code (metafiles,
// video frames) before being copied into a TImageBitmap. No palette.
class TImageDibbitmap : public TImageBaseBitmap {
 public:
  TImageDibbitmap() = default;
  TImageDibbitmap(int width, int height, TImagePixelFormat format) {
    Allocate(width, height, format);
  }

  uint8_t* ScanLine(int row) override;
  int BitCount() const override { return m_bitCount; }
  int Height() const override { return m_height; }
  int Width() const override { return m_width; }
  TImagePixelFormat PixelFormat() const override;
  int RowLen() const override { return m_rowLen; }
  TRGB GetPalette(int) const override { return TRGB{0, 0, 0}; }
  void SetPalette(int, TRGB) override {}
  int PaletteLength() const override { return 0; }
  // Only im24RGB and im1g; any other format gives an empty bitmap.
  void Allocate(int width, int height, TImagePixelFormat format) override;
  void Assign(const TImageBaseBitmap& source) override;

 private:
  int m_width = 0;
  int m_height = 0;
  int m_bitCount = 0;
  int m_rowLen = 0;
  std::vector<uint8_t> m_bits;
};

}  // namespace lumaprep
