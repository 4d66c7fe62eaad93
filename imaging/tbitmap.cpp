#include "imaging/tbitmap.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "imaging/imagebitmap.h"

namespace lumaprep {

namespace {

int bitsOf(TPixelFormat f) {
  switch (f) {
    case pf1bit:
      return 1;
    case pf8bit:
      return 8;
    case pf24bit:
      return 24;
  }
  return 24;
}

std::array<TRGB, 256> defaultColors() {
  std::array<TRGB, 256> c{};
  c[1] = TRGB{255, 255, 255};  // a fresh 1-bit bitmap is black and white
  return c;
}

}  // namespace

TBitmap::TBitmap() : m_colors(defaultColors()) {}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : m_format(format) {
  m_colors = defaultColors();
  SetSize(width, height);
}

int TBitmap::BitCount() const { return bitsOf(m_format); }

void TBitmap::reallocate(int width, int height, TPixelFormat format, bool keepPixels) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == 0 || height == 0) {
    m_bits.clear();
    m_bits.shrink_to_fit();
    m_width = width;
    m_height = height;
    m_rowLen = int(ImageRowLen(width, bitsOf(format)));
    m_format = format;
    return;
  }
  if (!ImageSizeOk(width, height, bitsOf(format))) {
    *this = TBitmap{};
    throw std::length_error("Bitmap size too large");
  }
  const int rowLen = int(ImageRowLen(width, bitsOf(format)));
  std::vector<uint8_t> bits;
  try {
    bits.assign(size_t(rowLen) * size_t(height), 0);
  } catch (...) {
    m_bits.clear();
    m_width = m_height = m_rowLen = 0;
    throw;
  }
  if (keepPixels && !m_bits.empty()) {
    const int rows = std::min(height, m_height);
    const size_t bytes = size_t(std::min(rowLen, m_rowLen));
    for (int r = 0; r < rows; ++r)
      std::memcpy(bits.data() + size_t(r) * rowLen, m_bits.data() + size_t(r) * m_rowLen, bytes);
    if (format == pf1bit && width < m_width && (width & 7) != 0) {
      // Pixels past the new right edge in the last byte are cleared.
      const uint8_t keep = uint8_t(0xFF00 >> (width & 7));
      for (int r = 0; r < rows; ++r) bits[size_t(r) * rowLen + (width >> 3)] &= keep;
    }
  }
  m_bits.swap(bits);
  m_width = width;
  m_height = height;
  m_rowLen = rowLen;
  m_format = format;
}

void TBitmap::SetSize(int width, int height) {
  if (width == m_width && height == m_height) return;
  reallocate(width, height, m_format, true);
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
  if (format == m_format) return;
  reallocate(m_width, m_height, format, false);
}

uint8_t* TBitmap::ScanLine(int row) {
  if (row < 0 || row >= m_height || m_bits.empty()) return nullptr;
  return m_bits.data() + size_t(row) * m_rowLen;
}

const uint8_t* TBitmap::ScanLine(int row) const {
  return const_cast<TBitmap*>(this)->ScanLine(row);
}

TRGB TBitmap::GetColor(int index) const {
  if (index < 0 || index > 255) return TRGB{0, 0, 0};
  return m_colors[size_t(index)];
}

void TBitmap::SetColor(int index, TRGB color) {
  if (index >= 0 && index <= 255) m_colors[size_t(index)] = color;
}

bool TBitmap::IsGreyRamp() const {
  for (int i = 0; i < 256; ++i) {
    const TRGB& c = m_colors[size_t(i)];
    if (c.r != i || c.g != i || c.b != i) return false;
  }
  return true;
}

void TBitmap::SetGreyRamp() {
  for (int i = 0; i < 256; ++i) m_colors[size_t(i)] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
}

bool TBitmap::Monochrome() const {
  return m_format == pf1bit && m_colors[0] == TRGB{0, 0, 0} && m_colors[1] == TRGB{255, 255, 255};
}

void TBitmap::Assign(const TBitmap& source) {
  if (&source == this) return;
  m_bits = source.m_bits;
  m_width = source.m_width;
  m_height = source.m_height;
  m_rowLen = source.m_rowLen;
  m_format = source.m_format;
  m_colors = source.m_colors;
}

}  // namespace lumaprep
