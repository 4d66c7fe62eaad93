#include "imaging/imagebitmap.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#include "imaging/quantizeseam.h"

namespace lumaprep {

// ---- Process-wide values and size arithmetic ---------------------------------------------------

TImageSettings& ImageSettings() {
  static TImageSettings settings;
  return settings;
}

int GreyLevel(TRGB c) {
  const TImageSettings& s = ImageSettings();
  return (c.r * s.RedToGray + c.g * s.GreenToGray + c.b * s.BlueToGray) / 100;
}

int64_t ImageRowLen(int64_t width, int bitCount, int rowAlign) {
  if (width < 0 || width > INT_MAX || bitCount < 0 || bitCount > 64 || rowAlign < 8 ||
      rowAlign % 8 != 0)
    return -1;
  const int64_t bits = width * bitCount;  // at most 2^37
  const int64_t len = rowAlign == 32 ? ((bits + 31) >> 5) << 2
                                     : ((bits + rowAlign - 1) / rowAlign) * (rowAlign / 8);
  return len > INT_MAX ? -1 : len;
}

bool ImageSizeOk(int64_t width, int64_t height, int bitCount) {
  if (width <= 0 || height <= 0 || width > INT_MAX || height > INT_MAX || bitCount <= 0 ||
      bitCount > 64)
    return false;
  const int64_t rowLen = ImageRowLen(width, bitCount, 32);
  return rowLen > 0 && rowLen <= kMaxImageBytes / height;
}

int PixelFormatBitCount(TImagePixelFormat f) {
  static constexpr int kBits[] = {0, 1, 8, 8, 16, 24, 32, 32, 48, 24};
  return f <= imCIELab ? kBits[f] : 0;
}

int PixelFormatChannelCount(TImagePixelFormat f) {
  static constexpr int kChannels[] = {0, 1, 1, 1, 1, 3, 1, 4, 3, 3};
  return f <= imCIELab ? kChannels[f] : 0;
}

int PixelFormatBytes(TImagePixelFormat f) {
  switch (f) {
    case im8p:
    case im8g:
      return 1;
    case im16g:
      return 2;
    case im24RGB:
    case imCIELab:
      return 3;
    case im32f:
    case imCMYK:
      return 4;
    case imRGB48:
      return 6;
    default:
      return 0;
  }
}

namespace {

constexpr TRGB kBlack{0, 0, 0};
constexpr TRGB kWhite{255, 255, 255};
constexpr int64_t kDefaultMinFileSize = 33554432;

bool tbitmapFormat(TImagePixelFormat f) {
  return f == im1g || f == im8p || f == im8g || f == im24RGB;
}

int64_t availableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string line;
  while (std::getline(meminfo, line)) {
    if (line.rfind("MemAvailable:", 0) == 0) {
      std::istringstream in(line.substr(13));
      int64_t kb = 0;
      if (in >> kb) return kb * 1024;
    }
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  return pages > 0 && pageSize > 0 ? int64_t(pages) * pageSize : 0;
}

int64_t defaultMinFileSize() {
  const int64_t setting = ImageSettings().MinFileSize;
  if (setting != -1) return setting;
  const int64_t half = availableMemory() / 2;
  return half == 0 ? kDefaultMinFileSize : half;
}

inline unsigned rd16(const uint8_t* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
inline void wr16(uint8_t* p, unsigned v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline float rdFloat(const uint8_t* p) {
  float f;
  std::memcpy(&f, p, 4);
  return f;
}
inline void wrFloat(uint8_t* p, float f) { std::memcpy(p, &f, 4); }

// trunc(v) kept inside 0..max (NaN gives 0): float pixels come from files.
inline unsigned truncClamp(double v, unsigned max) {
  if (!(v > 0)) return 0;
  if (v >= max) return max;
  return unsigned(v);
}

inline bool getBit(const uint8_t* row, int x) { return (row[x >> 3] & (0x80 >> (x & 7))) != 0; }
inline void putBit(uint8_t* row, int x, bool white) {
  if (white)
    row[x >> 3] |= uint8_t(0x80 >> (x & 7));
  else
    row[x >> 3] &= uint8_t(~(0x80 >> (x & 7)));
}

// -- Colour models

TRGB cmykToRgb(const uint8_t* p) {
  const unsigned k = p[3];
  return TRGB{uint8_t(p[2] * k / 255), uint8_t(p[1] * k / 255), uint8_t(p[0] * k / 255)};
}

void rgbToCmyk(TRGB c, uint8_t* p) {
  unsigned k = std::max({c.r, c.g, c.b});
  if (k == 0) k = 1;
  p[0] = uint8_t(c.r * 255u / k);
  p[1] = uint8_t(c.g * 255u / k);
  p[2] = uint8_t(c.b * 255u / k);
  p[3] = uint8_t(k);
}

double labF(double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; }

int8_t labByte(double v) { return int8_t(std::clamp(std::trunc(v), -128.0, 127.0)); }

void rgbToLab(TRGB c, uint8_t* p) {
  auto lin = [](uint8_t v) {
    const double c = v / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double r = lin(c.r), g = lin(c.g), b = lin(c.b);
  const double x = (0.412453 * r + 0.35758 * g + 0.180423 * b) / 0.95047;
  const double y = 0.212671 * r + 0.71516 * g + 0.072169 * b;
  const double z = (0.019334 * r + 0.119193 * g + 0.950227 * b) / 1.088883;
  const double l = y > 0.008856 ? 116.0 * std::cbrt(y) - 16.0 : 903.3 * y;
  const double a = 500.0 * (labF(x) - labF(y));
  const double bb = 200.0 * (labF(y) - labF(z));
  p[0] = uint8_t(truncClamp(l * 2.5, 255));
  p[1] = uint8_t(labByte(a));
  p[2] = uint8_t(labByte(bb));
}

TRGB labToRgb(const uint8_t* p) {
  const double l = p[0] * 100.0 / 255.0;
  const double a = int8_t(p[1]);
  const double b = int8_t(p[2]);
  const double fy = (l + 16.0) / 116.0;
  const double fx = fy + a / 500.0;
  const double fz = fy - b / 200.0;
  auto inv = [](double f) {
    const double f3 = f * f * f;
    return f3 > 0.008856 ? f3 : (f - 16.0 / 116.0) / 7.787;
  };
  const double y = l > 903.3 * 0.008856 ? fy * fy * fy : l / 903.3;
  const double x = inv(fx) * 0.95047;
  const double z = inv(fz) * 1.08883;
  auto gamma = [](double v) {
    v = v > 0.0031308 ? 1.055 * std::pow(v, 1.0 / 2.4) - 0.055 : v * 12.92;
    // nearbyint rounds halves to the even neighbour in the default rounding mode.
    return uint8_t(std::clamp(std::nearbyint(v * 255.0), 0.0, 255.0));
  };
  const uint8_t r = gamma(3.2406 * x - 1.5372 * y - 0.4986 * z);
  const uint8_t g = gamma(-0.9689 * x + 1.8758 * y + 0.0415 * z);
  const uint8_t bl = gamma(0.0557 * x - 0.204 * y + 1.057 * z);
  return TRGB{bl, g, r};
}

// One pixel as a colour (the conversion rules towards im24RGB).
TRGB decodePixel(TImagePixelFormat f, const uint8_t* row, int x, const TRGB* palette,
                 int paletteLength) {
  switch (f) {
    case im1g:
      return getBit(row, x) ? kWhite : kBlack;
    case im8p: {
      const int i = row[x];
      return i < paletteLength ? palette[i] : kBlack;
    }
    case im8g:
      return TRGB{row[x], row[x], row[x]};
    case im16g: {
      const uint8_t v = uint8_t(rd16(row + 2 * x) >> 8);
      return TRGB{v, v, v};
    }
    case im24RGB: {
      const uint8_t* p = row + 3 * x;
      return TRGB{p[0], p[1], p[2]};
    }
    case im32f: {
      const uint8_t v = uint8_t(truncClamp(double(rdFloat(row + 4 * x)) * 255.0, 255));
      return TRGB{v, v, v};
    }
    case imCMYK:
      return cmykToRgb(row + 4 * x);
    case imRGB48: {
      const uint8_t* p = row + 6 * x;
      return TRGB{uint8_t(rd16(p + 4) >> 8), uint8_t(rd16(p + 2) >> 8), uint8_t(rd16(p) >> 8)};
    }
    case imCIELab:
      return labToRgb(row + 3 * x);
    default:
      return kBlack;
  }
}

unsigned grey16(TRGB c) { return (c.r * 54484u + c.g * 183241u + c.b * 19275u) / 1000u; }

double greyFloat(TRGB c) { return (0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b) / 255.0; }

// Writes one pixel of a colour format (im24RGB, imCMYK, imRGB48, imCIELab) from a colour.
void encodeColor(TImagePixelFormat f, TRGB c, uint8_t* p) {
  switch (f) {
    case im24RGB:
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      break;
    case imCMYK:
      rgbToCmyk(c, p);
      break;
    case imRGB48:
      wr16(p, c.r * 257u);
      wr16(p + 2, c.g * 257u);
      wr16(p + 4, c.b * 257u);
      break;
    case imCIELab:
      rgbToLab(c, p);
      break;
    default:
      break;
  }
}

constexpr uint8_t kBayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                                  {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                                  {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                                  {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

}  // namespace

// ---- TImageBitmap: construction and storage ---------------------------------------------------

TImageBitmap::TImageBitmap()
    : m_fileBuffer(std::make_unique<TImageFileBuffer>()), m_minFileSize(defaultMinFileSize()) {}

TImageBitmap::TImageBitmap(int width, int height, TImagePixelFormat format) : TImageBitmap() {
  Allocate(width, height, format);
}

TImageBitmap::TImageBitmap(AlphaTag, const TImageBitmap& owner) : TImageBitmap() {
  m_isAlpha = true;
  m_location = owner.m_location == imTBitmap ? imMemory : owner.m_location;
  m_minFileSize = owner.m_minFileSize;
  Allocate(owner.m_width, owner.m_height, im8g);
  Fill(255);
}

TImageBitmap::~TImageBitmap() { FreeImage(true); }

void TImageBitmap::releaseFileRows() noexcept {
  if (m_fileBuffer) {
    try {
      m_fileBuffer->UnmapAll();
    } catch (...) {
      // A row that cannot be written back is lost with the store being released.
    }
  }
  m_currentFileRow = nullptr;
  m_currentFileRowIndex = -1;
  m_mappedRows.clear();
  m_mappedRowIndexes.clear();
}

void TImageBitmap::FreeImage(bool freeAlpha) {
  releaseFileRows();
  m_palette.reset();
  m_paletteLength = 0;
  if (m_fileBuffer) {
    try {
      m_fileBuffer->FreeFile();
    } catch (...) {
    }
  }
  if (!m_externalMemory) std::free(m_memBlock);
  m_memBlock = nullptr;
  m_memBits = nullptr;
  m_ownedBitmap.reset();  // an encapsulated TBitmap belongs to its owner
  m_vclBitmap = nullptr;
  m_rowTable.clear();
  m_width = m_height = m_rowLen = m_bitCount = m_channelCount = 0;
  m_pixelFormat = imNone;
  m_full = false;
  m_encapsulated = false;
  m_externalMemory = false;
  if (freeAlpha) m_alpha.reset();
}

void TImageBitmap::emptyAfterFailure() {
  TBitmap* encapsulated = m_encapsulated ? m_vclBitmap : nullptr;
  FreeImage(true);
  if (encapsulated) {
    // The TBitmap belongs to the view: it stays adopted, only emptied.
    encapsulated->SetSize(0, 0);
    m_vclBitmap = encapsulated;
    m_encapsulated = true;
    rebuildRowTable();
  }
}

bool TImageBitmap::IsEmpty() const {
  resync();
  return m_width == 0 || m_height == 0 || m_rowLen == 0 || m_bitCount == 0;
}

void TImageBitmap::recomputeGeometry() {
  m_bitCount = PixelFormatBitCount(m_pixelFormat);
  m_channelCount = PixelFormatChannelCount(m_pixelFormat);
  const int align = m_location == imTBitmap ? 32 : m_rowAlign;
  const int64_t len = ImageRowLen(m_width, m_bitCount, align);
  m_rowLen = len < 0 ? 0 : int(len);
}

void TImageBitmap::rebuildRowTable() {
  m_rowTable.clear();
  if (!m_vclBitmap) return;
  const int rows = m_vclBitmap->Height();
  m_rowTable.resize(size_t(rows));
  for (int r = 0; r < rows; ++r) m_rowTable[size_t(r)] = m_vclBitmap->ScanLine(r);
}

void TImageBitmap::allocateMemory(int64_t size) {
  // Zero-filled in every mode, so padding bits and untouched pixels never carry old heap data.
  void* block = nullptr;
  if (m_memoryAllocator == 0 || (m_memoryAllocator == 2 && size < 1048576))
    block = std::malloc(size_t(size) + 32);
  if (block)
    std::memset(block, 0, size_t(size) + 32);
  else
    block = std::calloc(size_t(size) + 32, 1);
  if (!block) throw std::bad_alloc();
  m_memBlock = static_cast<uint8_t*>(block);
  m_memBits = m_memBlock + ((32 - reinterpret_cast<uintptr_t>(m_memBlock) % 32) % 32);
}

void TImageBitmap::Allocate(int width, int height, TImagePixelFormat format) {
  resync();
  if (!m_needRealloc && width == m_width && height == m_height && format == m_pixelFormat) return;
  if (!m_encapsulated) {
    FreeImage(true);
  } else {
    m_alpha.reset();
    m_palette.reset();
    m_paletteLength = 0;
  }
  m_needRealloc = true;
  if (width <= 0 || height <= 0 || format == imNone || format > imCIELab) {
    if (m_encapsulated) m_vclBitmap->SetSize(0, 0);
    m_width = m_height = m_rowLen = m_bitCount = m_channelCount = 0;
    m_pixelFormat = imNone;
    m_rowTable.clear();
    return;
  }
  if (m_location == imTBitmap && !tbitmapFormat(format) && format != im16g) {
    const char* name = format == im32f     ? "im32f"
                       : format == imCMYK  ? "imCMYK"
                       : format == imRGB48 ? "imRGB48"
                                           : "imCIELab";
    emptyAfterFailure();
    throw std::invalid_argument(std::string(name) +
                                " pixel format not allowed when Location=imTBitmap");
  }
  if (m_location == imTBitmap && format == im16g) format = im8g;

  const int align = m_location == imTBitmap ? 32 : m_rowAlign;
  const int64_t rowLen = ImageRowLen(width, PixelFormatBitCount(format), align);
  if (rowLen <= 0 || rowLen > kMaxImageBytes / height) {
    emptyAfterFailure();
    throw std::length_error("Image too large: " + std::to_string(width) + " x " +
                            std::to_string(height));
  }
  const int64_t size = rowLen * height;

  try {
    m_width = width;
    m_height = height;
    m_pixelFormat = format;
    recomputeGeometry();
    if (format == im8p) {
      m_palette = std::make_unique<TRGB[]>(256);
      m_paletteLength = 256;
    }
    if (m_location != imTBitmap) {
      if (m_location == imFile && m_minFileSize > size) m_location = imMemory;
      if (m_location == imMemory && m_minFileSize < size) m_location = imFile;
    }
    switch (m_location) {
      case imFile:
        try {
          m_fileBuffer->AllocateFile(size);
          break;
        } catch (const EInOutError&) {
          m_location = imMemory;
        }
        [[fallthrough]];
      case imMemory:
        allocateMemory(size);
        break;
      case imTBitmap:
        if (!m_encapsulated) {
          m_ownedBitmap = std::make_unique<TBitmap>();
          m_vclBitmap = m_ownedBitmap.get();
        }
        m_vclBitmap->SetSize(0, 0);
        m_vclBitmap->SetPixelFormat(format == im1g ? pf1bit : format == im24RGB ? pf24bit : pf8bit);
        m_vclBitmap->SetSize(width, height);
        if (format == im8g) m_vclBitmap->SetGreyRamp();
        if (format == im8p) pushPaletteToTBitmap();
        rebuildRowTable();
        break;
    }
  } catch (...) {
    emptyAfterFailure();
    throw;
  }
  m_full = false;
  m_needRealloc = false;
}

// ---- TBitmap resync ---------------------------------------------------------------------------

void TImageBitmap::resync() const {
  if (m_location == imTBitmap && m_vclBitmap) const_cast<TImageBitmap*>(this)->resyncNow();
}

void TImageBitmap::resyncNow() {
  TBitmap& b = *m_vclBitmap;
  TImagePixelFormat f = im24RGB;
  if (b.PixelFormat() == pf1bit)
    f = im1g;
  else if (b.PixelFormat() == pf8bit)
    f = m_isAlpha || b.IsGreyRamp() ? im8g : im8p;
  if (b.Width() != m_width || b.Height() != m_height || f != m_pixelFormat) {
    m_width = b.Width();
    m_height = b.Height();
    m_pixelFormat = f;
    recomputeGeometry();
    if (m_alpha) {
      m_alpha->Allocate(m_width, m_height, im8g);
      m_alpha->Fill(255);
    }
    rebuildRowTable();
  } else if (m_rowTable.size() != size_t(m_height) ||
             (m_height > 0 && m_rowTable[0] != b.ScanLine(0))) {
    rebuildRowTable();
  }
  if (f == im8p) {
    if (!m_palette) m_palette = std::make_unique<TRGB[]>(256);
    m_paletteLength = 256;
    std::memcpy(m_palette.get(), b.ColorTable().data(), 256 * sizeof(TRGB));
  } else if (m_palette) {
    m_palette.reset();
    m_paletteLength = 0;
  }
}

void TImageBitmap::pushPaletteToTBitmap() {
  if (m_location != imTBitmap || !m_vclBitmap || !m_palette) return;
  for (int i = 0; i < m_paletteLength && i < 256; ++i)
    m_vclBitmap->SetColor(i, m_palette[size_t(i)]);
}

int TImageBitmap::Width() const {
  resync();
  return m_width;
}
int TImageBitmap::Height() const {
  resync();
  return m_height;
}
TImagePixelFormat TImageBitmap::PixelFormat() const {
  resync();
  return m_pixelFormat;
}
int TImageBitmap::BitCount() const {
  resync();
  return m_bitCount;
}
int TImageBitmap::ChannelCount() const {
  resync();
  return m_channelCount;
}
int TImageBitmap::RowLen() const {
  resync();
  return m_rowLen;
}

// ---- Rows -------------------------------------------------------------------------------------

uint8_t* TImageBitmap::ScanLine(int row) {
  resync();
  if (row < 0 || row >= m_height || m_rowLen == 0 || m_bitCount == 0 || m_width <= 0)
    return nullptr;
  switch (m_location) {
    case imMemory:
      return m_memBits ? m_memBits + int64_t(m_rowLen) * (m_height - row - 1) : nullptr;
    case imTBitmap:
      return size_t(row) < m_rowTable.size() ? m_rowTable[size_t(row)] : nullptr;
    case imFile:
      if (!m_fileBuffer->IsAllocated()) return nullptr;
      if (m_currentFileRow && m_currentFileRowIndex == row && m_currentFileRowMode == m_access)
        return m_currentFileRow;
      if (m_currentFileRow) {
        uint8_t* old = m_currentFileRow;
        m_currentFileRow = nullptr;
        m_currentFileRowIndex = -1;
        m_fileBuffer->Unmap(old);
      }
      m_currentFileRow = m_fileBuffer->Map(int64_t(row) * m_rowLen, m_rowLen, m_access);
      m_currentFileRowIndex = row;
      m_currentFileRowMode = m_access;
      return m_currentFileRow;
  }
  return nullptr;
}

const uint8_t* TImageBitmap::ScanLine(int row) const {
  return const_cast<TImageBitmap*>(this)->ScanLine(row);
}

uint8_t* TImageBitmap::AcquireRow(int row) {
  if (m_location != imFile) return ScanLine(row);
  if (row < 0 || row >= m_height || !m_fileBuffer->IsAllocated()) return nullptr;
  uint8_t* p = m_fileBuffer->Map(int64_t(row) * m_rowLen, m_rowLen, m_access);
  m_mappedRows.push_back(p);
  m_mappedRowIndexes.push_back(row);
  return p;
}

void TImageBitmap::ReleaseRow(int row) {
  if (m_location != imFile) return;
  for (size_t i = 0; i < m_mappedRowIndexes.size(); ++i) {
    if (m_mappedRowIndexes[i] == row) {
      uint8_t* p = m_mappedRows[i];
      m_mappedRows.erase(m_mappedRows.begin() + ptrdiff_t(i));
      m_mappedRowIndexes.erase(m_mappedRowIndexes.begin() + ptrdiff_t(i));
      m_fileBuffer->Unmap(p);
      return;
    }
  }
}

// ---- TBitmap storage --------------------------------------------------------------------------

void TImageBitmap::EncapsulateTBitmap(TBitmap* bitmap, bool freeFirst) {
  const TImagePixelFormat previous = m_pixelFormat;
  FreeImage(freeFirst);
  if (!bitmap) return;
  m_vclBitmap = bitmap;
  m_encapsulated = true;
  m_location = imTBitmap;
  m_width = bitmap->Width();
  m_height = bitmap->Height();
  m_pixelFormat = bitmap->PixelFormat() == pf1bit    ? im1g
                  : bitmap->PixelFormat() == pf24bit ? im24RGB
                                                     : previous;
  recomputeGeometry();
  rebuildRowTable();
  m_needRealloc = true;
  resync();
  if (m_alpha && (m_alpha->Width() != m_width || m_alpha->Height() != m_height)) {
    m_alpha->Allocate(m_width, m_height, im8g);
    m_alpha->Fill(255);
  }
}

TBitmap& TImageBitmap::VclBitmap() {
  SetLocation(imTBitmap);
  if (!m_vclBitmap) {
    m_ownedBitmap = std::make_unique<TBitmap>();
    m_vclBitmap = m_ownedBitmap.get();
    m_encapsulated = false;
  }
  return *m_vclBitmap;
}

// ---- Moving storage ---------------------------------------------------------------------------

void TImageBitmap::takeStorageFrom(TImageBitmap& s) noexcept {
  m_fileBuffer = std::move(s.m_fileBuffer);
  m_currentFileRow = s.m_currentFileRow;
  m_currentFileRowIndex = s.m_currentFileRowIndex;
  m_currentFileRowMode = s.m_currentFileRowMode;
  m_palette = std::move(s.m_palette);
  m_paletteLength = s.m_paletteLength;
  m_alpha = std::move(s.m_alpha);
  m_memBits = s.m_memBits;
  m_memBlock = s.m_memBlock;
  m_vclBitmap = s.m_vclBitmap;
  m_ownedBitmap = std::move(s.m_ownedBitmap);
  m_rowTable = std::move(s.m_rowTable);
  m_mappedRows = std::move(s.m_mappedRows);
  m_mappedRowIndexes = std::move(s.m_mappedRowIndexes);
  m_width = s.m_width;
  m_height = s.m_height;
  m_bitCount = s.m_bitCount;
  m_channelCount = s.m_channelCount;
  m_rowLen = s.m_rowLen;
  m_pixelFormat = s.m_pixelFormat;
  m_location = s.m_location;
  m_full = s.m_full;
  m_encapsulated = s.m_encapsulated;
  m_externalMemory = s.m_externalMemory;
  m_rowAlign = s.m_rowAlign;

  s.m_fileBuffer = std::make_unique<TImageFileBuffer>();
  s.m_currentFileRow = nullptr;
  s.m_currentFileRowIndex = -1;
  s.m_paletteLength = 0;
  s.m_memBits = s.m_memBlock = nullptr;
  s.m_vclBitmap = nullptr;
  s.m_rowTable.clear();
  s.m_mappedRows.clear();
  s.m_mappedRowIndexes.clear();
  s.m_width = s.m_height = s.m_bitCount = s.m_channelCount = s.m_rowLen = 0;
  s.m_pixelFormat = imNone;
  s.m_full = s.m_encapsulated = s.m_externalMemory = false;
  s.m_needRealloc = true;
}

void TImageBitmap::SwitchTo(TImageBitmap& target) {
  if (&target == this) return;
  resync();
  target.FreeImage(true);
  target.takeStorageFrom(*this);
  target.m_needRealloc = true;
}

// ---- Copying ----------------------------------------------------------------------------------

void TImageBitmap::copyPixelsFrom(const TImageBitmap& source) {
  TImageBitmap& src = const_cast<TImageBitmap&>(source);
  if (m_location == imFile && src.m_location == imFile && m_rowLen == src.m_rowLen &&
      m_height == src.m_height) {
    releaseFileRows();
    src.releaseFileRows();
    src.m_fileBuffer->CopyTo(*m_fileBuffer);
    return;
  }
  AccessScope readOnly(src, iaRead);
  AccessScope writeOnly(*this, iaWrite);
  const int rows = std::min(m_height, src.m_height);
  const size_t bytes = size_t(std::min(m_rowLen, src.m_rowLen));
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src.ScanLine(r);
    uint8_t* d = ScanLine(r);
    if (s && d) std::memcpy(d, s, bytes);
  }
  if (m_location == imFile) releaseFileRows();
}

void TImageBitmap::assignImpl(const TImageBitmap& source, bool withAlpha) {
  if (&source == this) return;
  source.resync();
  m_needRealloc = true;
  // CopyFrom never touches the alpha channel: keep it aside while the pixels are replaced.
  std::unique_ptr<TImageBitmap> keptAlpha = withAlpha ? nullptr : std::move(m_alpha);
  struct RestoreAlpha {
    std::unique_ptr<TImageBitmap>& from;
    std::unique_ptr<TImageBitmap>& to;
    bool active;
    ~RestoreAlpha() {
      if (active) to = std::move(from);
    }
  } restoreAlpha{keptAlpha, m_alpha, !withAlpha};
  TImageBitmap converted;
  const TImageBitmap* src = &source;
  if (m_location == imTBitmap) {
    if (source.IsEmpty()) return;
    if (!tbitmapFormat(source.m_pixelFormat)) {
      // The TBitmap holds only 1-, 8- and 24-bit pixels: grey formats go to im8g, the rest to
      // im24RGB, so rows never describe more than the TBitmap holds.
      converted.SetLocation(imMemory);
      converted.CopyFrom(source);
      converted.SetPixelFormat(
          source.m_pixelFormat == im16g || source.m_pixelFormat == im32f ? im8g : im24RGB);
      src = &converted;
    }
    releaseFileRows();
    m_palette.reset();
    m_paletteLength = 0;
    if (!m_vclBitmap) {
      m_ownedBitmap = std::make_unique<TBitmap>();
      m_vclBitmap = m_ownedBitmap.get();
      m_encapsulated = false;
    }
    const TImagePixelFormat f = src->m_pixelFormat;
    try {
      m_vclBitmap->SetSize(0, 0);
      m_vclBitmap->SetPixelFormat(f == im1g ? pf1bit : f == im24RGB ? pf24bit : pf8bit);
      m_vclBitmap->SetSize(src->m_width, src->m_height);
    } catch (...) {
      emptyAfterFailure();
      throw;
    }
    m_width = src->m_width;
    m_height = src->m_height;
    m_pixelFormat = f;
    m_full = src->m_full;
    if (f == im8g) m_vclBitmap->SetGreyRamp();
    if (f == im8p) {
      m_palette = std::make_unique<TRGB[]>(256);
      m_paletteLength = 256;
    }
    recomputeGeometry();
    rebuildRowTable();
  } else {
    FreeImage(true);
    m_rowAlign = source.m_rowAlign;
    Allocate(src->m_width, src->m_height, src->m_pixelFormat);
    m_full = source.m_full;
  }
  copyPixelsFrom(*src);
  if (withAlpha && !m_isAlpha) {
    if (source.m_alpha)
      AlphaChannel()->Assign(*source.m_alpha);
    else
      RemoveAlphaChannel(false);
  }
  if (m_palette && src->m_palette) {
    const int n = std::min(m_paletteLength, src->m_paletteLength);
    std::memcpy(m_palette.get(), src->m_palette.get(), size_t(n) * sizeof(TRGB));
    pushPaletteToTBitmap();
  }
  m_ditherMethod = source.m_ditherMethod;
  m_needRealloc = true;
}

void TImageBitmap::Assign(const TImageBitmap& source) { assignImpl(source, true); }

void TImageBitmap::CopyFrom(const TImageBitmap& source) {
  if (source.IsEmpty()) return;
  assignImpl(source, false);
}

void TImageBitmap::Assign(const TImageBaseBitmap& source) {
  if (auto* bitmap = dynamic_cast<const TImageBitmap*>(&source)) {
    Assign(*bitmap);
    return;
  }
  if (auto* dib = dynamic_cast<const TImageDibbitmap*>(&source)) {
    TImageDibbitmap& d = const_cast<TImageDibbitmap&>(*dib);
    m_needRealloc = true;
    Allocate(d.Width(), d.Height(), d.PixelFormat());
    if (IsEmpty()) return;
    const size_t bytes = size_t(std::min(RowLen(), d.RowLen()));
    AccessScope writeOnly(*this, iaWrite);
    for (int r = 0; r < m_height; ++r) {
      uint8_t* dst = ScanLine(r);
      if (dst) std::memcpy(dst, d.ScanLine(r), bytes);
    }
    RemoveAlphaChannel(false);
  }
}

void TImageBitmap::Assign(const TBitmap& source) {
  m_needRealloc = true;
  if (m_location == imTBitmap) {
    m_alpha.reset();
    if (!m_vclBitmap) {
      m_ownedBitmap = std::make_unique<TBitmap>();
      m_vclBitmap = m_ownedBitmap.get();
      m_encapsulated = false;
    }
    if (m_vclBitmap != &source) m_vclBitmap->Assign(source);
    resync();
    return;
  }
  const bool mono = source.PixelFormat() == pf1bit && source.Monochrome();
  TImagePixelFormat f = source.PixelFormat() == pf24bit ? im24RGB : mono ? im1g : im8p;
  FreeImage(true);
  Allocate(source.Width(), source.Height(), f);
  if (IsEmpty()) return;
  if (f == im8p) {
    const int n = source.PixelFormat() == pf1bit ? 2 : 256;
    for (int i = 0; i < n; ++i) m_palette[size_t(i)] = source.GetColor(i);
  }
  AccessScope writeOnly(*this, iaWrite);
  const int w = m_width;
  for (int r = 0; r < m_height; ++r) {
    const uint8_t* s = source.ScanLine(r);
    uint8_t* d = ScanLine(r);
    if (!s || !d) continue;
    if (f == im8p && source.PixelFormat() == pf1bit) {
      for (int x = 0; x < w; ++x) d[x] = getBit(s, x) ? 1 : 0;
    } else {
      std::memcpy(d, s, size_t(std::min(m_rowLen, source.RowLen())));
    }
  }
  m_full = false;
}

void TImageBitmap::CopyRectTo(TImageBitmap& dest, int sourceX, int sourceY, int destX, int destY,
                              int width, int height) const {
  resync();
  dest.resync();
  const TImagePixelFormat sf = m_pixelFormat, df = dest.m_pixelFormat;
  const bool plain = sf == df && sf != im1g && PixelFormatBytes(sf) > 0;
  const bool bits = sf == im1g && df == im1g;
  const bool expand = sf == im1g && df == im24RGB;
  if (!plain && !bits && !expand) return;
  int64_t sx = sourceX, sy = sourceY, dx = destX, dy = destY, w = width, h = height;
  if (dx < 0) {
    sx -= dx;
    w += dx;
    dx = 0;
  }
  if (dy < 0) {
    sy -= dy;
    h += dy;
    dy = 0;
  }
  if (sx < 0) {
    dx -= sx;
    w += sx;
    sx = 0;
  }
  if (sy < 0) {
    dy -= sy;
    h += sy;
    sy = 0;
  }
  w = std::min({w, int64_t(m_width) - sx, int64_t(dest.m_width) - dx});
  h = std::min({h, int64_t(m_height) - sy, int64_t(dest.m_height) - dy});
  if (w <= 0 || h <= 0) return;

  TImageBitmap& self = const_cast<TImageBitmap&>(*this);
  const int bpp = PixelFormatBytes(sf);
  std::vector<uint8_t> row(static_cast<size_t>(m_rowLen));
  for (int64_t r = 0; r < h; ++r) {
    // Through a row copy: source and destination may be the same file-backed buffer.
    const uint8_t* s = self.ScanLine(int(sy + r));
    if (!s) continue;
    std::memcpy(row.data(), s, row.size());
    uint8_t* d = dest.ScanLine(int(dy + r));
    if (!d) continue;
    if (plain) {
      std::memcpy(d + dx * bpp, row.data() + sx * bpp, size_t(w * bpp));
    } else if (bits) {
      for (int64_t x = 0; x < w; ++x) putBit(d, int(dx + x), getBit(row.data(), int(sx + x)));
    } else {
      for (int64_t x = 0; x < w; ++x)
        std::memset(d + (dx + x) * 3, getBit(row.data(), int(sx + x)) ? 255 : 0, 3);
    }
  }
}

// ---- Palette ----------------------------------------------------------------------------------

TRGB TImageBitmap::GetPalette(int index) const {
  resync();
  if (index < 0 || index >= m_paletteLength || !m_palette) return kBlack;
  return m_palette[size_t(index)];
}

void TImageBitmap::SetPalette(int index, TRGB color) {
  resync();
  if (index < 0 || index >= m_paletteLength || !m_palette) return;
  m_palette[size_t(index)] = color;
  pushPaletteToTBitmap();
}

int TImageBitmap::PaletteLength() const {
  resync();
  return m_paletteLength;
}

// ---- Geometry changes -------------------------------------------------------------------------

void TImageBitmap::resizeKeeping(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  resync();
  if (width == m_width && height == m_height) return;
  if (m_location == imTBitmap && m_vclBitmap) {
    if (m_alpha) m_alpha->resizeKeeping(width, height);
    m_vclBitmap->SetSize(width, height);  // keeps the common part, 1-bit rows included
    m_width = m_vclBitmap->Width();
    m_height = m_vclBitmap->Height();
    recomputeGeometry();
    rebuildRowTable();
    return;
  }
  if (m_pixelFormat == imNone || m_width == 0 || m_height == 0 || width == 0 || height == 0) {
    if (width == 0 || height == 0) {
      const TImagePixelFormat f = m_pixelFormat;
      FreeImage(true);
      m_pixelFormat = f;
    }
    m_width = width;
    m_height = height;
    recomputeGeometry();
    return;
  }
  TImageBitmap old;
  SwitchTo(old);
  m_rowAlign = old.m_rowAlign;
  m_location = old.m_location;
  try {
    m_needRealloc = true;
    Allocate(width, height, old.m_pixelFormat);
  } catch (...) {
    old.SwitchTo(*this);
    throw;
  }
  copyPixelsFrom(old);
  if (m_palette && old.m_palette)
    std::memcpy(m_palette.get(), old.m_palette.get(), 256 * sizeof(TRGB));
  if (old.m_alpha) {
    old.m_alpha->resizeKeeping(width, height);
    m_alpha = std::move(old.m_alpha);
  }
  m_full = old.m_full;
}

void TImageBitmap::SetWidth(int width) { resizeKeeping(width, Height()); }
void TImageBitmap::SetHeight(int height) { resizeKeeping(Width(), height); }

void TImageBitmap::SetLocation(TImageLocation location) {
  resync();
  if (location == m_location || location > imTBitmap) return;
  m_needRealloc = true;
  if (IsEmpty()) {
    FreeImage(false);
    m_location = location;
    return;
  }
  TImageBitmap old;
  old.m_isAlpha = m_isAlpha;
  SwitchTo(old);
  if (location == imTBitmap && !tbitmapFormat(old.m_pixelFormat))
    old.SetPixelFormat(old.m_pixelFormat == im16g || old.m_pixelFormat == im32f ? im8g : im24RGB);
  m_location = location;
  m_rowAlign = old.m_rowAlign;
  // An explicit move wins over the choice by size that Allocate makes.
  const int64_t minFileSize = m_minFileSize;
  m_minFileSize = location == imFile ? 0 : INT64_MAX;
  try {
    Allocate(old.m_width, old.m_height, old.m_pixelFormat);
  } catch (...) {
    m_minFileSize = minFileSize;
    m_location = old.m_location;
    old.SwitchTo(*this);
    throw;
  }
  m_minFileSize = minFileSize;
  copyPixelsFrom(old);
  if (m_palette && old.m_palette) {
    std::memcpy(m_palette.get(), old.m_palette.get(), 256 * sizeof(TRGB));
    pushPaletteToTBitmap();
  }
  m_alpha = std::move(old.m_alpha);
  m_full = old.m_full;
  m_needRealloc = true;
}

void TImageBitmap::SetRowAlign(int bits) {
  m_needRealloc = true;
  if (m_location != imMemory || bits < 8 || bits % 8 != 0 || bits == m_rowAlign) return;
  if (IsEmpty()) {
    m_rowAlign = bits;
    recomputeGeometry();
    return;
  }
  TImageBitmap old;
  SwitchTo(old);
  m_location = imMemory;
  m_rowAlign = bits;
  try {
    Allocate(old.m_width, old.m_height, old.m_pixelFormat);
  } catch (...) {
    m_rowAlign = old.m_rowAlign;
    old.SwitchTo(*this);
    throw;
  }
  copyPixelsFrom(old);
  if (m_palette && old.m_palette)
    std::memcpy(m_palette.get(), old.m_palette.get(), 256 * sizeof(TRGB));
  m_alpha = std::move(old.m_alpha);
  if (m_alpha) m_alpha->SetRowAlign(bits);
  m_full = old.m_full;
  m_needRealloc = true;
}

// ---- Pixel format conversion ------------------------------------------------------------------

void TImageBitmap::SetPixelFormat(TImagePixelFormat format) {
  resync();
  if (format == m_pixelFormat || format > imCIELab) return;
  if (m_location == imTBitmap && m_vclBitmap) {
    convertInTBitmap(format);
    return;
  }
  if (IsEmpty() || format == imNone) {
    if (format == imNone) FreeImage(false);
    m_pixelFormat = format;
    recomputeGeometry();
    return;
  }
  TImageBitmap old;
  old.m_isAlpha = m_isAlpha;
  SwitchTo(old);
  m_location = old.m_location;
  m_rowAlign = old.m_rowAlign;
  try {
    m_needRealloc = true;
    Allocate(old.m_width, old.m_height, format);
    convertFrom(old, format);
  } catch (...) {
    old.SwitchTo(*this);
    throw;
  }
  m_alpha = std::move(old.m_alpha);
  m_full = old.m_full;
}

void TImageBitmap::convertFrom(TImageBitmap& src, TImagePixelFormat to) {
  const TImagePixelFormat from = src.m_pixelFormat;
  const int w = m_width, h = m_height;
  const TRGB* pal = src.m_palette.get();
  const int palLen = src.m_paletteLength;

  if (to == im8p && from != im1g && from != im8g && from != im16g && from != im32f) {
    if (from != im24RGB) src.SetPixelFormat(im24RGB);
    AccessScope readOnly(src, iaRead);
    QuantizeToPalette(src, *this);
    return;
  }

  // Threshold for im1g: the luminance of the mean colour.
  int threshold = 0;
  if (to == im1g && from != im1g && m_ditherMethod != 0) {
    AccessScope readOnly(src, iaRead);
    int64_t sumR = 0, sumG = 0, sumB = 0;
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = src.ScanLine(y);
      for (int x = 0; x < w; ++x) {
        const TRGB c = decodePixel(from, s, x, pal, palLen);
        sumR += c.r;
        sumG += c.g;
        sumB += c.b;
      }
    }
    const int64_t n = int64_t(w) * h;
    threshold = GreyLevel(int(sumR / n), int(sumG / n), int(sumB / n));
  }

  if (to == im8p) {
    for (int i = 0; i < 256; ++i) m_palette[size_t(i)] = TRGB{uint8_t(i), uint8_t(i), uint8_t(i)};
    if (from == im1g) {
      std::memset(m_palette.get(), 0, 256 * sizeof(TRGB));
      m_palette[1] = kWhite;
    }
  }

  AccessScope readOnly(src, iaRead);
  AccessScope writeOnly(*this, iaWrite);
  for (int y = 0; y < h; ++y) {
    const uint8_t* s = src.ScanLine(y);
    uint8_t* d = ScanLine(y);
    if (!s || !d) continue;
    if (to == im1g && from == im1g) {
      std::memcpy(d, s, size_t(std::min(m_rowLen, src.m_rowLen)));
      continue;
    }
    for (int x = 0; x < w; ++x) {
      switch (to) {
        case im1g: {
          const int grey = GreyLevel(decodePixel(from, s, x, pal, palLen));
          const bool white =
              m_ditherMethod == 0 ? (grey >> 2) > kBayer[x & 7][y & 7] : grey >= threshold;
          putBit(d, x, white);
          break;
        }
        case im8p:
          d[x] = from == im1g ? (getBit(s, x) ? 1 : 0)
                              : uint8_t(GreyLevel(decodePixel(from, s, x, pal, palLen)));
          break;
        case im8g:
          d[x] = uint8_t(GreyLevel(decodePixel(from, s, x, pal, palLen)));
          break;
        case im16g: {
          unsigned v;
          if (from == im32f)
            v = truncClamp(double(rdFloat(s + 4 * x)) * 65535.0, 65535);
          else if (from == imRGB48)
            v = (rd16(s + 6 * x) * 212u + rd16(s + 6 * x + 2) * 713u + rd16(s + 6 * x + 4) * 75u) /
                1000u;
          else
            v = grey16(decodePixel(from, s, x, pal, palLen));
          wr16(d + 2 * x, v);
          break;
        }
        case im32f: {
          double v;
          if (from == im1g)
            v = getBit(s, x) ? 1.0 : 0.0;
          else if (from == im8g)
            v = s[x] / 255.0;
          else if (from == im16g)
            v = rd16(s + 2 * x) / 65535.0;
          else if (from == imRGB48)
            v = (0.2126 * rd16(s + 6 * x) + 0.7152 * rd16(s + 6 * x + 2) +
                 0.0722 * rd16(s + 6 * x + 4)) /
                256.0 / 255.0;
          else
            v = greyFloat(decodePixel(from, s, x, pal, palLen));
          wrFloat(d + 4 * x, float(v));
          break;
        }
        case imRGB48:
          if (from == im16g) {
            const unsigned v = rd16(s + 2 * x);
            wr16(d + 6 * x, v);
            wr16(d + 6 * x + 2, v);
            wr16(d + 6 * x + 4, v);
          } else if (from == im32f) {
            const unsigned v = truncClamp(double(rdFloat(s + 4 * x)) * 65535.0, 65535);
            wr16(d + 6 * x, v);
            wr16(d + 6 * x + 2, v);
            wr16(d + 6 * x + 4, v);
          } else {
            encodeColor(imRGB48, decodePixel(from, s, x, pal, palLen), d + 6 * x);
          }
          break;
        case im24RGB:
        case imCMYK:
        case imCIELab:
          encodeColor(to, decodePixel(from, s, x, pal, palLen), d + PixelFormatBytes(to) * x);
          break;
        default:
          break;
      }
    }
  }
  if (m_location == imFile) releaseFileRows();
}

void TImageBitmap::convertInTBitmap(TImagePixelFormat format) {
  TBitmap& b = *m_vclBitmap;
  if (b.Empty()) {
    if (format == im1g || format == im24RGB) {
      b.SetPixelFormat(format == im1g ? pf1bit : pf24bit);
      m_pixelFormat = format;
      recomputeGeometry();
      rebuildRowTable();
    }
    return;
  }
  const bool supported = (b.PixelFormat() == pf1bit && format == im24RGB) ||
                         (b.PixelFormat() == pf24bit && (format == im1g || format == im8g));
  if (!supported) return;  // the next query reports the TBitmap's real format again
  TImageBitmap work;
  work.SetLocation(imMemory);
  work.SetDitherMethod(m_ditherMethod);
  work.CopyFrom(*this);
  work.SetPixelFormat(format);
  b.SetPixelFormat(format == im1g ? pf1bit : format == im8g ? pf8bit : pf24bit);
  if (format == im8g) b.SetGreyRamp();
  m_pixelFormat = format;
  recomputeGeometry();
  rebuildRowTable();
  copyPixelsFrom(work);
}

// ---- Fills and pixels -------------------------------------------------------------------------

void TImageBitmap::FillRect(int x1, int y1, int x2, int y2, double value) {
  resync();
  if (IsEmpty()) return;
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, m_width - 1);
  y2 = std::min(y2, m_height - 1);
  if (x1 > x2 || y1 > y2) return;

  uint8_t pixel[8] = {};
  const int bpp = PixelFormatBytes(m_pixelFormat);
  // Values outside every format's range are cut before any integer or float conversion.
  const double bounded = std::isfinite(value) ? std::clamp(value, -3.0e38, 3.0e38) : 0.0;
  const uint32_t color = uint32_t(int64_t(std::clamp(bounded, -4.0e18, 4.0e18)) & 0xFFFFFF);
  const TRGB rgb{uint8_t(color >> 16), uint8_t(color >> 8), uint8_t(color)};
  bool opaque = false;
  switch (m_pixelFormat) {
    case im8p:
    case im8g:
      pixel[0] = uint8_t(truncClamp(value, 255));
      opaque = pixel[0] == 255;
      break;
    case im16g: {
      const unsigned v = truncClamp(value, 65535);
      wr16(pixel, v);
      opaque = v == 65535;
      break;
    }
    case im32f:
      wrFloat(pixel, float(bounded));
      opaque = value == 1.0;
      break;
    case im24RGB:
    case imCMYK:
    case imRGB48:
    case imCIELab:
      encodeColor(m_pixelFormat, rgb, pixel);
      opaque = rgb == kWhite;
      break;
    case im1g:
      opaque = value != 0;
      break;
    default:
      return;
  }
  const bool whole = x1 == 0 && y1 == 0 && x2 == m_width - 1 && y2 == m_height - 1;
  if (!opaque || !whole) m_full = false;
  if (opaque && whole) m_full = true;

  AccessScope access(*this, whole ? iaWrite : iaReadWrite);
  for (int y = y1; y <= y2; ++y) {
    uint8_t* d = ScanLine(y);
    if (!d) continue;
    if (m_pixelFormat == im1g) {
      if (whole) {
        std::memset(d, value != 0 ? 0xFF : 0, size_t(m_rowLen));
      } else {
        for (int x = x1; x <= x2; ++x) putBit(d, x, value != 0);
      }
    } else if (bpp == 1) {
      std::memset(d + x1, pixel[0], size_t(x2 - x1 + 1));
    } else {
      for (int x = x1; x <= x2; ++x) std::memcpy(d + int64_t(x) * bpp, pixel, size_t(bpp));
    }
  }
  if (m_location == imFile) releaseFileRows();
}

void TImageBitmap::Fill(double value) {
  resync();
  if (IsEmpty()) return;
  FillRect(0, 0, m_width - 1, m_height - 1, value);
}

TRGB TImageBitmap::Pixels(int x, int y) const {
  resync();
  if (x < 0 || y < 0 || x >= m_width || y >= m_height) return kBlack;
  const uint8_t* row = ScanLine(y);
  if (!row) return kBlack;
  return decodePixel(m_pixelFormat, row, x, m_palette.get(), m_paletteLength);
}

uint8_t TImageBitmap::Alpha(int x, int y) {
  TImageBitmap* a = AlphaChannel();
  if (!a || x < 0 || y < 0 || x >= a->Width() || y >= a->Height()) return 255;
  const uint8_t* row = a->ScanLine(y);
  return row ? row[x] : 255;
}

void TImageBitmap::SetAlpha(int x, int y, uint8_t value) {
  TImageBitmap* a = AlphaChannel();
  if (!a || x < 0 || y < 0 || x >= a->Width() || y >= a->Height()) return;
  uint8_t* row = a->ScanLine(y);
  if (!row) return;
  row[x] = value;
  if (value != 255) a->m_full = false;
}

// ---- Alpha channel ----------------------------------------------------------------------------

TImageBitmap* TImageBitmap::AlphaChannel() {
  if (m_isAlpha) return nullptr;
  resync();
  if (!m_alpha) m_alpha.reset(new TImageBitmap(AlphaTag{}, *this));
  return m_alpha.get();
}

void TImageBitmap::RemoveAlphaChannel(bool merge, TRGB background) {
  resync();
  if (m_alpha && merge && m_pixelFormat == im24RGB && !IsEmpty()) {
    TImageBitmap& a = *m_alpha;
    const int w = std::min(m_width, a.Width());
    const int h = std::min(m_height, a.Height());
    AccessScope readOnly(a, iaRead);
    for (int y = 0; y < h; ++y) {
      const uint8_t* ar = a.ScanLine(y);
      uint8_t* p = ScanLine(y);
      if (!ar || !p) continue;
      for (int x = 0; x < w; ++x) {
        const int k = ar[x] * 1024;
        const uint8_t bg[3] = {background.b, background.g, background.r};
        for (int c = 0; c < 3; ++c) {
          // Arithmetic shift: the division rounds toward minus infinity.
          const int v = bg[c] + (((int(p[3 * x + c]) - bg[c]) * k) >> 18);
          p[3 * x + c] = uint8_t(v);
        }
      }
    }
    if (m_location == imFile) releaseFileRows();
  }
  m_alpha.reset();
}

void TImageBitmap::SyncFull() {
  TImageBitmap* a = m_isAlpha ? this : m_alpha.get();
  if (!a) return;
  bool full = true;
  AccessScope readOnly(*a, iaRead);
  for (int y = 0; y < a->Height() && full; ++y) {
    const uint8_t* row = a->ScanLine(y);
    if (!row) continue;
    for (int x = 0; x < a->Width(); ++x) {
      if (row[x] != 255) {
        full = false;
        break;
      }
    }
  }
  a->m_full = full;
}

// ---- TImageWorkBitmap, TImageDibbitmap --------------------------------------------------------

void TImageWorkBitmap::Allocate(int width, int height, int bitCount) {
  if (width == m_width && height == m_height && bitCount == m_bitCount) return;
  if (width <= 0 || height <= 0 || bitCount <= 0) {
    m_bits.clear();
    m_width = m_height = m_bitCount = m_rowLen = 0;
    return;
  }
  if (!ImageSizeOk(width, height, bitCount)) {
    m_bits.clear();
    m_width = m_height = m_bitCount = m_rowLen = 0;
    throw std::length_error("Work image too large");
  }
  const int rowLen = int(ImageRowLen(width, bitCount, 32));
  m_bits.assign(size_t(rowLen) * size_t(height), 0);
  m_width = width;
  m_height = height;
  m_bitCount = bitCount;
  m_rowLen = rowLen;
}

uint8_t* TImageDibbitmap::ScanLine(int row) {
  if (row < 0 || row >= m_height || m_bits.empty()) return nullptr;
  return m_bits.data() + int64_t(m_rowLen) * (m_height - row - 1);
}

TImagePixelFormat TImageDibbitmap::PixelFormat() const {
  return m_bitCount == 24 ? im24RGB : m_bitCount == 1 ? im1g : imNone;
}

void TImageDibbitmap::Allocate(int width, int height, TImagePixelFormat format) {
  m_bits.clear();
  m_width = m_height = m_bitCount = m_rowLen = 0;
  if (width <= 0 || height <= 0 || (format != im24RGB && format != im1g)) return;
  const int bits = format == im24RGB ? 24 : 1;
  if (!ImageSizeOk(width, height, bits)) throw std::length_error("Bitmap too large");
  m_rowLen = int(ImageRowLen(width, bits, 32));
  m_bits.assign(size_t(m_rowLen) * size_t(height), 0);
  m_width = width;
  m_height = height;
  m_bitCount = bits;
}

void TImageDibbitmap::Assign(const TImageBaseBitmap& source) {
  TImageBaseBitmap& s = const_cast<TImageBaseBitmap&>(source);
  const TImagePixelFormat f = s.PixelFormat();
  Allocate(s.Width(), s.Height(), f);
  if (m_bits.empty()) return;
  const size_t bytes = size_t(std::min(m_rowLen, s.RowLen()));
  for (int r = 0; r < m_height; ++r) {
    const uint8_t* row = s.ScanLine(r);
    if (row) std::memcpy(ScanLine(r), row, bytes);
  }
}

}  // namespace lumaprep
