// PNG writing on libpng 1.6. The output form follows the parameters left by the reader:
//  - SamplesPerPixel 1, BitsPerSample 1: 1-bit grey (two-colour images keep their light and
//    dark sides, others go through the buffer's black-and-white conversion);
//  - SamplesPerPixel 1 otherwise: an 8-bit palette from the colour quantiser, or grey at 8 or
//    16 bits when the image is grey; with transparency a palette whose entry 0 is transparent;
//  - any other SamplesPerPixel: 8-bit RGB, RGBA when the alpha channel is not fully opaque.
//
// libpng fails by longjmp: every call that can fail runs inside a small shim whose only locals
// are trivially destructible; the shim returns false and the caller throws.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "codecs/quantizer.h"
#include "imaging/pngcodec.h"

namespace lumaprep {
namespace {

struct WriteIo {
  Stream* stream = nullptr;
  TProgressRec* progress = nullptr;
  std::exception_ptr error;
};

void writeData(png_structp png, png_bytep data, size_t length) {
  auto* io = static_cast<WriteIo*>(png_get_io_ptr(png));
  size_t put = 0;
  bool thrown = false;
  try {
    put = io->stream->Write(data, length);
  } catch (...) {
    io->error = std::current_exception();
    thrown = true;
  }
  if (thrown) png_error(png, "stream error");
  // A full medium: the write fails through the abort flag; libpng carries on.
  if (put < length) io->progress->Fail();
}

void flushData(png_structp) {}

[[noreturn]] void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// ---- shims: the only frames that hold a setjmp ----

struct Header {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int depth = 8;
  int colorType = PNG_COLOR_TYPE_RGB;
  bool interlace = false;
  int filters = PNG_FILTER_NONE;
  int level = 5;
  png_uint_32 ppmX = 0;
  png_uint_32 ppmY = 0;
  bool bgr = false;
  const png_color* palette = nullptr;
  int paletteCount = 0;
  bool transparentEntry0 = false;
  bool hasBackground = false;
  png_color_16 background{};
  const png_text* texts = nullptr;
  int textCount = 0;
};

// Writes everything up to the image data; returns the number of passes (0 on error).
int shimWriteHeader(png_structp png, png_infop info, const Header* h) {
  if (setjmp(png_jmpbuf(png))) return 0;
  png_set_IHDR(png, info, h->width, h->height, h->depth, h->colorType,
               h->interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (h->palette) png_set_PLTE(png, info, h->palette, h->paletteCount);
  if (h->transparentEntry0) {
    png_byte alpha0 = 0;
    png_set_tRNS(png, info, &alpha0, 1, nullptr);
  }
  png_set_pHYs(png, info, h->ppmX, h->ppmY, PNG_RESOLUTION_METER);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, h->filters);
  if (h->hasBackground) png_set_bKGD(png, info, &h->background);
  png_set_compression_level(png, h->level);
  if (h->textCount > 0) png_set_text(png, info, h->texts, h->textCount);
  png_write_info(png, info);
  if (h->bgr) png_set_bgr(png);
  return png_set_interlace_handling(png);
}

bool shimWriteRow(png_structp png, png_const_bytep row) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_write_row(png, row);
  return true;
}

bool shimWriteEnd(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_write_end(png, info);
  return true;
}

// ---- the rest is ordinary C++ ----

class PngWriter {
 public:
  PngWriter() {
    m_png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (m_png) m_info = png_create_info_struct(m_png);
  }
  ~PngWriter() { png_destroy_write_struct(&m_png, m_info ? &m_info : nullptr); }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  bool ok() const { return m_png && m_info; }
  png_structp png() const { return m_png; }
  png_infop info() const { return m_info; }

 private:
  png_structp m_png = nullptr;
  png_infop m_info = nullptr;
};

std::unique_ptr<TImageBitmap> convertedCopy(TImageBitmap& src, TImagePixelFormat format) {
  auto copy = std::make_unique<TImageBitmap>();
  copy->SetLocation(imMemory);
  copy->Assign(src);
  copy->RemoveAlphaChannel(false);
  copy->SetPixelFormat(format);
  return copy;
}

// The 1-bit image for 1-bit grey output: an image of exactly two colours gets bit 0 for the
// darker and bit 1 for the lighter; any other image the buffer's own conversion.
std::unique_ptr<TImageBitmap> oneBitCopy(TImageBitmap& src) {
  std::unique_ptr<TImageBitmap> rgb;
  const TImageBitmap* s = &src;
  if (src.PixelFormat() != im24RGB) {
    rgb = convertedCopy(src, im24RGB);
    s = rgb.get();
  }
  TRGB colors[2] = {};
  int found = 0;
  for (int y = 0; y < s->Height() && found <= 2; ++y) {
    const TRGB* p = reinterpret_cast<const TRGB*>(s->ScanLine(y));
    for (int x = 0; x < s->Width() && found <= 2; ++x) {
      if ((found >= 1 && p[x] == colors[0]) || (found >= 2 && p[x] == colors[1])) continue;
      if (found < 2) colors[found] = p[x];
      ++found;
    }
  }
  if (found != 2) return convertedCopy(src, im1g);
  const TRGB light = GreyLevel(colors[1]) >= GreyLevel(colors[0]) ? colors[1] : colors[0];
  auto out = std::make_unique<TImageBitmap>();
  out->SetLocation(imMemory);
  out->Allocate(s->Width(), s->Height(), im1g);
  for (int y = 0; y < s->Height(); ++y) {
    const TRGB* p = reinterpret_cast<const TRGB*>(s->ScanLine(y));
    uint8_t* d = out->ScanLine(y);
    std::memset(d, 0, size_t(out->RowLen()));
    for (int x = 0; x < s->Width(); ++x)
      if (p[x] == light) d[x >> 3] |= uint8_t(0x80 >> (x & 7));
  }
  return out;
}

enum class Output { Grey1, Palette, PaletteAlpha, Grey, Rgb, Rgba };

int filterFlags(uint8_t filter) {
  switch (filter) {
    case 0:
      return PNG_FILTER_NONE;
    case 1:
      return PNG_FILTER_SUB;
    case 2:
      return PNG_FILTER_PAETH;
    default:
      return PNG_ALL_FILTERS;
  }
}

// The value of a grey sample at `depth` bits from an 8-bit level.
png_uint_16 greyAtDepth(int level, int depth) {
  if (depth == 16) return png_uint_16(level * 257);
  if (depth == 1) return level >= 128 ? 1 : 0;
  return png_uint_16(level);
}

// round(dpi x 100 / 2.54), kept inside the 31 bits PNG allows.
png_uint_32 pixelsPerMetre(int dpi) {
  return png_uint_32(std::clamp(std::nearbyint(dpi * 100.0 / 2.54), 0.0, 2147483647.0));
}

}  // namespace

void PNGWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                    const TImageBitmap* alpha, TProgressRec& progress) {
  if (bitmap.IsEmpty()) {
    progress.Fail();
    return;
  }
  const int width = bitmap.Width();
  const int height = bitmap.Height();
  if (alpha && (alpha->Width() != width || alpha->Height() != height || alpha->IsEmpty()))
    alpha = nullptr;
  const bool transparent = alpha && !alpha->Full();

  if (params.SamplesPerPixel == 1 && params.BitsPerSample != 1 && params.BitsPerSample != 8 &&
      params.BitsPerSample != 16)
    params.BitsPerSample = 8;

  // The source in the form the output needs, and the output form.
  std::unique_ptr<TImageBitmap> holder;
  TImageBitmap* src = &bitmap;
  Output output = Output::Rgb;
  int depth = 8;
  if (params.SamplesPerPixel == 1 && params.BitsPerSample == 1) {
    output = Output::Grey1;
    depth = 1;
    if (bitmap.PixelFormat() != im1g) {
      holder = oneBitCopy(bitmap);
      src = holder.get();
    }
  } else if (params.SamplesPerPixel == 1) {
    output = transparent ? Output::PaletteAlpha : Output::Palette;
    depth = params.BitsPerSample;  // 8 or 16
    const TImagePixelFormat f = bitmap.PixelFormat();
    const bool usable = f == im24RGB || (!transparent && (f == im8p || f == im8g || f == im16g));
    if (!usable) {
      holder = convertedCopy(bitmap, im24RGB);
      src = holder.get();
    }
  } else {
    output = transparent ? Output::Rgba : Output::Rgb;
    if (bitmap.PixelFormat() != im24RGB) {
      holder = convertedCopy(bitmap, im24RGB);
      src = holder.get();
    }
  }

  // Palette and grey output: the quantiser decides between a palette and a grey ramp.
  std::unique_ptr<TImageQuantizer> quantizer;
  std::vector<png_color> pngPalette;
  bool hasBackground = false;
  png_color_16 background{};
  const TRGB bg = params.PNG_Background;
  if (output == Output::PaletteAlpha) {
    // Entry 0 is the transparent background, the quantiser's colours follow.
    depth = 8;
    std::vector<TRGB> colors(255, TRGB{0, 0, 0});
    quantizer = std::make_unique<TImageQuantizer>(*src, colors.data(), 255);
    pngPalette.push_back(png_color{bg.r, bg.g, bg.b});
    for (const TRGB& c : colors) pngPalette.push_back(png_color{c.r, c.g, c.b});
    hasBackground = true;
    background.index = 0;
  } else if (output == Output::Palette) {
    std::vector<TRGB> colors(256, TRGB{0, 0, 0});
    quantizer = std::make_unique<TImageQuantizer>(*src, colors.data(), 256);
    if (quantizer->Grey()) {
      output = Output::Grey;
    } else {
      // A 16-bit palette does not exist: colour images get the 8-bit one.
      depth = 8;
      for (const TRGB& c : colors) pngPalette.push_back(png_color{c.r, c.g, c.b});
      hasBackground = true;
      background.index = png_byte(std::clamp(quantizer->ColorIndex(bg), 0, 255));
    }
  }
  if (output == Output::Grey || output == Output::Grey1) {
    hasBackground = true;
    background.gray = greyAtDepth(GreyLevel(bg), depth);
  } else if (output == Output::Rgb || output == Output::Rgba) {
    hasBackground = true;
    background.red = bg.r;
    background.green = bg.g;
    background.blue = bg.b;
  }

  // Texts: libpng fails the whole write on a keyword that is empty once it has dropped spaces
  // and unprintable characters, or longer than 79 bytes; such pairs are left out.
  auto usableKey = [](const std::string& key) {
    if (key.empty() || key.size() > 79) return false;
    return std::any_of(key.begin(), key.end(), [](char ch) {
      const auto c = static_cast<unsigned char>(ch);
      return (c > 32 && c < 127) || c > 160;
    });
  };
  std::vector<png_text> texts;
  const size_t textCount = std::min(params.PNG_TextKeys.size(), params.PNG_TextValues.size());
  for (size_t i = 0; i < textCount; ++i) {
    const std::string& key = params.PNG_TextKeys[i];
    if (!usableKey(key)) continue;
    png_text t{};
    t.compression = PNG_TEXT_COMPRESSION_NONE;
    t.key = const_cast<char*>(key.c_str());
    t.text = const_cast<char*>(params.PNG_TextValues[i].c_str());
    t.text_length = params.PNG_TextValues[i].size();
    texts.push_back(t);
  }

  Header h;
  h.width = png_uint_32(width);
  h.height = png_uint_32(height);
  h.depth = depth;
  switch (output) {
    case Output::Grey1:
    case Output::Grey:
      h.colorType = PNG_COLOR_TYPE_GRAY;
      break;
    case Output::Palette:
    case Output::PaletteAlpha:
      h.colorType = PNG_COLOR_TYPE_PALETTE;
      break;
    case Output::Rgb:
      h.colorType = PNG_COLOR_TYPE_RGB;
      break;
    case Output::Rgba:
      h.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
      break;
  }
  h.interlace = params.PNG_Interlaced;
  h.filters = filterFlags(params.PNG_Filter);
  h.level = std::clamp<int>(params.PNG_Compression, 0, 9);
  h.ppmX = pixelsPerMetre(params.DpiX);
  h.ppmY = pixelsPerMetre(params.DpiY);
  h.bgr = output == Output::Rgb || output == Output::Rgba;
  h.palette = pngPalette.empty() ? nullptr : pngPalette.data();
  h.paletteCount = int(pngPalette.size());
  h.transparentEntry0 = output == Output::PaletteAlpha;
  h.hasBackground = hasBackground;
  h.background = background;
  h.texts = texts.empty() ? nullptr : texts.data();
  h.textCount = int(texts.size());

  PngWriter writer;
  if (!writer.ok()) throw EImagePngException();
  png_structp png = writer.png();
  png_infop info = writer.info();
  WriteIo io;
  io.stream = &stream;
  io.progress = &progress;
  png_set_write_fn(png, &io, writeData, flushData);

  const int passes = shimWriteHeader(png, info, &h);
  if (io.error) std::rethrow_exception(io.error);
  if (passes == 0) throw EImagePngException();

  const size_t rowBytes = output == Output::Rgba  ? size_t(width) * 4
                          : output == Output::Rgb ? size_t(width) * 3
                          : output == Output::Grey1
                              ? (size_t(width) + 7) / 8
                              : size_t(width) * size_t(std::max(1, depth / 8));
  std::vector<uint8_t> row(rowBytes);
  const TImagePixelFormat sf = src->PixelFormat();
  auto makeRow = [&](int y) -> const uint8_t* {
    const uint8_t* s = src->ScanLine(y);
    const TRGB* rgb = reinterpret_cast<const TRGB*>(s);
    switch (output) {
      case Output::Rgb:
      case Output::Grey1:
        return s;
      case Output::Rgba: {
        const uint8_t* a = alpha->ScanLine(y);
        for (int x = 0; x < width; ++x) {
          std::memcpy(&row[size_t(x) * 4], s + 3 * x, 3);
          row[size_t(x) * 4 + 3] = a[x];
        }
        break;
      }
      case Output::Palette:
        if (sf == im8p) return s;
        for (int x = 0; x < width; ++x) row[size_t(x)] = uint8_t(quantizer->ColorIndex(rgb[x]));
        break;
      case Output::PaletteAlpha: {
        const uint8_t* a = alpha->ScanLine(y);
        for (int x = 0; x < width; ++x)
          row[size_t(x)] = a[x] == 255 ? uint8_t(quantizer->ColorIndex(rgb[x]) + 1) : 0;
        break;
      }
      case Output::Grey:
        for (int x = 0; x < width; ++x) {
          int level8 = 0;
          int level16 = -1;
          switch (sf) {
            case im8g:
              level8 = s[x];
              break;
            case im8p:
              level8 = src->GetPalette(s[x]).r;
              break;
            case im16g:
              level16 = s[2 * x] | (s[2 * x + 1] << 8);
              break;
            default:
              level8 = std::clamp(quantizer->ColorIndex(rgb[x]), 0, 255);
              break;
          }
          if (depth == 16) {
            // Big-endian samples; 8-bit levels go into the upper byte.
            const int v = level16 >= 0 ? level16 : level8 << 8;
            row[size_t(x) * 2] = uint8_t(v >> 8);
            row[size_t(x) * 2 + 1] = uint8_t(v);
          } else {
            row[size_t(x)] = uint8_t(level16 >= 0 ? level16 >> 8 : level8);
          }
        }
        break;
    }
    return row.data();
  };

  progress.Per = 100.0 / (double(height) * passes);
  int64_t rowsDone = 0;
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < height; ++y) {
      const uint8_t* r = makeRow(y);
      const bool ok = shimWriteRow(png, r);
      if (io.error) std::rethrow_exception(io.error);
      if (!ok) throw EImagePngException();
      ++rowsDone;
      progress.Progress(int(double(rowsDone) * progress.Per));
      if (progress.Aborted()) return;
    }
  }
  const bool ended = shimWriteEnd(png, info);
  if (io.error) std::rethrow_exception(io.error);
  if (!ended) throw EImagePngException();
}

void PNGWriteFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                      TProgressRec& progress) {
  PNGWriteStream(stream, bitmap, params, bitmap.HasAlphaChannel() ? bitmap.AlphaChannel() : nullptr,
                 progress);
}

}  // namespace lumaprep
