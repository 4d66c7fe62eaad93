// PNG reading on libpng 1.6: grey 1..16 bits, palette 1..8 bits, RGB and the alpha forms at 8
// and 16 bits, tRNS (palette, grey and RGB colour keys), Adam7, tEXt/zTXt/iTXt, bKGD, pHYs.
//
// libpng fails by longjmp: every call that can fail runs inside a small shim below whose only
// locals are trivially destructible; the shim returns false and the caller decides.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

#include "imaging/pngcodec.h"

namespace lumaprep {
namespace {

constexpr png_alloc_size_t kMaxChunkBytes = 16 * 1024 * 1024;

void fail(TProgressRec& progress) { progress.Fail(); }

struct ReadIo {
  Stream* stream = nullptr;
  std::exception_ptr error;  // an exception of the stream, rethrown once libpng is left
};

void readData(png_structp png, png_bytep data, size_t length) {
  auto* io = static_cast<ReadIo*>(png_get_io_ptr(png));
  size_t got = 0;
  bool thrown = false;
  try {
    got = io->stream->Read(data, length);
  } catch (...) {
    io->error = std::current_exception();
    thrown = true;
  }
  if (thrown) png_error(png, "stream error");
  if (got < length) png_error(png, "unexpected end of data");
  // libpng allocates an ancillary chunk's whole claimed length before reading it (its size
  // check is only a warning): a chunk that runs past the end of the data is refused here.
  if (length == 8 && (png_get_io_state(png) & PNG_IO_CHUNK_HDR) &&
      std::memcmp(data + 4, "IDAT", 4)) {
    const uint64_t chunk =
        (uint64_t(data[0]) << 24) | (uint64_t(data[1]) << 16) | (uint64_t(data[2]) << 8) | data[3];
    if (chunk + 4 > uint64_t(io->stream->Remaining())) png_error(png, "chunk past the end");
  }
}

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// ---- shims: the only frames that hold a setjmp ----

bool shimReadInfo(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  return true;
}

struct Ihdr {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 0;
  int colorType = 0;
  int interlace = 0;
};

bool shimGetIhdr(png_structp png, png_infop info, Ihdr* h) {
  if (setjmp(png_jmpbuf(png))) return false;
  int compression = 0, filter = 0;
  png_get_IHDR(png, info, &h->width, &h->height, &h->depth, &h->colorType, &h->interlace,
               &compression, &filter);
  return true;
}

struct Transform {
  bool native = false;
  bool trns = false;
};

// Sets the transformations and returns the number of passes (0 on error).
int shimTransform(png_structp png, png_infop info, const Ihdr* h, const Transform* t) {
  if (setjmp(png_jmpbuf(png))) return 0;
  if (t->native) {
    if (h->depth == 16) png_set_swap(png);
  } else if (h->depth > 1 || h->colorType != PNG_COLOR_TYPE_GRAY || t->trns) {
    if (h->colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (h->colorType == PNG_COLOR_TYPE_GRAY && h->depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (t->trns) png_set_tRNS_to_alpha(png);
    if (h->depth == 16) png_set_strip_16(png);
    if (h->depth < 8) png_set_packing(png);
    if (h->colorType == PNG_COLOR_TYPE_GRAY || h->colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
      png_set_gray_to_rgb(png);
    png_set_bgr(png);
  }
  // 1-bit grey without transparency stays packed: it is the buffer's own 1-bit layout.
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return passes;
}

bool shimReadRow(png_structp png, png_bytep row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_row(png, row, nullptr);
  return true;
}

bool shimReadEnd(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_end(png, info);
  return true;
}

// ---- the rest is ordinary C++ ----

// Owns libpng's read records.
class PngReader {
 public:
  PngReader() {
    m_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!m_png) return;
    m_info = png_create_info_struct(m_png);
    // Limits what decompressed text and profile chunks may take.
    png_set_chunk_malloc_max(m_png, kMaxChunkBytes);
  }
  ~PngReader() { png_destroy_read_struct(&m_png, m_info ? &m_info : nullptr, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  bool ok() const { return m_png && m_info; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

void appendTexts(png_structp png, png_infop info, TIOParamsVals& params, int from) {
  png_textp text = nullptr;
  int count = 0;
  png_get_text(png, info, &text, &count);
  for (int i = from; i < count; ++i) {
    params.PNG_TextKeys.emplace_back(text[i].key ? text[i].key : "");
    const char* value = text[i].text ? text[i].text : "";
    const size_t len = text[i].compression >= PNG_ITXT_COMPRESSION_NONE ? text[i].itxt_length
                                                                        : text[i].text_length;
    params.PNG_TextValues.emplace_back(value, text[i].text ? len : 0);
  }
}

int textCount(png_structp png, png_infop info) {
  png_textp text = nullptr;
  int count = 0;
  png_get_text(png, info, &text, &count);
  return count;
}

// bKGD holds samples at the image's bit depth (palette files: an index, which libpng has
// already turned into the palette's colour); the record keeps 8-bit components.
uint8_t backgroundComponent(png_uint_16 v, int depth, bool palette) {
  if (palette || depth == 8) return uint8_t(v);
  if (depth == 16) return uint8_t(v >> 8);
  const unsigned max = (1u << depth) - 1;
  return uint8_t(std::min<unsigned>(v, max) * 255 / max);
}

int dpiFromPixelsPerMetre(png_uint_32 ppm) {
  const double dpi = std::nearbyint(double(ppm) / 100.0 * 2.54);
  return dpi >= 1 && dpi < 1e6 ? int(dpi) : kDefaultDpi;
}

}  // namespace

void PNGReadStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                   TProgressRec& progress) {
  PngReader reader;
  if (!reader.ok()) {
    fail(progress);
    return;
  }
  png_structp png = reader.png();
  png_infop info = reader.info();
  ReadIo io;
  io.stream = &stream;
  png_set_read_fn(png, &io, readData);

  Ihdr h;
  const bool headerOk = shimReadInfo(png, info) && shimGetIhdr(png, info, &h);
  if (io.error) std::rethrow_exception(io.error);
  if (!headerOk) {
    fail(progress);
    return;
  }

  params.PNG_TextKeys.clear();
  params.PNG_TextValues.clear();
  appendTexts(png, info, params, 0);
  const int textsBeforeImage = textCount(png, info);

  const bool palette = h.colorType == PNG_COLOR_TYPE_PALETTE;
  png_color_16p bkgd = nullptr;
  if (png_get_bKGD(png, info, &bkgd) && bkgd) {
    params.PNG_Background = TRGB{backgroundComponent(bkgd->blue, h.depth, palette),
                                 backgroundComponent(bkgd->green, h.depth, palette),
                                 backgroundComponent(bkgd->red, h.depth, palette)};
  }

  Transform t;
  t.trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  t.native = params.IsNativePixelFormat && (h.depth == 8 || h.depth == 16) && !t.trns &&
             (h.colorType == PNG_COLOR_TYPE_GRAY || palette);
  const int passes = shimTransform(png, info, &h, &t);
  if (passes == 0) {
    fail(progress);
    return;
  }

  params.Width = int32_t(std::min<png_uint_32>(h.width, 0x7FFFFFFF));
  params.Height = int32_t(std::min<png_uint_32>(h.height, 0x7FFFFFFF));
  params.BitsPerSample = h.depth;
  switch (h.colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      params.SamplesPerPixel = 2;
      break;
    case PNG_COLOR_TYPE_RGB:
      params.SamplesPerPixel = 3;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      params.SamplesPerPixel = 4;
      break;
    default:
      params.SamplesPerPixel = 1;
      break;
  }
  png_uint_32 resX = 0, resY = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &resX, &resY, &unit) && unit == PNG_RESOLUTION_METER) {
    params.SetDpiX(dpiFromPixelsPerMetre(resX));
    params.SetDpiY(dpiFromPixelsPerMetre(resY));
  } else {
    params.SetDpiX(kDefaultDpi);
    params.SetDpiY(kDefaultDpi);
  }
  params.FreeColorMap();
  png_colorp plte = nullptr;
  int plteCount = 0;
  if (palette && png_get_PLTE(png, info, &plte, &plteCount) && plte) {
    std::vector<TRGB> colors(static_cast<size_t>(plteCount));
    for (int i = 0; i < plteCount; ++i)
      colors[size_t(i)] = TRGB{plte[i].blue, plte[i].green, plte[i].red};
    params.SetColorMap(colors.data(), plteCount);
  }
  params.PNG_Interlaced = h.interlace != PNG_INTERLACE_NONE;
  if (paramsOnly) return;

  const int channels = png_get_channels(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  TImagePixelFormat format = im24RGB;
  if (h.depth == 1 && !palette && !t.trns)
    format = im1g;
  else if (t.native)
    format = palette ? im8p : (h.depth == 16 ? im16g : im8g);
  if (!ImageSizeOk(h.width, h.height, PixelFormatBitCount(format)) ||
      (channels == 4 && !ImageSizeOk(h.width, h.height, 32))) {
    fail(progress);
    return;
  }
  const int width = int(h.width);
  const int height = int(h.height);
  try {
    bitmap.Allocate(width, height, format);
  } catch (const std::length_error&) {
    fail(progress);
    return;
  } catch (const std::bad_alloc&) {
    fail(progress);
    return;
  }
  // What libpng delivers must fit the rows it is written into.
  const bool fourChannels = channels == 4;
  if ((fourChannels && rowBytes != size_t(width) * 4) ||
      (!fourChannels && rowBytes > size_t(bitmap.RowLen()))) {
    fail(progress);
    return;
  }
  if (format == im8p) {
    for (int i = 0; i < 256; ++i) {
      const TRGB c = i < plteCount ? TRGB{plte[i].blue, plte[i].green, plte[i].red} : TRGB{0, 0, 0};
      bitmap.SetPalette(i, c);
    }
    bitmap.SetPaletteUsed(1 << h.depth);
  }
  // Interlaced passes only fill their own pixels: start from a defined image.
  if (passes > 1 && !fourChannels) bitmap.Fill(0);

  TImageBitmap* alpha = nullptr;
  std::vector<uint8_t> work;
  if (fourChannels) {
    alpha = bitmap.AlphaChannel();
    alpha->SetFull(false);
    // Interlaced images need the whole image so that each pass adds to the earlier ones.
    work.assign(passes > 1 ? size_t(width) * 4 * size_t(height) : size_t(width) * 4, 0);
  }

  progress.Per = 100.0 / (double(height) * passes);
  int64_t rowsDone = 0;
  bool ok = true;
  bool userAbort = false;
  for (int pass = 0; pass < passes && ok && !userAbort; ++pass) {
    for (int y = 0; y < height; ++y) {
      uint8_t* dest = bitmap.ScanLine(y);
      if (fourChannels) {
        uint8_t* src = passes > 1 ? work.data() + size_t(y) * size_t(width) * 4 : work.data();
        ok = shimReadRow(png, src);
        if (!ok) break;
        uint8_t* a = alpha->ScanLine(y);
        dest = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
          dest[3 * x] = src[4 * x];
          dest[3 * x + 1] = src[4 * x + 1];
          dest[3 * x + 2] = src[4 * x + 2];
          a[x] = src[4 * x + 3];
        }
      } else {
        ok = shimReadRow(png, dest);
        if (!ok) break;
      }
      ++rowsDone;
      progress.Progress(int(double(rowsDone) * progress.Per));
      if (progress.Aborted()) {
        userAbort = true;
        break;
      }
    }
  }
  if (io.error) std::rethrow_exception(io.error);
  if (!ok) {
    // Corrupt or truncated data: the rows decoded so far stay.
    fail(progress);
    return;
  }
  if (userAbort) return;
  if (!shimReadEnd(png, info)) {
    if (io.error) std::rethrow_exception(io.error);
    fail(progress);
    return;
  }
  appendTexts(png, info, params, textsBeforeImage);
}

void PNGReadFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                     TProgressRec& progress) {
  PNGReadStream(stream, bitmap, params, paramsOnly, progress);
}

bool PNGProbe(Stream& stream) {
  const int64_t pos = stream.Position();
  uint8_t sig[8] = {};
  const size_t got = stream.Read(sig, sizeof sig);
  stream.Seek(pos);
  return got == sizeof sig && sig[0] == 0x89 && sig[1] == 'P' && sig[2] == 'N' && sig[3] == 'G';
}

}  // namespace lumaprep
