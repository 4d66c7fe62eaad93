#include "imaging/ioparams.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "imaging/bytereader.h"
#include "imaging/imageio.h"

namespace lumaprep {

// Set at start-up by the codecs that provide them (imaging/formats.cpp).
TGIFLZWDecompressFunc GIFLZWDecompressHook = nullptr;
TGIFLZWCompressFunc GIFLZWCompressHook = nullptr;
TTIFFLZWDecompressFunc TIFFLZWDecompressHook = nullptr;
TTIFFLZWCompressFunc TIFFLZWCompressHook = nullptr;

void InstallCodecHooks();  // formats.cpp

namespace {

// Today as a date-time value: days since 1899-12-30 with the time of day as the fraction.
double nowAsDateTime() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const double secs = duration<double>(now.time_since_epoch()).count();
  constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 counted from 1899-12-30
  return kUnixEpochDays + secs / 86400.0;
}

constexpr uint8_t kApp1 = 0xE1;
constexpr char kPhotoshopSignature[] = "Photoshop 3.0";  // followed by a zero byte
constexpr uint16_t kIptcResource = 0x0404;

}  // namespace

// ---- TImageMarkerList ---------------------------------------------------------------------

int TImageMarkerList::IndexOf(uint8_t type) const {
  for (size_t i = 0; i < m_items.size(); ++i)
    if (m_items[i].Type == type) return static_cast<int>(i);
  return -1;
}

int TImageMarkerList::AddMarker(uint8_t type, const void* data, size_t length) {
  Item item;
  item.Type = type;
  const auto* p = static_cast<const uint8_t*>(data);
  if (p && length) item.Data.assign(p, p + std::min(length, kMaxPayload));
  m_items.push_back(std::move(item));
  return Count() - 1;
}

void TImageMarkerList::SetMarker(int index, uint8_t type, const void* data, size_t length) {
  Item& item = m_items.at(index);
  item.Type = type;
  const auto* p = static_cast<const uint8_t*>(data);
  item.Data.clear();
  if (p && length) item.Data.assign(p, p + std::min(length, kMaxPayload));
}

void TImageMarkerList::DeleteMarker(int index) {
  if (index < 0 || index >= Count()) return;
  m_items.erase(m_items.begin() + index);
}

void TImageMarkerList::SortMarkers() {
  // Stable, so that markers of one type (ICC chunks, several comments) keep their order.
  std::stable_sort(m_items.begin(), m_items.end(),
                   [](const Item& a, const Item& b) { return a.Type < b.Type; });
  const int firstApp1 = IndexOf(kApp1);
  if (firstApp1 < 0) return;
  for (int i = firstApp1; i < Count() && m_items[i].Type == kApp1; ++i) {
    const auto& d = m_items[i].Data;
    if (d.size() >= 4 && std::memcmp(d.data(), "Exif", 4) == 0) {
      if (i != firstApp1) {
        Item exif = std::move(m_items[i]);
        m_items.erase(m_items.begin() + i);
        m_items.insert(m_items.begin() + firstApp1, std::move(exif));
      }
      break;
    }
  }
}

// ---- TImageIPTCInfoList -------------------------------------------------------------------

int TImageIPTCInfoList::IndexOf(uint8_t record, uint8_t dataSet) const {
  for (size_t i = 0; i < m_items.size(); ++i)
    if (m_items[i].Record == record && m_items[i].DataSet == dataSet) return static_cast<int>(i);
  return -1;
}

int TImageIPTCInfoList::AddStringItem(uint8_t record, uint8_t dataSet, const std::string& data) {
  m_items.push_back(Item{record, dataSet, data.substr(0, 0x7FFF)});
  m_changed = true;
  return Count() - 1;
}

void TImageIPTCInfoList::DeleteItem(int index) {
  if (index < 0 || index >= Count()) return;
  m_items.erase(m_items.begin() + index);
  m_changed = true;
}

void TImageIPTCInfoList::Clear() {
  if (!m_items.empty()) m_changed = true;
  m_items.clear();
}

void TImageIPTCInfoList::LoadFromStandardBuffer(const uint8_t* data, size_t length) {
  m_items.clear();
  m_changed = false;
  ByteReader r(data, length);
  const size_t sigLen = sizeof(kPhotoshopSignature);  // with the zero byte
  if (length < sigLen || std::memcmp(data, kPhotoshopSignature, sigLen) != 0) return;
  r.skip(sigLen);
  while (r.remaining() >= 12 && !r.failed()) {
    uint8_t sig[4];
    r.bytes(sig, 4);
    if (std::memcmp(sig, "8BIM", 4) != 0) break;
    const uint16_t id = r.u16be();
    const uint8_t nameLen = r.u8();
    r.skip(nameLen + ((nameLen + 1) & 1));  // the name and its length byte are padded to even
    const uint32_t size = r.u32be();
    if (r.failed() || size > r.remaining()) break;
    ByteReader res = r.sub(size);
    r.skip(size & 1);
    if (id != kIptcResource) continue;
    // IPTC-IIM datasets: 0x1C, record, dataset, 16-bit length, data.
    while (res.remaining() >= 5) {
      if (res.u8() != 0x1C) break;
      const uint8_t record = res.u8();
      const uint8_t dataSet = res.u8();
      const uint16_t len = res.u16be();
      if (len & 0x8000) break;  // extended lengths are not written by anyone in practice
      auto bytes = res.span(len);
      if (res.failed()) break;
      m_items.push_back(
          Item{record, dataSet, std::string(reinterpret_cast<const char*>(bytes.data()), len)});
    }
    break;
  }
}

std::vector<uint8_t> TImageIPTCInfoList::SaveToStandardBuffer() const {
  std::vector<uint8_t> iim;
  for (const Item& it : m_items) {
    const size_t len = std::min<size_t>(it.Data.size(), 0x7FFF);
    iim.push_back(0x1C);
    iim.push_back(it.Record);
    iim.push_back(it.DataSet);
    iim.push_back(static_cast<uint8_t>(len >> 8));
    iim.push_back(static_cast<uint8_t>(len));
    iim.insert(iim.end(), it.Data.begin(), it.Data.begin() + len);
  }
  if (iim.empty()) return {};
  std::vector<uint8_t> out(kPhotoshopSignature, kPhotoshopSignature + sizeof(kPhotoshopSignature));
  const uint8_t head[] = {'8', 'B', 'I', 'M', kIptcResource >> 8, kIptcResource & 0xFF, 0, 0};
  out.insert(out.end(), head, head + sizeof(head));
  const uint32_t size = static_cast<uint32_t>(iim.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(size >> shift));
  out.insert(out.end(), iim.begin(), iim.end());
  if (size & 1) out.push_back(0);
  return out;
}

// ---- TOwnedBitmap -------------------------------------------------------------------------

TOwnedBitmap::TOwnedBitmap(const TOwnedBitmap& other) { *this = other; }

TOwnedBitmap& TOwnedBitmap::operator=(const TOwnedBitmap& other) {
  if (this == &other) return *this;
  if (!other.m_bitmap) {
    m_bitmap.reset();
  } else {
    auto copy = std::make_unique<TImageBitmap>();
    copy->SetLocation(imMemory);
    copy->Assign(*other.m_bitmap);
    m_bitmap = std::move(copy);
  }
  return *this;
}

TOwnedBitmap::~TOwnedBitmap() = default;

TImageBitmap& TOwnedBitmap::Create() {
  if (!m_bitmap) {
    m_bitmap = std::make_unique<TImageBitmap>();
    m_bitmap->SetLocation(imMemory);
  }
  return *m_bitmap;
}

bool TOwnedBitmap::IsEmpty() const { return !m_bitmap || m_bitmap->IsEmpty(); }

// ---- TIOParamsVals ------------------------------------------------------------------------

TIOParamsVals::TIOParamsVals(TImageIO* owner) : Owner(owner) { SetDefaultParams(); }

TIOParamsVals::TIOParamsVals(const TIOParamsVals& other) = default;

TIOParamsVals& TIOParamsVals::operator=(const TIOParamsVals& other) = default;

TIOParamsVals::~TIOParamsVals() = default;

void TIOParamsVals::Assign(const TIOParamsVals& other) {
  if (this == &other) return;
  TImageIO* owner = Owner;
  *this = other;
  Owner = owner;
}

void TIOParamsVals::SetDefaultParams() {
  InstallCodecHooks();
  TImageIO* owner = Owner;
  // Every field to its in-class default in one assignment from a raw record.
  *this = TIOParamsVals(RawTag{});
  Owner = owner;
  if (owner && owner->ImageBitmap()) {
    Width = owner->ImageBitmap()->Width();
    Height = owner->ImageBitmap()->Height();
  }
  DpiX = ImageSettings().DefaultDpiX;
  DpiY = ImageSettings().DefaultDpiY;
  TIFF_LZWDecompress = TIFFLZWDecompressHook;
  TIFF_LZWCompress = TIFFLZWCompressHook;
  GIF_LZWDecompress = GIFLZWDecompressHook;
  GIF_LZWCompress = GIFLZWCompressHook;
  TGA_Date = nowAsDateTime();
}

void TIOParamsVals::ResetInfo() {
  IPTC_Info.Clear();
  IPTC_Info.SetChanged(false);
  ImagingAnnot.clear();
  JPEG_MarkerList.Clear();
  ClearExif();
  EXIF_Bitmap.reset();
  GIF_Comments.clear();
  PNG_TextKeys.clear();
  PNG_TextValues.clear();
  TIFF_DocumentName.clear();
  TIFF_ImageDescription.clear();
  TIFF_PageName.clear();
  TGA_Descriptor.clear();
  TGA_Author.clear();
  TGA_ImageName.clear();
  PXM_Comments.clear();
  XMP_Info.clear();
  InputICC.clear();
}

void TIOParamsVals::SetDpiX(int32_t value) {
  DpiX = value;
  EXIF_XResolution = value;
}

void TIOParamsVals::SetDpiY(int32_t value) {
  DpiY = value;
  EXIF_YResolution = value;
}

void TIOParamsVals::SetImageIndex(int32_t value) {
  ImageIndex = value;
  TIFF_ImageIndex = value;
  DCX_ImageIndex = value;
  GIF_ImageIndex = value;
  ICO_ImageIndex = value;
  CUR_ImageIndex = value;
}

void TIOParamsVals::SetImageCount(int32_t value) {
  ImageCount = value;
  TIFF_ImageCount = value;
  AVI_FrameCount = value;
  GIF_ImageCount = value;
  PDF_PageCount = value;
}

void TIOParamsVals::SetGetThumbnail(bool value) {
  GetThumbnail = value;
  JPEG_GetExifThumbnail = value;
}

void TIOParamsVals::SetTIFF_Orientation(int32_t value) {
  TIFF_Orientation = value;
  EXIF_Orientation = value;
}

void TIOParamsVals::SetColorMap(const TRGB* colors, int count) {
  if (!colors || count <= 0) {
    FreeColorMap();
    return;
  }
  ColorMap.assign(colors, colors + count);
  ColorMapCount = count;
}

void TIOParamsVals::FreeColorMap() {
  ColorMap.clear();
  ColorMapCount = 0;
}

}  // namespace lumaprep
