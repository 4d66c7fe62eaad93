#pragma once
// TBitmap: the small device-independent bitmap that stores the preview's image buffer
// (Location imTBitmap). Three pixel formats: 1 bit (most significant bit = leftmost pixel),
// 8 bits through a 256-entry colour table, 24 bits blue-green-red. Rows are padded to 4 bytes
// and lie top-down in one block, so a QImage can wrap them without copying.
//
// Changing the pixel format keeps the colour table and clears the bits. Changing the size keeps
// the pixels of the common part (new pixels are zero).
#include <array>
#include <cstdint>
#include <vector>

namespace lumaprep {

#pragma pack(push, 1)
// A packed colour in memory order blue, green, red.
struct TRGB {
  uint8_t b, g, r;
  friend bool operator==(const TRGB&, const TRGB&) = default;
};
#pragma pack(pop)
static_assert(sizeof(TRGB) == 3);

enum TPixelFormat : uint8_t { pf1bit, pf8bit, pf24bit };

class TBitmap {
 public:
  TBitmap();
  TBitmap(int width, int height, TPixelFormat format);

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  TPixelFormat PixelFormat() const { return m_format; }
  int BitCount() const;
  // Bytes per row, a multiple of 4.
  int RowLen() const { return m_rowLen; }
  bool Empty() const { return m_width == 0 || m_height == 0; }

  // Negative sizes count as 0. Throws std::length_error when the block would be unreasonably
  // large (see ImageSizeOk) and std::bad_alloc when memory runs out; the bitmap is then empty.
  void SetSize(int width, int height);
  void SetWidth(int width) { SetSize(width, m_height); }
  void SetHeight(int height) { SetSize(m_width, height); }
  void SetPixelFormat(TPixelFormat format);

  // Row 0 is the top row; nullptr outside 0..Height-1.
  uint8_t* ScanLine(int row);
  const uint8_t* ScanLine(int row) const;

  // The colour table: 256 entries, used by pf8bit (and pf1bit, entries 0 and 1).
  TRGB GetColor(int index) const;
  void SetColor(int index, TRGB color);
  const std::array<TRGB, 256>& ColorTable() const { return m_colors; }
  void SetColorTable(const std::array<TRGB, 256>& colors) { m_colors = colors; }
  // Entries 0..255 are (i, i, i).
  bool IsGreyRamp() const;
  void SetGreyRamp();
  // pf1bit whose entry 0 is black and entry 1 white.
  bool Monochrome() const;

  // Copy of size, format, colour table and pixels.
  void Assign(const TBitmap& source);

 private:
  void reallocate(int width, int height, TPixelFormat format, bool keepPixels);

  int m_width = 0;
  int m_height = 0;
  int m_rowLen = 0;
  TPixelFormat m_format = pf24bit;
  std::vector<uint8_t> m_bits;
  std::array<TRGB, 256> m_colors{};
};

}  // namespace lumaprep
