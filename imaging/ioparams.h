#pragma once
// TIOParamsVals: the per-image parameter record of a TImageIO. Readers fill it with what they
// learn from a file, writers take their settings from it, and the application may change
// fields between a read and a write. Fields are public and carry the format as a prefix.
//
// Fields with side effects have setters (SetDpiX, SetDpiY, SetImageIndex, SetImageCount,
// SetGetThumbnail, SetTIFF_Orientation): codecs and callers use them when the linked fields
// must follow.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/imagebitmap.h"

namespace lumaprep {

class Stream;
class TImageIO;

// ---------------------------------------------------------------------------------------
// Markers of a JPEG file (APP0..APP15 = 0xE0..0xEF, COM = 0xFE) with their payloads
// (without the marker code and the length word, at most 65,533 bytes each).
class TImageMarkerList {
 public:
  static constexpr size_t kMaxPayload = 65533;

  int Count() const { return static_cast<int>(m_items.size()); }
  uint8_t MarkerType(int index) const { return m_items.at(index).Type; }
  const std::vector<uint8_t>& MarkerData(int index) const { return m_items.at(index).Data; }
  int MarkerLength(int index) const { return static_cast<int>(m_items.at(index).Data.size()); }
  // Index of the first marker of that type, -1 when none.
  int IndexOf(uint8_t type) const;
  // Payloads longer than kMaxPayload are cut to kMaxPayload bytes.
  int AddMarker(uint8_t type, const void* data, size_t length);
  int AddMarker(uint8_t type, const std::vector<uint8_t>& data) {
    return AddMarker(type, data.data(), data.size());
  }
  void SetMarker(int index, uint8_t type, const void* data, size_t length);
  void DeleteMarker(int index);
  void Clear() { m_items.clear(); }
  void Assign(const TImageMarkerList& other) { m_items = other.m_items; }
  // Orders the markers by type (stable for equal types), then moves the first APP1 whose
  // payload starts with "Exif" to the position of the first APP1.
  void SortMarkers();

 private:
  struct Item {
    uint8_t Type = 0;
    std::vector<uint8_t> Data;
  };
  std::vector<Item> m_items;
};

// ---------------------------------------------------------------------------------------
// IPTC records (record number, dataset number, data), read from and written to the
// Photoshop resource block (resource 0x0404) of a JPEG APP13 marker.
class TImageIPTCInfoList {
 public:
  struct Item {
    uint8_t Record = 2;
    uint8_t DataSet = 0;
    std::string Data;
  };

  int Count() const { return static_cast<int>(m_items.size()); }
  const Item& At(int index) const { return m_items.at(index); }
  // Index of the first record with that record and dataset number, -1 when none.
  int IndexOf(uint8_t record, uint8_t dataSet) const;
  std::string StringItem(int index) const { return m_items.at(index).Data; }
  int AddStringItem(uint8_t record, uint8_t dataSet, const std::string& data);
  void DeleteItem(int index);
  void Clear();
  void Assign(const TImageIPTCInfoList& other) { *this = other; }

  // Parses the IPTC records out of a Photoshop resource block ("Photoshop 3.0\0" then 8BIM
  // resources). Data that does not parse is ignored. Clears Changed.
  void LoadFromStandardBuffer(const uint8_t* data, size_t length);
  // Builds a Photoshop resource block with one 0x0404 resource holding the records; empty
  // when the list is empty.
  std::vector<uint8_t> SaveToStandardBuffer() const;

  // Set by every change; the JPEG writer rebuilds the APP13 marker when it is set.
  bool Changed() const { return m_changed; }
  void SetChanged(bool changed) { m_changed = changed; }

 private:
  std::vector<Item> m_items;
  bool m_changed = false;
};

// ---------------------------------------------------------------------------------------
// LZW coder hooks of GIF and TIFF. Each record carries a pair; an empty hook means "use the
// process-wide one".
//
// GIF: reads one image-data section starting at the minimum-code-size byte into indices
// (width x height bytes, top row first); on failure the stream is left where it was.
using TGIFLZWDecompressFunc = void (*)(Stream& stream, int height, int width, bool interlaced,
                                       uint8_t* indices);
// GIF: writes one image-data section (minimum code size, sub-blocks, terminator).
using TGIFLZWCompressFunc = void (*)(Stream& stream, int height, int width, bool interlaced,
                                     const uint8_t* indices, int bitsPerPixel);
// TIFF: the first call (state == nullptr) creates the state for the strip data and returns the
// first row; each further call returns the next row of rowLength bytes, nullptr on a decoding
// error; a call with stripData == nullptr releases the state.
using TTIFFLZWDecompressFunc = const uint8_t* (*)(const uint8_t* stripData, size_t stripSize,
                                                  size_t rowLength, void*& state);
// TIFF: the first call creates the state and writes the clear code; each call encodes one row;
// a call with row == nullptr writes the last code, the end code and the pending bits and
// releases the state.
using TTIFFLZWCompressFunc = void (*)(const uint8_t* row, size_t rowLength, Stream& stream,
                                      void*& state);

extern TGIFLZWDecompressFunc GIFLZWDecompressHook;
extern TGIFLZWCompressFunc GIFLZWCompressHook;
extern TTIFFLZWDecompressFunc TIFFLZWDecompressHook;
extern TTIFFLZWCompressFunc TIFFLZWCompressHook;

// ---------------------------------------------------------------------------------------
// The EXIF block: one field per EXIF, TIFF and GPS tag taken from an EXIF structure. Text tags
// are strings, wide-text tags (XP*) UTF-16 strings, rationals doubles, shorts and longs
// int32. Absent tags read 0 (or -1 where marked). EXIF_Bitmap (the thumbnail) lives in
// TIOParamsVals.
struct TIOExifFields {
  bool EXIF_HasEXIFData = false;
  // main directory
  std::string EXIF_ImageDescription;          // 270
  std::string EXIF_Make;                      // 271
  std::string EXIF_Model;                     // 272
  int32_t EXIF_Orientation = 0;               // 274
  double EXIF_XResolution = 0;                // 282
  double EXIF_YResolution = 0;                // 283
  int32_t EXIF_ResolutionUnit = 0;            // 296: 2 inches, 3 centimetres
  std::string EXIF_Software;                  // 305
  std::string EXIF_DateTime;                  // 306
  std::string EXIF_Artist;                    // 315
  double EXIF_WhitePoint[2] = {};             // 318
  double EXIF_PrimaryChromaticities[6] = {};  // 319
  double EXIF_YCbCrCoefficients[3] = {};      // 529
  int32_t EXIF_YCbCrPositioning = 0;          // 531
  double EXIF_ReferenceBlackWhite[6] = {};    // 532
  std::string EXIF_Copyright;                 // 33432
  std::u16string EXIF_XPTitle;                // 40091
  std::u16string EXIF_XPComment;              // 40092
  std::u16string EXIF_XPAuthor;               // 40093
  std::u16string EXIF_XPKeywords;             // 40094
  std::u16string EXIF_XPSubject;              // 40095
  // EXIF directory
  double EXIF_ExposureTime = 0;               // 33434
  double EXIF_FNumber = 0;                    // 33437
  int32_t EXIF_ExposureProgram = 0;           // 34850
  int32_t EXIF_ISOSpeedRatings[2] = {};       // 34855
  std::string EXIF_ExifVersion;               // 36864
  std::string EXIF_DateTimeOriginal;          // 36867
  std::string EXIF_DateTimeDigitized;         // 36868
  double EXIF_CompressedBitsPerPixel = 0;     // 37122
  double EXIF_ShutterSpeedValue = 0;          // 37377
  double EXIF_ApertureValue = 0;              // 37378
  double EXIF_BrightnessValue = 0;            // 37379
  double EXIF_ExposureBiasValue = 0;          // 37380
  double EXIF_MaxApertureValue = 0;           // 37381
  double EXIF_SubjectDistance = 0;            // 37382
  int32_t EXIF_MeteringMode = 0;              // 37383
  int32_t EXIF_LightSource = 0;               // 37384
  int32_t EXIF_Flash = 0;                     // 37385
  double EXIF_FocalLength = 0;                // 37386
  std::vector<uint8_t> EXIF_MakerNote;        // 37500
  std::string EXIF_UserComment;               // 37510
  std::string EXIF_SubsecTime;                // 37520
  std::string EXIF_SubsecTimeOriginal;        // 37521
  std::string EXIF_SubsecTimeDigitized;       // 37522
  std::string EXIF_FlashPixVersion;           // 40960
  int32_t EXIF_ColorSpace = 0;                // 40961
  int32_t EXIF_ExifImageWidth = 0;            // 40962
  int32_t EXIF_ExifImageHeight = 0;           // 40963
  std::string EXIF_RelatedSoundFile;          // 40964
  double EXIF_FocalPlaneXResolution = 0;      // 41486
  double EXIF_FocalPlaneYResolution = 0;      // 41487
  int32_t EXIF_FocalPlaneResolutionUnit = 0;  // 41488
  double EXIF_ExposureIndex = 0;              // 41493
  int32_t EXIF_SensingMethod = 0;             // 41495
  int32_t EXIF_FileSource = 0;                // 41728
  int32_t EXIF_SceneType = 0;                 // 41729
  int32_t EXIF_ExposureMode = -1;             // 41986
  int32_t EXIF_WhiteBalance = -1;             // 41987
  double EXIF_DigitalZoomRatio = 0;           // 41988
  int32_t EXIF_FocalLengthIn35mmFilm = 0;     // 41989
  int32_t EXIF_SceneCaptureType = -1;         // 41990
  int32_t EXIF_GainControl = -1;              // 41991
  int32_t EXIF_Contrast = -1;                 // 41992
  int32_t EXIF_Saturation = -1;               // 41993
  int32_t EXIF_Sharpness = -1;                // 41994
  int32_t EXIF_SubjectDistanceRange = -1;     // 41996
  std::string EXIF_ImageUniqueID;             // 42016
  // GPS directory (tags 0..26 and 29)
  bool EXIF_HasGPSData = false;
  std::string EXIF_GPSVersionID;         // 0
  std::string EXIF_GPSLatitudeRef;       // 1
  double EXIF_GPSLatitude[3] = {};       // 2: degrees, minutes, seconds
  std::string EXIF_GPSLongitudeRef;      // 3
  double EXIF_GPSLongitude[3] = {};      // 4
  int32_t EXIF_GPSAltitudeRef = 0;       // 5
  double EXIF_GPSAltitude = 0;           // 6
  double EXIF_GPSTimeStamp[3] = {};      // 7
  std::string EXIF_GPSSatellites;        // 8
  std::string EXIF_GPSStatus;            // 9
  std::string EXIF_GPSMeasureMode;       // 10
  double EXIF_GPSDOP = 0;                // 11
  std::string EXIF_GPSSpeedRef;          // 12
  double EXIF_GPSSpeed = 0;              // 13
  std::string EXIF_GPSTrackRef;          // 14
  double EXIF_GPSTrack = 0;              // 15
  std::string EXIF_GPSImgDirectionRef;   // 16
  double EXIF_GPSImgDirection = 0;       // 17
  std::string EXIF_GPSMapDatum;          // 18
  std::string EXIF_GPSDestLatitudeRef;   // 19
  double EXIF_GPSDestLatitude[3] = {};   // 20
  std::string EXIF_GPSDestLongitudeRef;  // 21
  double EXIF_GPSDestLongitude[3] = {};  // 22
  std::string EXIF_GPSDestBearingRef;    // 23
  double EXIF_GPSDestBearing = 0;        // 24
  std::string EXIF_GPSDestDistanceRef;   // 25
  double EXIF_GPSDestDistance = 0;       // 26
  std::string EXIF_GPSDateStamp;         // 29

  // Copies every EXIF field (not the thumbnail).
  void AssignExif(const TIOExifFields& other) { *this = other; }
  // Every EXIF field back to "absent".
  void ClearExif() { *this = TIOExifFields{}; }
};

// A deep-copying owner of an optional image (the EXIF thumbnail).
class TOwnedBitmap {
 public:
  TOwnedBitmap() = default;
  TOwnedBitmap(const TOwnedBitmap& other);
  TOwnedBitmap& operator=(const TOwnedBitmap& other);
  TOwnedBitmap(TOwnedBitmap&&) noexcept = default;
  TOwnedBitmap& operator=(TOwnedBitmap&&) noexcept = default;
  ~TOwnedBitmap();

  TImageBitmap* get() const { return m_bitmap.get(); }
  TImageBitmap* operator->() const { return m_bitmap.get(); }
  TImageBitmap& operator*() const { return *m_bitmap; }
  explicit operator bool() const { return m_bitmap != nullptr; }
  // Creates an empty bitmap when there is none and returns it.
  TImageBitmap& Create();
  void reset() { m_bitmap.reset(); }
  // True when there is no bitmap or it holds no image.
  bool IsEmpty() const;

 private:
  std::unique_ptr<TImageBitmap> m_bitmap;
};

// An ICC profile as stored in the file (empty: none).
using TImageICC = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------
class TIOParamsVals : public TIOExifFields {
 public:
  explicit TIOParamsVals(TImageIO* owner = nullptr);
  TIOParamsVals(const TIOParamsVals& other);
  TIOParamsVals& operator=(const TIOParamsVals& other);
  ~TIOParamsVals();

  // Every field to its default; frees ColorMap, the thumbnail, the profiles; empties lists.
  void SetDefaultParams();
  // Per load: empties the metadata (IPTC, markers, EXIF, comments, texts, XMP, InputICC);
  // every other field keeps its value.
  void ResetInfo();
  // Copies every field of other (deep copies of lists, ColorMap, thumbnail and profiles);
  // Owner stays.
  void Assign(const TIOParamsVals& other);

  // Setters with side effects.
  void SetDpiX(int32_t value);              // also EXIF_XResolution
  void SetDpiY(int32_t value);              // also EXIF_YResolution
  void SetImageIndex(int32_t value);        // also TIFF_, DCX_, GIF_, ICO_, CUR_ImageIndex
  void SetImageCount(int32_t value);        // also TIFF_ImageCount, AVI_FrameCount, GIF_ImageCount,
                                            // PDF_PageCount
  void SetGetThumbnail(bool value);         // also JPEG_GetExifThumbnail
  void SetTIFF_Orientation(int32_t value);  // also EXIF_Orientation
  // Replaces the palette of the file read (ColorMapCount follows).
  void SetColorMap(const TRGB* colors, int count);
  void FreeColorMap();

  TImageIO* Owner = nullptr;

  int32_t BitsPerSample = 8;
  std::string FileName;
  int32_t SamplesPerPixel = 3;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t DpiX = 300;
  int32_t DpiY = 300;
  int32_t FileType = 0;  // TIOFileType
  int32_t ImageIndex = 0;
  int32_t ImageCount = 0;
  bool GetThumbnail = false;

  uint8_t TIFF_Compression = 0;
  int32_t TIFF_ImageIndex = 0;
  int32_t TIFF_SubIndex = -1;
  uint8_t TIFF_PhotometInterpret = 2;
  int32_t TIFF_PlanarConf = 1;
  int32_t TIFF_XPos = 0;
  int32_t TIFF_YPos = 0;
  std::string TIFF_DocumentName;
  std::string TIFF_ImageDescription;
  std::string TIFF_PageName;
  int32_t TIFF_PageNumber = -1;
  int32_t TIFF_PageCount = -1;
  int32_t TIFF_Orientation = 1;
  TTIFFLZWDecompressFunc TIFF_LZWDecompress = nullptr;
  TTIFFLZWCompressFunc TIFF_LZWCompress = nullptr;
  bool TIFF_EnableAdjustOrientation = false;
  int32_t TIFF_JPEGQuality = 80;
  uint8_t TIFF_JPEGColorSpace = 2;
  int32_t TIFF_ZIPCompression = 1;
  int32_t TIFF_ImageCount = 0;
  int32_t TIFF_FillOrder = 1;
  bool TIFF_ByteOrder = true;

  int32_t DCX_ImageIndex = 0;

  std::string GIF_Version = "GIF89a";
  int32_t GIF_ImageIndex = 0;
  int32_t GIF_XPos = 0;
  int32_t GIF_YPos = 0;
  int32_t GIF_DelayTime = 0;
  bool GIF_HasTransparency = false;
  TRGB GIF_TransparentColor = {0, 0, 0};
  bool GIF_Interlaced = false;
  int32_t GIF_ScreenWidth = 0;
  int32_t GIF_ScreenHeight = 0;
  TRGB GIF_Background = {0, 0, 0};
  int32_t GIF_AspectRatio = 0;
  std::vector<std::string> GIF_Comments;
  uint8_t GIF_Disposal = 2;
  TGIFLZWDecompressFunc GIF_LZWDecompress = nullptr;
  TGIFLZWCompressFunc GIF_LZWCompress = nullptr;
  int32_t GIF_ImageCount = 0;

  // 0 RGB, 1 grey, 2 YCbCr, 3 CMYK, 4 YCCK
  uint8_t JPEG_ColorSpace = 2;
  int32_t JPEG_Quality = 80;
  // 0 integer slow, 1 integer fast, 2 float
  uint8_t JPEG_DCTMethod = 0;
  bool JPEG_OptimizeCoding = false;
  int32_t JPEG_Smoothing = 0;
  bool JPEG_Progressive = false;
  // 0 automatic, 1 full size, 2 half, 3 quarter, 4 eighth
  uint8_t JPEG_Scale = 1;
  TImageMarkerList JPEG_MarkerList;
  int32_t JPEG_ScaleUsed = 1;
  int32_t JPEG_WarningCount = 0;
  int32_t JPEG_LastWarning = 0;
  int32_t JPEG_FullWidth = 0;
  int32_t JPEG_FullHeight = 0;
  bool JPEG_EnableAdjustOrientation = false;
  bool JPEG_GetExifThumbnail = false;

  uint8_t J2K_ColorSpace = 1;
  double J2K_Rate = 1.0;
  uint8_t J2K_ProgressionOrder = 0;

  int32_t PCX_Version = 5;
  uint8_t PCX_Compression = 1;

  uint8_t BMP_Version = 1;
  uint8_t BMP_Compression = 0;
  bool BMP_HandleTransparency = false;

  int32_t ICO_ImageIndex = 0;
  TRGB ICO_Background = {255, 255, 255};

  int32_t CUR_ImageIndex = 0;
  int32_t CUR_XHotSpot = 0;
  int32_t CUR_YHotSpot = 0;
  TRGB CUR_Background = {255, 255, 255};

  bool PNG_Interlaced = false;
  TRGB PNG_Background = {0, 0, 0};
  uint8_t PNG_Filter = 0;
  int32_t PNG_Compression = 5;
  std::vector<std::string> PNG_TextKeys;
  std::vector<std::string> PNG_TextValues;

  int32_t TGA_XPos = 0;
  int32_t TGA_YPos = 0;
  bool TGA_Compressed = true;
  std::string TGA_Descriptor;
  std::string TGA_Author;
  double TGA_Date = 0;  // days since 1899-12-30, fraction = time of day
  std::string TGA_ImageName;
  TRGB TGA_Background = {0, 0, 0};
  double TGA_AspectRatio = 1.0;
  double TGA_Gamma = 2.2;
  bool TGA_GrayLevel = false;

  TImageIPTCInfoList IPTC_Info;
  // Image annotations of TIFF files: not used by this program; kept as the raw tag data.
  std::vector<uint8_t> ImagingAnnot;

  std::vector<std::string> PXM_Comments;

  TOwnedBitmap EXIF_Bitmap;  // the EXIF thumbnail; EXIF_* fields: see TIOExifFields

  int32_t AVI_FrameCount = 0;
  int32_t AVI_FrameDelayTime = 0;

  // PostScript and PDF writers (not used by this program)
  int32_t PS_PaperWidth = 595;
  int32_t PS_PaperHeight = 842;
  int32_t PS_Compression = 1;
  std::string PS_Title = "No Title";
  int32_t PDF_PaperWidth = 595;
  int32_t PDF_PaperHeight = 842;
  int32_t PDF_Compression = 2;
  std::string PDF_Title;
  std::string PDF_Author;
  std::string PDF_Subject;
  std::string PDF_Keywords;
  std::string PDF_Creator;
  std::string PDF_Producer;
  int32_t PDF_PageCount = 0;  // the fourth count field that ImageCount sets

  // camera-raw and headerless pixel readers (not used by this program)
  double RAW_Gamma = 0.6;
  double RAW_Bright = 1.0;
  double RAW_RedScale = 1.0;
  double RAW_BlueScale = 1.0;
  bool RAW_QuickInterpolate = true;
  int32_t BMPRAW_RowAlign = 8;
  int32_t BMPRAW_HeaderSize = 0;

  bool PSD_LoadLayers = false;
  bool PSD_ReplaceLayers = true;

  std::string XMP_Info;

  bool IsNativePixelFormat = false;

  std::vector<TRGB> ColorMap;  // palette of the file read (empty: none)
  int32_t ColorMapCount = 0;

  int32_t ICO_Sizes[16][2] = {{64, 64}};  // width, height
  int32_t ICO_BitCount[16] = {8};

  TImageICC InputICC;
  TImageICC OutputICC;
  TImageICC DefaultICC;

 private:
  struct RawTag {};
  explicit TIOParamsVals(RawTag) {}  // the in-class defaults only
};

}  // namespace lumaprep
