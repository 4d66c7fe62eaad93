#include "imaging/imageio.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "imaging/jpegcodec.h"
#include "imaging/resample.h"

namespace lumaprep {

std::vector<TImageFileFormatInfo> BuiltInFileFormats();  // formats.cpp

namespace {

std::vector<TImageFileFormatInfo>& registry() {
  static std::vector<TImageFileFormatInfo> list = BuiltInFileFormats();
  return list;
}

std::string toLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string toUpper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> splitExtensions(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The writer for a lower-case extension by the save table; ioUnknown when not listed.
TIOFileType saveTypeByExtension(const std::string& ext) {
  struct Row {
    const char* exts[6];
    TIOFileType type;
  };
  static const Row kRows[] = {
      {{".jpg", ".jpeg", ".jpe", ".jif"}, ioJPEG},
      {{".jp2"}, ioJP2},
      {{".j2k", ".jpc", ".j2c"}, ioJ2K},
      {{".pcx"}, ioPCX},
      {{".dcx"}, ioDCX},
      {{".gif"}, ioGIF},
      {{".tif", ".tiff", ".fax", ".g3f", ".g3n"}, ioTIFF},
      {{".png"}, ioPNG},
      {{".bmp", ".dib", ".rle"}, ioBMP},
      {{".tga", ".targa", ".vda", ".icb", ".vst", ".win"}, ioTGA},
      {{".pxm", ".pbm", ".pgm", ".ppm"}, ioPXM},
      {{".ico"}, ioICO},
      {{".wbmp"}, ioWBMP},
      {{".ps", ".eps"}, ioPS},
      {{".pdf"}, ioPDF},
      {{".psd"}, ioPSD},
  };
  for (const Row& row : kRows)
    for (const char* e : row.exts)
      if (e && ext == e) return row.type;
  return ioUnknown;
}

// Formats read by the per-format frames when their registry entry is internal.
bool hasInternalLoad(TIOFileType t) {
  switch (t) {
    case ioTIFF:
    case ioGIF:
    case ioJPEG:
    case ioPCX:
    case ioBMP:
    case ioICO:
    case ioCUR:
    case ioPNG:
    case ioWMF:
    case ioEMF:
    case ioTGA:
    case ioPXM:
    case ioJP2:
    case ioJ2K:
    case ioWBMP:
    case ioDCX:
    case ioRAW:
    case ioPSD:
    case ioVEC:
    case ioLYR:
    case ioALL:
      return true;
    default:
      return false;
  }
}

// Writers that take only im24RGB or im1g: other formats are converted to im24RGB first.
bool wantsRgbOrBilevel(TIOFileType t) {
  switch (t) {
    case ioJPEG:
    case ioJP2:
    case ioJ2K:
    case ioPCX:
    case ioTGA:
    case ioPXM:
    case ioICO:
    case ioWBMP:
      return true;
    default:
      return false;
  }
}

// The text of the first n bytes up to the first zero byte.
std::string leadingText(const uint8_t* bytes, size_t n) {
  size_t len = 0;
  while (len < n && bytes[len] != 0) ++len;
  return std::string(reinterpret_cast<const char*>(bytes), len);
}

bool probe(TIOFileType type, Stream& stream, int64_t pos) {
  const TInternalCodec* codec = FindInternalCodec(type);
  if (!codec || !codec->Try) return false;
  const bool ok = codec->Try(stream);
  stream.Seek(pos);
  return ok;
}

// The 12-byte identifying header of a stream written with StreamHeaders: "JFIF", zeros, and
// the length of the data that follows (32-bit little endian).
constexpr size_t kStreamHeaderSize = 12;

// Runs work, then io.DoFinishWork(), which also ends a work that throws.
template <typename Work>
void finishAfter(TImageIO& io, const Work& work) {
  try {
    work();
  } catch (...) {
    io.DoFinishWork();
    throw;
  }
  io.DoFinishWork();
}

}  // namespace

// ---- registry -----------------------------------------------------------------------------

void AddFileFormat(const TImageFileFormatInfo& info) {
  TImageFileFormatInfo copy = info;
  copy.Extensions = toUpper(copy.Extensions);
  if (copy.FullName.size() > 80) copy.FullName.resize(80);
  if (copy.Extensions.size() > 80) copy.Extensions.resize(80);
  registry().push_back(copy);
}

void RemoveFileFormat(TIOFileType fileType) {
  auto& list = registry();
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const TImageFileFormatInfo& i) { return i.FileType == fileType; });
  if (it != list.end()) list.erase(it);
}

const TImageFileFormatInfo* GetFileFormatInfo(TIOFileType fileType) {
  for (const auto& info : registry())
    if (info.FileType == fileType) return &info;
  return nullptr;
}

const TImageFileFormatInfo* GetFileFormatInfoByExt(const std::string& ext) {
  std::string e = toUpper(ext);
  if (!e.empty() && e[0] == '.') e.erase(0, 1);
  if (e.empty()) return nullptr;
  for (const auto& info : registry())
    for (const std::string& x : splitExtensions(info.Extensions))
      if (x == e) return &info;
  return nullptr;
}

int GetFileFormatCount() { return static_cast<int>(registry().size()); }

const TImageFileFormatInfo& GetFileFormatAt(int index) { return registry().at(index); }

int GetFileExtensionCount(const TImageFileFormatInfo& info) {
  return static_cast<int>(splitExtensions(info.Extensions).size());
}

std::string GetFileExtension(const TImageFileFormatInfo& info, int index) {
  const auto list = splitExtensions(info.Extensions);
  if (index < 0 || index >= static_cast<int>(list.size())) return {};
  return toLower(list[index]);
}

void ResetFileFormats() { registry() = BuiltInFileFormats(); }

std::string ExtractFileExtLower(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return toLower(fileName.substr(dot));
}

// ---- format detection ---------------------------------------------------------------------

TIOFileType FindStreamFormat(Stream& stream) {
  const int64_t p = stream.Position();
  TIOFileType result = ioUnknown;
  try {
    const int64_t s = stream.Size();
    uint8_t head[128] = {};
    const size_t got = stream.Read(head, sizeof(head));
    stream.Seek(p);
    (void)got;
    const std::string text5 = leadingText(head, 5);
    const std::string text4 = leadingText(head, 4);

    if (s > 12 && text5 == "JFIF") return ioJPEG;
    if (s > 13 && head[0] == 'G' && head[1] == 'I' && head[2] == 'F') return ioGIF;
    if (s > 12 && text5 == "PCX2") return ioPCX;
    if (s > 4 && text4 == "PCX") return ioPCX;
    if (s > 14 && head[0] == 'B' && head[1] == 'M') return ioBMP;
    if (s > 128 && head[0] == 10 && head[1] <= 5) return ioPCX;
    if (s > 12 && text5 == "TIFF") return ioTIFF;
    if (probe(ioTIFF, stream, p) && !probe(ioRAW, stream, p)) return ioTIFF;
    if (s > 8 && probe(ioPNG, stream, p)) return ioPNG;
    if (probe(ioICO, stream, p)) return ioICO;
    if (probe(ioCUR, stream, p)) return ioCUR;
    if (probe(ioTGA, stream, p)) return ioTGA;
    if (probe(ioPXM, stream, p)) return ioPXM;
    if (FindJPEGStart(stream) >= 0) return ioJPEG;
    stream.Seek(p);
    if (probe(ioJP2, stream, p)) return ioJP2;
    if (probe(ioJ2K, stream, p)) return ioJ2K;
    if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "AVI ", 4) == 0) return ioAVI;
    if (probe(ioDCX, stream, p)) return ioDCX;
    if (probe(ioWMF, stream, p)) return ioWMF;
    if (probe(ioEMF, stream, p)) return ioEMF;
    if (probe(ioPSD, stream, p)) return ioPSD;
    if (probe(ioVEC, stream, p)) return ioVEC;
    if (probe(ioLYR, stream, p)) return ioLYR;
    if (probe(ioALL, stream, p)) return ioALL;
    // Plug-in formats, asked in list order (the built-in ones were asked above).
    for (const auto& info : registry()) {
      if (info.InternalFormat || !info.TryFunction) continue;
      const bool ok = info.TryFunction(stream);
      stream.Seek(p);
      if (ok) return info.FileType;
    }
    if (probe(ioRAW, stream, p)) return ioRAW;
  } catch (...) {
    // A probe that throws ends the search with what was found so far.
  }
  stream.Seek(p);
  return result;
}

TIOFileType FindFileFormat(const std::string& fileName, bool verify) {
  TIOFileType content = ioUnknown;
  try {
    FileStream f(fileName, FileStream::fmOpenRead);
    content = FindStreamFormat(f);
  } catch (...) {
    return ioUnknown;
  }
  const TImageFileFormatInfo* entry = GetFileFormatInfoByExt(ExtractFileExtLower(fileName));
  if (entry && entry->FileType == ioRAW && content == ioTIFF) return ioRAW;
  if (entry && !entry->InternalFormat) return entry->FileType;
  if (verify && content != ioUnknown) {
    if (!entry || content == ioICO || content == ioCUR) return entry ? entry->FileType : 0;
    if (content != entry->FileType) return ioUnknown;
  }
  return content;
}

// ---- TImageIO -----------------------------------------------------------------------------

TImageIO::TImageIO(TImageBitmap* attachedBitmap) {
  SetAttachedBitmap(attachedBitmap);
  m_params = std::make_unique<TIOParamsVals>(this);
}

TImageIO::~TImageIO() = default;

void TImageIO::SetAttachedBitmap(TImageBitmap* bitmap) {
  m_attached = bitmap;
  if (bitmap) {
    m_private.reset();
    m_bitmap = bitmap;
  } else {
    if (!m_private) m_private = std::make_unique<TImageBitmap>();
    m_bitmap = m_private.get();
  }
  m_bitmap->SetDitherMethod(1);
}

void TImageIO::DoProgress(int percent) {
  if (m_onProgress) m_onProgress(this, percent);
}

void TImageIO::DoFinishWork() {
  DoProgress(100);
  if (m_onFinishWork) m_onFinishWork(this);
}

TProgressRec TImageIO::MakeProgressRec() {
  TProgressRec rec;
  if (m_onProgress) rec.fOnProgress = [this](void*, int percent) { DoProgress(percent); };
  rec.Sender = this;
  rec.Aborting = &m_aborting;
  return rec;
}

void TImageIO::adjustDpiAfterLoad() {
  TIOParamsVals& p = *m_params;
  if (p.DpiX < 2) p.DpiX = ImageSettings().DefaultDpiX;
  if (p.DpiY < 2) p.DpiY = ImageSettings().DefaultDpiY;
  if (m_autoAdjustDPI && p.DpiX != p.DpiY && p.DpiX > 0 && p.DpiY > 0 && !m_bitmap->IsEmpty()) {
    // 64-bit arithmetic: the quotients come from file values.
    if (p.Height < p.Width) {
      p.Height = static_cast<int32_t>(static_cast<double>(p.Height) / p.DpiY * p.DpiX);
      p.DpiY = p.DpiX;
    } else {
      p.Width = static_cast<int32_t>(static_cast<double>(p.Width) / p.DpiX * p.DpiY);
      p.DpiX = p.DpiY;
    }
    if (p.Width > 0 && p.Height > 0) {
      TImageProc proc(m_bitmap);
      if (m_filteredAdjustDPI) {
        m_bitmap->SetPixelFormat(im24RGB);
        proc.Resample(p.Width, p.Height, rfFastLinear);
      } else {
        proc.Resample(p.Width, p.Height, rfNone);
      }
    }
  }
}

void TImageIO::loadFrame(Stream& stream, const std::string& fileName, const TInternalCodec* codec,
                         TIOFileType fileType) {
  m_aborting = false;
  TProgressRec progress = MakeProgressRec();
  m_bitmap->RemoveAlphaChannel(false);
  if (codec->BeforeRead) codec->BeforeRead(*this);
  codec->Read(stream, *m_bitmap, *m_params, false, progress);
  if (codec->AfterRead) codec->AfterRead(*this);
  adjustDpiAfterLoad();
  if (!fileName.empty()) m_params->FileName = fileName;
  m_params->FileType = fileType;
  if (m_onDpiChanged) m_onDpiChanged(this, m_params->DpiX, m_params->DpiY);
}

void TImageIO::loadFormat(TIOFileType fileType,
                          const std::function<void(const TInternalCodec*)>& read) {
  m_aborting = true;
  const TInternalCodec* codec = FindInternalCodec(fileType);
  if (!codec || !codec->Read || !m_bitmap) {
    DoFinishWork();
    return;
  }
  m_params->ResetInfo();
  finishAfter(*this, [&] {
    read(codec);
  });
}

void TImageIO::LoadFromFileFormat(const std::string& fileName, TIOFileType fileType) {
  loadFormat(fileType, [&](const TInternalCodec* codec) {
    FileStream file(fileName, FileStream::fmOpenRead);
    loadFrame(file, fileName, codec, fileType);
  });
}

void TImageIO::LoadFromStreamFormat(Stream& stream, TIOFileType fileType) {
  loadFormat(fileType, [&](const TInternalCodec* codec) {
    loadFrame(stream, std::string(), codec, fileType);
  });
}

void TImageIO::saveFrame(Stream& stream, const TInternalCodec* codec, TIOFileType fileType) {
  m_aborting = false;
  TProgressRec progress = MakeProgressRec();
  if (codec->BeforeWrite) codec->BeforeWrite(*this);
  if (m_streamHeaders && fileType == ioJPEG && !dynamic_cast<FileStream*>(&stream)) {
    const int64_t start = stream.Position();
    uint8_t header[kStreamHeaderSize] = {'J', 'F', 'I', 'F'};
    stream.Write(header, sizeof(header));
    codec->Write(stream, *m_bitmap, *m_params, progress);
    const int64_t end = stream.Position();
    const uint32_t len = static_cast<uint32_t>(end - start - kStreamHeaderSize);
    for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    stream.Seek(start);
    stream.Write(header, sizeof(header));
    stream.Seek(end);
  } else {
    codec->Write(stream, *m_bitmap, *m_params, progress);
  }
}

void TImageIO::saveFormat(TIOFileType fileType,
                          const std::function<void(const TInternalCodec*)>& write) {
  m_aborting = true;
  const TInternalCodec* codec = FindInternalCodec(fileType);
  // A format without a writer fails quietly: no file, no exception.
  if (!codec || !codec->Write) return;
  if (!m_bitmap) {
    DoFinishWork();
    return;
  }
  if (wantsRgbOrBilevel(fileType) && m_bitmap->PixelFormat() != im24RGB &&
      m_bitmap->PixelFormat() != im1g)
    m_bitmap->SetPixelFormat(im24RGB);
  finishAfter(*this, [&] {
    write(codec);
  });
}

void TImageIO::SaveToFileFormat(const std::string& fileName, TIOFileType fileType) {
  saveFormat(fileType, [&](const TInternalCodec* codec) {
    // The writer fills a temporary file beside the target; only a complete write replaces it.
    AtomicFileStream file(fileName);
    saveFrame(file, codec, fileType);
    m_params->FileName = fileName;
    m_params->FileType = fileType;
    if (!m_aborting)
      file.Commit();
    else
      file.Discard();
  });
}

void TImageIO::SaveToStreamFormat(Stream& stream, TIOFileType fileType) {
  saveFormat(fileType, [&](const TInternalCodec* codec) {
    saveFrame(stream, codec, fileType);
    m_params->FileType = fileType;
  });
}

bool TImageIO::beginRegistryRead(const TImageFileFormatInfo& info) {
  m_params->FileName.clear();
  m_params->FileType = ioUnknown;
  m_params->ResetInfo();
  m_aborting = true;
  if (!info.ReadFunction || !m_bitmap) {
    DoFinishWork();
    return false;
  }
  return true;
}

void TImageIO::loadWithRegistryReader(const std::string& fileName,
                                      const TImageFileFormatInfo& info) {
  if (!beginRegistryRead(info)) return;
  finishAfter(*this, [&] {
    FileStream file(fileName, FileStream::fmOpenRead);
    m_aborting = false;
    m_params->FileName = fileName;
    m_params->FileType = info.FileType;
    TProgressRec progress = MakeProgressRec();
    try {
      info.ReadFunction(file, *m_bitmap, *m_params, false, progress);
    } catch (...) {
      m_aborting = true;
    }
    if (!m_aborting) {
      adjustDpiAfterLoad();
      if (m_onDpiChanged) m_onDpiChanged(this, m_params->DpiX, m_params->DpiY);
    }
  });
}

void TImageIO::LoadFromFile(const std::string& fileName) {
  if (!m_bitmap) {
    m_aborting = true;
    DoFinishWork();
    return;
  }
  const std::string ext = ExtractFileExtLower(fileName);
  if (ext == ".avi") {
    LoadFromFileFormat(fileName, ioAVI);
    return;
  }
  const TImageFileFormatInfo* info = GetFileFormatInfoByExt(ext);
  if (!info) {
    m_aborting = true;
    DoFinishWork();
    return;
  }
  if (info->InternalFormat && hasInternalLoad(info->FileType)) {
    LoadFromFileFormat(fileName, info->FileType);
    return;
  }
  const TImageFileFormatInfo entry = *info;  // the reader may change the registry
  loadWithRegistryReader(fileName, entry);
}

void TImageIO::SaveToFile(const std::string& fileName) {
  if (fileName.empty()) return;
  const std::string ext = ExtractFileExtLower(fileName);
  TIOFileType type = saveTypeByExtension(ext);
  if (type != ioUnknown) {
    SaveToFileFormat(fileName, type);
    return;
  }
  const TImageFileFormatInfo* found = GetFileFormatInfoByExt(ext);
  if (!found || !found->WriteFunction) {
    m_aborting = true;
    return;
  }
  const TImageFileFormatInfo info = *found;
  if (info.InternalFormat) {
    // Built-in entries reached by a further extension (XIF, PIX, ...) use their format's writer.
    SaveToFileFormat(fileName, info.FileType);
    return;
  }
  m_aborting = true;
  if (!m_bitmap) {
    DoFinishWork();
    return;
  }
  if (m_bitmap->PixelFormat() != im24RGB && m_bitmap->PixelFormat() != im1g)
    m_bitmap->SetPixelFormat(im24RGB);
  finishAfter(*this, [&] {
    AtomicFileStream file(fileName);
    m_aborting = false;
    m_params->FileName = fileName;
    m_params->FileType = info.FileType;
    TProgressRec progress = MakeProgressRec();
    info.WriteFunction(file, *m_bitmap, *m_params, progress);
    m_params->FileName = fileName;
    m_params->FileType = info.FileType;
    if (!m_aborting)
      file.Commit();
    else
      file.Discard();
  });
}

void TImageIO::LoadFromStream(Stream& stream) {
  const int64_t pos = stream.Position();
  const TIOFileType type = FindStreamFormat(stream);
  const TImageFileFormatInfo* found = type != ioUnknown ? GetFileFormatInfo(type) : nullptr;
  stream.Seek(pos);
  if (!found) {
    // Nothing recognisable: nothing is loaded, and the flag says so.
    m_aborting = true;
    return;
  }
  const TImageFileFormatInfo info = *found;
  if (info.InternalFormat && type != ioWMF && type != ioEMF && type != ioWBMP) {
    LoadFromStreamFormat(stream, type);
    return;
  }
  if (info.InternalFormat) {
    m_aborting = true;
    DoFinishWork();
    return;
  }
  if (!beginRegistryRead(info)) return;
  m_aborting = false;
  m_params->FileType = info.FileType;
  TProgressRec progress = MakeProgressRec();
  finishAfter(*this, [&] {
    info.ReadFunction(stream, *m_bitmap, *m_params, false, progress);
    if (!m_aborting) adjustDpiAfterLoad();
  });
}

}  // namespace lumaprep
