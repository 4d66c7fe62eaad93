#include "imaging/resample.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace lumaprep {

namespace {

// Copies whole pixels of `Bpp` bytes through a table of source byte offsets.
template <int Bpp>
void copyRow(const uint8_t* s, uint8_t* d, const int32_t* offsets, int width) {
  for (int x = 0; x < width; ++x) {
    const uint8_t* p = s + offsets[x];
    if constexpr (Bpp == 3) {
      d[0] = p[0];
      d[1] = p[1];
      d[2] = p[2];
    } else {
      std::memcpy(d, p, Bpp);
    }
    d += Bpp;
  }
}

// a + floor((b - a) * frac / 2^17); the arithmetic shift rounds toward minus infinity.
inline uint8_t lerp17(int a, int b, int frac) { return uint8_t(a + (((b - a) * frac) >> 17)); }

// The rfFastLinear routine on `channels` bytes per pixel (3 for colour, 1 for grey and alpha).
void fastLinear(TImageBitmap& source, TImageBitmap& target, int channels,
                const TResampleProgress& progress) {
  const int ws = source.Width(), hs = source.Height();
  const int wt = target.Width(), ht = target.Height();
  const double sx = double((long double)wt / ws);
  const double sy = double((long double)ht / hs);
  if (sx == 1.0 && sy == 1.0) {
    target.Assign(source);
    return;
  }

  std::vector<int> x0(static_cast<size_t>(wt)), x1(x0), frac(x0);
  for (int j = 0; j < wt; ++j) {
    const double f = double((long double)j / sx);
    x0[size_t(j)] = std::min(int(f), ws - 1);
    frac[size_t(j)] = int((f - int(f)) * 131072);
    const double end = double((long double)std::min(j + 1, wt - 1) / sx) + 1e-10;
    x1[size_t(j)] = std::min(int(end), ws - 1);
  }
  const double p = double(100.0L / ((long double)hs + ht + 0.5L));

  TImageWorkBitmap work(wt, hs, 8 * channels);
  {
    AccessScope readOnly(source, iaRead);
    for (int y = 0; y < hs; ++y) {
      const uint8_t* s = source.ScanLine(y);
      uint8_t* d = work.ScanLine(y);
      if (!s) continue;
      if (sx > 1) {
        for (int j = 0; j < wt; ++j) {
          const uint8_t* a = s + int64_t(x0[size_t(j)]) * channels;
          const uint8_t* b = s + int64_t(std::min(x0[size_t(j)] + 1, ws - 1)) * channels;
          const int fr = frac[size_t(j)];
          for (int c = 0; c < channels; ++c) *d++ = lerp17(a[c], b[c], fr);
        }
      } else {
        for (int j = 0; j < wt; ++j) {
          const int first = x0[size_t(j)], last = std::max(x1[size_t(j)], first);
          const int count = last - first + 1;
          for (int c = 0; c < channels; ++c) {
            unsigned sum = 0;
            const uint8_t* q = s + int64_t(first) * channels + c;
            for (int i = 0; i < count; ++i, q += channels) sum += *q;
            *d++ = uint8_t(sum / unsigned(count));
          }
        }
      }
      if (progress) progress(int(y * p));
    }
  }

  AccessScope writeOnly(target, iaWrite);
  const size_t rowBytes = size_t(wt) * size_t(channels);
  std::vector<uint32_t> sums(rowBytes);
  for (int j = 0; j < ht; ++j) {
    uint8_t* d = target.ScanLine(j);
    if (!d) continue;
    if (sy > 1) {
      const double g = double((long double)j / sy);
      const int y0 = std::min(int(g), hs - 1);
      const int fr = int((g - int(g)) * 131072);
      const uint8_t* a = work.ScanLine(y0);
      const uint8_t* b = work.ScanLine(y0 + 1 < hs ? y0 + 1 : y0);
      for (size_t i = 0; i < rowBytes; ++i) d[i] = lerp17(a[i], b[i], fr);
    } else {
      const int y0 = std::min(int((long double)j / sy), hs - 1);
      const int y1 = std::clamp(int((long double)std::min(j + 1, ht - 1) / sy), y0, hs - 1);
      std::fill(sums.begin(), sums.end(), 0u);
      for (int y = y0; y <= y1; ++y) {
        const uint8_t* s = work.ScanLine(y);
        for (size_t i = 0; i < rowBytes; ++i) sums[i] += s[i];
      }
      const uint32_t count = uint32_t(y1 - y0 + 1);
      for (size_t i = 0; i < rowBytes; ++i) d[i] = uint8_t(sums[i] / count);
    }
    if (progress) progress(int((hs + j) * p));
  }
}

// ---- The other filters: a general separable filtered routine --------------------------------

constexpr double kPi = 3.14159265358979323846;

double sinc(double x) {
  if (x == 0) return 1;
  x *= kPi;
  return std::sin(x) / x;
}

// The kernel of a filter and its support (half width) in source pixels.
double kernel(TResampleFilter filter, double x) {
  x = std::fabs(x);
  switch (filter) {
    case rfHermite:
      return x < 1 ? (2 * x - 3) * x * x + 1 : 0;
    case rfBell:
      if (x < 0.5) return 0.75 - x * x;
      if (x < 1.5) return 0.5 * (x - 1.5) * (x - 1.5);
      return 0;
    case rfBSpline:
      if (x < 1) return 0.5 * x * x * x - x * x + 2.0 / 3.0;
      if (x < 2) return (2 - x) * (2 - x) * (2 - x) / 6;
      return 0;
    case rfLanczos3:
      return x < 3 ? sinc(x) * sinc(x / 3) : 0;
    case rfMitchell: {
      constexpr double b = 1.0 / 3.0, c = 1.0 / 3.0;
      if (x < 1)
        return ((12 - 9 * b - 6 * c) * x * x * x + (-18 + 12 * b + 6 * c) * x * x + (6 - 2 * b)) /
               6;
      if (x < 2)
        return ((-b - 6 * c) * x * x * x + (6 * b + 30 * c) * x * x + (-12 * b - 48 * c) * x +
                (8 * b + 24 * c)) /
               6;
      return 0;
    }
    case rfBicubic: {  // Catmull-Rom
      if (x < 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
      if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
      return 0;
    }
    default:
      return x < 1 ? 1 - x : 0;  // triangle, linear, bilinear
  }
}

double support(TResampleFilter filter) {
  switch (filter) {
    case rfHermite:
      return 1;
    case rfBell:
      return 1.5;
    case rfBSpline:
    case rfMitchell:
    case rfBicubic:
      return 2;
    case rfLanczos3:
      return 3;
    default:
      return 1;
  }
}

// For every destination position, the first source position and the normalised weights.
struct Contributions {
  std::vector<int> first;
  std::vector<int> count;
  std::vector<float> weights;  // `stride` per destination position
  int stride = 0;
};

Contributions contributions(TResampleFilter filter, int sourceSize, int targetSize) {
  Contributions c;
  const double scale = double(targetSize) / sourceSize;
  c.first.resize(size_t(targetSize));
  c.count.resize(size_t(targetSize));
  if (filter == rfNearest) {  // point sampling at the pixel centres
    c.stride = 1;
    c.weights.assign(size_t(targetSize), 1.0f);
    for (int j = 0; j < targetSize; ++j) {
      c.first[size_t(j)] = std::min(int((j + 0.5) / scale), sourceSize - 1);
      c.count[size_t(j)] = 1;
    }
    return c;
  }
  const double stretch = scale < 1 ? 1 / scale : 1;  // reducing widens the kernel
  const double width = support(filter) * stretch;
  c.stride = int(std::ceil(width)) * 2 + 1;
  c.weights.assign(size_t(targetSize) * size_t(c.stride), 0.0f);
  std::vector<double> w(size_t(c.stride));
  for (int j = 0; j < targetSize; ++j) {
    const double center = (j + 0.5) / scale - 0.5;
    int left = int(std::floor(center - width));
    int right = int(std::ceil(center + width));
    left = std::max(left, 0);
    right = std::min(right, sourceSize - 1);
    if (right - left + 1 > c.stride) right = left + c.stride - 1;
    double sum = 0;
    for (int i = left; i <= right; ++i) {
      w[size_t(i - left)] = kernel(filter, (center - i) / stretch);
      sum += w[size_t(i - left)];
    }
    if (std::fabs(sum) < 1e-6) {  // the kernel (nearly) missed every pixel: take the nearest
      left = right = std::clamp(int(std::lround(center)), 0, sourceSize - 1);
      w[0] = sum = 1;
    }
    c.first[size_t(j)] = left;
    c.count[size_t(j)] = right - left + 1;
    for (int i = 0; i <= right - left; ++i)
      c.weights[size_t(j) * size_t(c.stride) + size_t(i)] = float(w[size_t(i)] / sum);
  }
  return c;
}

inline uint8_t toByte(float v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); }

// Separable filtering of `channels` bytes per pixel through a floating-point work image.
void filtered(TImageBitmap& source, TImageBitmap& target, int channels, TResampleFilter filter,
              const TResampleProgress& progress) {
  const int ws = source.Width(), hs = source.Height();
  const int wt = target.Width(), ht = target.Height();
  const Contributions cx = contributions(filter, ws, wt);
  const Contributions cy = contributions(filter, hs, ht);
  const size_t rowFloats = size_t(wt) * size_t(channels);
  if (!ImageSizeOk(int64_t(wt) * channels, hs, 32)) throw std::length_error("Work image too large");
  std::vector<float> work(rowFloats * size_t(hs));
  const double p = double(100.0L / ((long double)hs + ht + 0.5L));

  {
    AccessScope readOnly(source, iaRead);
    for (int y = 0; y < hs; ++y) {
      const uint8_t* s = source.ScanLine(y);
      float* d = work.data() + rowFloats * size_t(y);
      if (!s) continue;
      for (int j = 0; j < wt; ++j) {
        const float* w = cx.weights.data() + size_t(j) * size_t(cx.stride);
        const uint8_t* q = s + int64_t(cx.first[size_t(j)]) * channels;
        for (int c = 0; c < channels; ++c) {
          float sum = 0;
          for (int i = 0; i < cx.count[size_t(j)]; ++i) sum += w[i] * q[i * channels + c];
          *d++ = sum;
        }
      }
      if (progress) progress(int(y * p));
    }
  }

  AccessScope writeOnly(target, iaWrite);
  std::vector<float> sums(rowFloats);
  for (int j = 0; j < ht; ++j) {
    uint8_t* d = target.ScanLine(j);
    if (!d) continue;
    std::fill(sums.begin(), sums.end(), 0.0f);
    const float* w = cy.weights.data() + size_t(j) * size_t(cy.stride);
    for (int i = 0; i < cy.count[size_t(j)]; ++i) {
      const float* s = work.data() + rowFloats * size_t(cy.first[size_t(j)] + i);
      for (size_t k = 0; k < rowFloats; ++k) sums[k] += w[i] * s[k];
    }
    for (size_t k = 0; k < rowFloats; ++k) d[k] = toByte(sums[k]);
    if (progress) progress(int((hs + j) * p));
  }
}

// Bilevel reduction or enlargement that keeps thin lines: with rfProjectBW a destination pixel
// is black when any source pixel under it is black, with rfProjectWB white when any is white.
void project(TImageBitmap& source, TImageBitmap& target, bool keepBlack,
             const TResampleProgress& progress) {
  const int ws = source.Width(), hs = source.Height();
  const int wt = target.Width(), ht = target.Height();
  auto span = [](int j, int from, int to) {
    const int first = int(int64_t(j) * from / to);
    const int last = std::max(first, int((int64_t(j + 1) * from - 1) / to));
    return std::pair{first, std::min(last, from - 1)};
  };
  std::vector<int> x0(static_cast<size_t>(wt)), x1(x0);
  for (int j = 0; j < wt; ++j) std::tie(x0[size_t(j)], x1[size_t(j)]) = span(j, ws, wt);
  std::vector<uint8_t> hit(static_cast<size_t>(wt));
  const double step = double(100.0L / ((long double)ht + 0.5L));
  for (int j = 0; j < ht; ++j) {
    const auto [y0, y1] = span(j, hs, ht);
    std::fill(hit.begin(), hit.end(), uint8_t(0));
    {
      AccessScope readOnly(source, iaRead);
      for (int y = y0; y <= y1; ++y) {
        const uint8_t* s = source.ScanLine(y);
        if (!s) continue;
        for (int x = 0; x < wt; ++x) {
          for (int i = x0[size_t(x)]; i <= x1[size_t(x)] && !hit[size_t(x)]; ++i) {
            const bool white = (s[i >> 3] & (0x80 >> (i & 7))) != 0;
            if (white != keepBlack) hit[size_t(x)] = 1;
          }
        }
      }
    }
    AccessScope writeOnly(target, iaWrite);
    uint8_t* d = target.ScanLine(j);
    if (d) {
      for (int x = 0; x < wt; ++x) {
        const bool white = keepBlack ? !hit[size_t(x)] : hit[size_t(x)] != 0;
        const uint8_t mask = uint8_t(0x80 >> (x & 7));
        if (white)
          d[x >> 3] |= mask;
        else
          d[x >> 3] &= uint8_t(~mask);
      }
    }
    if (progress) progress(int(j * step));
  }
}

}  // namespace

void StretchNearest(TImageBitmap& source, TImageBitmap& target, const TResampleProgress& progress) {
  const int ws = source.Width(), hs = source.Height();
  const int wt = target.Width(), ht = target.Height();
  const TImagePixelFormat f = source.PixelFormat();
  if (source.IsEmpty() || target.IsEmpty() || f != target.PixelFormat()) return;

  const double xr = double((long double)ws / wt);
  const double yr = double((long double)hs / ht);
  const int bpp = PixelFormatBytes(f);
  // Column table: source column per destination column, as a byte offset for whole-byte
  // pixels (it lies inside the source row, so it fits in 32 bits).
  std::vector<int32_t> col(static_cast<size_t>(wt));
  for (int x = 0; x < wt; ++x) {
    const int c = std::min(int((long double)x * xr), ws - 1);
    col[size_t(x)] = f == im1g ? c : c * bpp;
  }
  const double step = double(100.0L / ((long double)ht + 0.5L));

  AccessScope readOnly(source, iaRead);
  AccessScope writeOnly(target, iaWrite);
  for (int y = 0; y < ht; ++y) {
    const int sy = std::min(int((long double)y * yr), hs - 1);
    const uint8_t* s = source.ScanLine(sy);
    uint8_t* d = target.ScanLine(y);
    if (s && d) {
      switch (bpp) {
        case 0:
          for (int x = 0; x < wt; ++x) {
            const int32_t c = col[size_t(x)];
            const uint8_t mask = uint8_t(0x80 >> (x & 7));
            if (s[c >> 3] & (0x80 >> (c & 7)))
              d[x >> 3] |= mask;
            else
              d[x >> 3] &= uint8_t(~mask);
          }
          break;
        case 1:
          for (int x = 0; x < wt; ++x) d[x] = s[col[size_t(x)]];
          break;
        case 2:
          copyRow<2>(s, d, col.data(), wt);
          break;
        case 3:
          copyRow<3>(s, d, col.data(), wt);
          break;
        case 4:
          copyRow<4>(s, d, col.data(), wt);
          break;
        case 6:
          copyRow<6>(s, d, col.data(), wt);
          break;
      }
    }
    if (progress) progress(int(y * step));
  }
}

void StretchFastLinear(TImageBitmap& source, TImageBitmap& target,
                       const TResampleProgress& progress) {
  if (source.IsEmpty() || target.IsEmpty() || source.PixelFormat() != target.PixelFormat()) return;
  switch (source.PixelFormat()) {
    case im24RGB:
      fastLinear(source, target, 3, progress);
      break;
    case im8g:
      fastLinear(source, target, 1, progress);
      break;
    default:
      StretchNearest(source, target, progress);
      break;
  }
}

bool TImageProc::DestinationSize(int sourceWidth, int sourceHeight, int newWidth, int newHeight,
                                 int& width, int& height) {
  if (sourceWidth <= 0 || sourceHeight <= 0 || (newWidth < 0 && newHeight < 0)) return false;
  // 64-bit products: a 32-bit product would wrap for large requests.
  const int64_t hForW = newHeight == 0 ? sourceHeight : std::llabs(int64_t(newHeight));
  int64_t w = newWidth == -1  ? int64_t(sourceWidth) * hForW / sourceHeight
              : newWidth == 0 ? sourceWidth
                              : std::llabs(int64_t(newWidth));
  w = std::clamp<int64_t>(w, 1, INT_MAX);
  int64_t h = newHeight == -1  ? int64_t(sourceHeight) * w / sourceWidth
              : newHeight == 0 ? sourceHeight
                               : std::llabs(int64_t(newHeight));
  h = std::clamp<int64_t>(h, 1, INT_MAX);
  width = int(w);
  height = int(h);
  return true;
}

void TImageProc::finishWork() {
  if (OnProgress) OnProgress(this, 100);
  if (OnFinishWork) OnFinishWork(this);
}

void TImageProc::ResampleBitmap(TImageBitmap& source, TImageBitmap& target,
                                TResampleFilter filter) {
  // Fully transparent pixels get a neutral grey, so that filters blending them with their
  // neighbours do not drag in whatever colour the file left under them.
  if (source.HasAlphaChannel() && source.PixelFormat() == im24RGB) {
    TImageBitmap* alpha = source.AlphaChannel();
    const int w = std::min(source.Width(), alpha->Width());
    for (int y = 0; y < source.Height() && y < alpha->Height(); ++y) {
      const uint8_t* a = alpha->ScanLine(y);
      uint8_t* p = source.ScanLine(y);
      if (!a || !p) continue;
      for (int x = 0; x < w; ++x)
        if (a[x] == 0) std::memset(p + 3 * x, 128, 3);
    }
  }

  TResampleProgress progress;
  if (OnProgress) progress = [this](int percent) { OnProgress(this, percent); };

  const TImagePixelFormat f = source.PixelFormat();
  const bool bytes = f == im24RGB || f == im8g;
  if (filter == rfNone)
    StretchNearest(source, target, progress);
  else if (filter == rfFastLinear && bytes)
    StretchFastLinear(source, target, progress);
  else if ((filter == rfProjectBW || filter == rfProjectWB) && f == im1g)
    project(source, target, filter == rfProjectBW, progress);
  else if (bytes && filter != rfProjectBW && filter != rfProjectWB && filter != rfFastLinear)
    filtered(source, target, f == im24RGB ? 3 : 1, filter, progress);
  else
    StretchNearest(source, target, progress);  // whole pixels: formats without a blend

  if (source.HasAlphaChannel()) {
    TImageBitmap* sa = source.AlphaChannel();
    TImageBitmap* ta = target.AlphaChannel();
    if (sa && ta) {
      if (filter == rfNone || filter == rfProjectBW || filter == rfProjectWB)
        StretchNearest(*sa, *ta);
      else if (filter == rfFastLinear)
        StretchFastLinear(*sa, *ta);
      else
        filtered(*sa, *ta, 1, filter, {});
      ta->SetFull(sa->Full());
    }
  }
}

void TImageProc::ResampleTo(TImageBitmap& target, int newWidth, int newHeight,
                            TResampleFilter filter) {
  if (!m_bitmap || &target == m_bitmap) return;
  TImageBitmap& source = *m_bitmap;
  int w = 0, h = 0;
  if (!DestinationSize(source.Width(), source.Height(), newWidth, newHeight, w, h)) return;
  target.SetNeedRealloc(true);
  target.Allocate(w, h, source.PixelFormat());
  // Index images keep their colours.
  for (int i = 0; i < target.PaletteLength(); ++i) target.SetPalette(i, source.GetPalette(i));
  ResampleBitmap(source, target, filter);
  finishWork();
}

void TImageProc::Resample(int newWidth, int newHeight, TResampleFilter filter) {
  if (!m_bitmap || m_bitmap->Width() == 0 || m_bitmap->Height() == 0) return;
  {
    TImageBitmap result;
    ResampleTo(result, newWidth, newHeight, filter);
    // Nothing computed (both sides negative): the image stays exactly as it is, whatever its
    // storage, instead of being replaced by an empty buffer.
    if (!result.IsEmpty()) m_bitmap->Assign(result);
  }
  if (OnImageChanged) OnImageChanged();
  finishWork();
}

}  // namespace lumaprep
