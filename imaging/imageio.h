#pragma once
// TImageIO reads image files into an image buffer and writes the buffer back, choosing the
// codec by the file name's extension (or by content for streams). The format registry and the
// codec contract live here too; the built-in format table is imaging/formats.cpp.
//
// Failures travel two ways: a file that cannot be opened or created raises EFOpenError /
// EFCreateError (stream.h), a library error while writing raises the codec's exception; bad
// image data only sets the abort flag (Aborting()).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "imaging/imagebitmap.h"
#include "imaging/ioparams.h"
#include "imaging/stream.h"

namespace lumaprep {

// ---------------------------------------------------------------------------------------
// File formats (stored in TIOParamsVals::FileType).
using TIOFileType = int32_t;
constexpr TIOFileType ioUnknown = 0;
constexpr TIOFileType ioTIFF = 1;
constexpr TIOFileType ioGIF = 2;
constexpr TIOFileType ioJPEG = 3;
constexpr TIOFileType ioPCX = 4;
constexpr TIOFileType ioBMP = 5;
constexpr TIOFileType ioICO = 6;
constexpr TIOFileType ioCUR = 7;
constexpr TIOFileType ioPNG = 8;
constexpr TIOFileType ioWMF = 9;
constexpr TIOFileType ioEMF = 10;
constexpr TIOFileType ioTGA = 11;
constexpr TIOFileType ioPXM = 12;
constexpr TIOFileType ioJP2 = 13;
constexpr TIOFileType ioJ2K = 14;
constexpr TIOFileType ioAVI = 15;
constexpr TIOFileType ioWBMP = 16;
constexpr TIOFileType ioPS = 17;
constexpr TIOFileType ioPDF = 18;
constexpr TIOFileType ioDCX = 19;
constexpr TIOFileType ioRAW = 20;
constexpr TIOFileType ioRawPixels = 21;
constexpr TIOFileType ioPSD = 24;
constexpr TIOFileType ioVEC = 25;
constexpr TIOFileType ioLYR = 26;
constexpr TIOFileType ioALL = 27;

// ---------------------------------------------------------------------------------------
// Handed to every codec, built on the stack by each load and save. A codec reports progress
// through Progress(), checks Aborted() between rows, and calls Fail() when the data is bad.
struct TProgressRec {
  // Progress hook: (sender, percent). Empty: no progress reports.
  std::function<void(void* sender, int percent)> fOnProgress;
  void* Sender = nullptr;
  int Val = 0;               // running counter, free for the codec
  double Per = 0;            // scale factor, normally 100 / total rows
  bool* Aborting = nullptr;  // the component's abort flag (never null while a codec runs)

  void Progress(int percent) const {
    if (fOnProgress) fOnProgress(Sender, percent);
  }
  bool Aborted() const { return Aborting && *Aborting; }
  void Fail() const {
    if (Aborting) *Aborting = true;
  }
};

// ---------------------------------------------------------------------------------------
// The codec contract.
// read: allocates bitmap (TImageBitmap::Allocate) and fills it row by row, fills the
// parameters it knows, sets the abort flag on bad data. With paramsOnly only the parameters.
using TReadFunction = void (*)(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                               bool paramsOnly, TProgressRec& progress);
// write: writes the whole bitmap at the stream position; sets the abort flag on failure.
using TWriteFunction = void (*)(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                                TProgressRec& progress);
// probe: looks at the data from the current position and restores the position.
using TTryFunction = bool (*)(Stream& stream);

// ---------------------------------------------------------------------------------------
// The format registry.
struct TImageFileFormatInfo {
  TIOFileType FileType = ioUnknown;
  std::string FullName;        // at most 80 characters
  std::string Extensions;      // upper case, separated by ";", e.g. "JPG;JPEG;JPE;JIF"
  uint8_t InternalFormat = 0;  // 1 for the built-in formats
  uint16_t DialogPage = 0;
  TReadFunction ReadFunction = nullptr;
  TWriteFunction WriteFunction = nullptr;
  TTryFunction TryFunction = nullptr;
};

// Appends a copy of info (plug-in codecs register this way; InternalFormat 0).
void AddFileFormat(const TImageFileFormatInfo& info);
// Removes the entry of that file type (the first one).
void RemoveFileFormat(TIOFileType fileType);
// The entry of a file type, nullptr when none. The pointer is valid until the next change.
const TImageFileFormatInfo* GetFileFormatInfo(TIOFileType fileType);
// The first entry (list order, then extension order) listing ext (with or without the dot,
// any case); nullptr when none.
const TImageFileFormatInfo* GetFileFormatInfoByExt(const std::string& ext);
int GetFileFormatCount();
const TImageFileFormatInfo& GetFileFormatAt(int index);
int GetFileExtensionCount(const TImageFileFormatInfo& info);
// The extension with that index, lower case without the dot ("" when out of range).
std::string GetFileExtension(const TImageFileFormatInfo& info, int index);
// Puts the registry back to the built-in entries.
void ResetFileFormats();

// The codec functions of a built-in format (imaging/formats.cpp). Any of them may be null:
// the format then fails quietly through the abort flag when read or written. The hooks let a
// format do its own work around the codec in the file-name and stream frames.
struct TInternalCodec {
  TIOFileType FileType = ioUnknown;
  TReadFunction Read = nullptr;
  TWriteFunction Write = nullptr;
  TTryFunction Try = nullptr;
  void (*BeforeRead)(TImageIO& io) = nullptr;
  void (*AfterRead)(TImageIO& io) = nullptr;
  void (*BeforeWrite)(TImageIO& io) = nullptr;
};
const TInternalCodec* FindInternalCodec(TIOFileType fileType);

// The file type of the data at the stream's position (ioUnknown when none); the position is
// put back.
TIOFileType FindStreamFormat(Stream& stream);
// The file type of a file by content and extension; 0 when it cannot be opened.
TIOFileType FindFileFormat(const std::string& fileName, bool verify = false);
// Lower-cased extension with its dot (".jpg"), "" when the name has none.
std::string ExtractFileExtLower(const std::string& fileName);

// ---------------------------------------------------------------------------------------
class TImageIO {
 public:
  // attachedBitmap: the buffer to work on (a view's imTBitmap buffer); nullptr gives the
  // component a private buffer of its own.
  explicit TImageIO(TImageBitmap* attachedBitmap = nullptr);
  virtual ~TImageIO();
  TImageIO(const TImageIO&) = delete;
  TImageIO& operator=(const TImageIO&) = delete;

  // Attaches another buffer (nullptr: back to a private buffer).
  void SetAttachedBitmap(TImageBitmap* bitmap);
  TImageBitmap* AttachedBitmap() const { return m_attached; }

  // Reads the file into ImageBitmap() by its extension. Success: Aborting() is false.
  virtual void LoadFromFile(const std::string& fileName);
  // Writes ImageBitmap() in the format of the extension with the settings in Params(); the
  // target is replaced only when the writer succeeded.
  virtual void SaveToFile(const std::string& fileName);
  // Reads an image from the stream's position, the format found by FindStreamFormat.
  virtual void LoadFromStream(Stream& stream);

  // The per-format frames. fileType is a built-in format (ioJPEG, ioBMP, ...).
  void LoadFromFileFormat(const std::string& fileName, TIOFileType fileType);
  void SaveToFileFormat(const std::string& fileName, TIOFileType fileType);
  void LoadFromStreamFormat(Stream& stream, TIOFileType fileType);
  void SaveToStreamFormat(Stream& stream, TIOFileType fileType);
  void LoadFromFileJpeg(const std::string& fileName) { LoadFromFileFormat(fileName, ioJPEG); }
  void SaveToFileJpeg(const std::string& fileName) { SaveToFileFormat(fileName, ioJPEG); }
  void LoadFromStreamJpeg(Stream& stream) { LoadFromStreamFormat(stream, ioJPEG); }
  void SaveToStreamJpeg(Stream& stream) { SaveToStreamFormat(stream, ioJPEG); }

  TIOParamsVals& Params() { return *m_params; }
  const TIOParamsVals& Params() const { return *m_params; }
  TImageBitmap* ImageBitmap() const { return m_bitmap; }
  bool Aborting() const { return m_aborting; }
  void SetAborting(bool value) { m_aborting = value; }

  TRGB Background() const { return m_background; }
  void SetBackground(TRGB color) { m_background = color; }
  bool NativePixelFormat() const { return m_params->IsNativePixelFormat; }
  void SetNativePixelFormat(bool value) { m_params->IsNativePixelFormat = value; }
  bool AutoAdjustDPI() const { return m_autoAdjustDPI; }
  void SetAutoAdjustDPI(bool value) { m_autoAdjustDPI = value; }
  bool FilteredAdjustDPI() const { return m_filteredAdjustDPI; }
  void SetFilteredAdjustDPI(bool value) { m_filteredAdjustDPI = value; }
  bool StreamHeaders() const { return m_streamHeaders; }
  void SetStreamHeaders(bool value) { m_streamHeaders = value; }

  using TProgressEvent = std::function<void(TImageIO* sender, int percent)>;
  using TNotifyEvent = std::function<void(TImageIO* sender)>;
  const TProgressEvent& OnProgress() const { return m_onProgress; }
  void SetOnProgress(TProgressEvent handler) { m_onProgress = std::move(handler); }
  const TNotifyEvent& OnFinishWork() const { return m_onFinishWork; }
  void SetOnFinishWork(TNotifyEvent handler) { m_onFinishWork = std::move(handler); }
  // Called after a load with the resolution read (the attached view takes it).
  using TDpiEvent = std::function<void(TImageIO* sender, int dpiX, int dpiY)>;
  void SetOnDpiChanged(TDpiEvent handler) { m_onDpiChanged = std::move(handler); }

  // OnProgress(sender, percent) when assigned.
  void DoProgress(int percent);
  // DoProgress(100), then OnFinishWork(sender) when assigned.
  void DoFinishWork();

  // A progress record pointing at this component's abort flag and progress handler.
  TProgressRec MakeProgressRec();

 private:
  void loadFrame(Stream& stream, const std::string& fileName, const TInternalCodec* codec,
                 TIOFileType fileType);
  void saveFrame(Stream& stream, const TInternalCodec* codec, TIOFileType fileType);
  // The frame of the two *Format loads: the abort flag, the reader lookup (no reader or no
  // bitmap: finish at once), the reset of the info fields, then read and DoFinishWork.
  void loadFormat(TIOFileType fileType, const std::function<void(const TInternalCodec*)>& read);
  // The frame of the two *Format saves: the abort flag, the writer lookup (no writer: return
  // quietly; no bitmap: finish at once), the pixel format the writer takes, then write and
  // DoFinishWork.
  void saveFormat(TIOFileType fileType, const std::function<void(const TInternalCodec*)>& write);
  // The start of a read through a registered reader: clears the file name, type and info
  // fields and sets the abort flag; false, after DoFinishWork, without a reader or a bitmap.
  bool beginRegistryRead(const TImageFileFormatInfo& info);
  void loadWithRegistryReader(const std::string& fileName, const TImageFileFormatInfo& info);
  void adjustDpiAfterLoad();

  TImageBitmap* m_bitmap = nullptr;
  TImageBitmap* m_attached = nullptr;
  std::unique_ptr<TImageBitmap> m_private;
  std::unique_ptr<TIOParamsVals> m_params;
  bool m_aborting = false;
  TRGB m_background = {0, 0, 0};
  bool m_autoAdjustDPI = false;
  bool m_filteredAdjustDPI = false;
  bool m_streamHeaders = false;
  TProgressEvent m_onProgress;
  TNotifyEvent m_onFinishWork;
  TDpiEvent m_onDpiChanged;
};

}  // namespace lumaprep
