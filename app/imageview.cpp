#include "app/imageview.h"

#include <algorithm>
#include <array>
#include <vector>

#include <QPaintEvent>
#include <QPainter>

#include "imaging/imagebitmap.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"

namespace lumaprep {
namespace {

// The picture of the preview straight from the TBitmap's rows: each target pixel is the
// average of its box of source pixels. Works in one pass without a full-size copy, so showing
// a large photo costs no second image in memory.
QImage boxScaled(const TBitmap& bitmap, const QSize& size) {
  const int sw = bitmap.Width();
  const int sh = bitmap.Height();
  const int dw = size.width();
  const int dh = size.height();
  QImage image(size, QImage::Format_RGB32);
  if (image.isNull() || sw <= 0 || sh <= 0) return {};
  const std::array<TRGB, 256>& colors = bitmap.ColorTable();
  auto pixel = [&](const uint8_t* row, int x) -> TRGB {
    switch (bitmap.PixelFormat()) {
      case pf24bit:
        return TRGB{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
      case pf8bit:
        return colors[row[x]];
      case pf1bit:
        return colors[(row[x >> 3] >> (7 - (x & 7))) & 1];
    }
    return TRGB{0, 0, 0};
  };
  std::vector<int> xs(size_t(dw) + 1);
  for (int x = 0; x <= dw; ++x) xs[size_t(x)] = int(int64_t(x) * sw / dw);
  std::vector<uint64_t> sums(size_t(dw) * 3);
  for (int y = 0; y < dh; ++y) {
    const int y0 = int(int64_t(y) * sh / dh);
    const int y1 = std::max(y0 + 1, int(int64_t(y + 1) * sh / dh));
    std::fill(sums.begin(), sums.end(), 0);
    for (int sy = y0; sy < y1; ++sy) {
      const uint8_t* row = bitmap.ScanLine(sy);
      for (int x = 0; x < dw; ++x) {
        const int x1 = std::max(xs[size_t(x)] + 1, xs[size_t(x) + 1]);
        for (int sx = xs[size_t(x)]; sx < x1; ++sx) {
          const TRGB c = pixel(row, sx);
          sums[size_t(x) * 3] += c.r;
          sums[size_t(x) * 3 + 1] += c.g;
          sums[size_t(x) * 3 + 2] += c.b;
        }
      }
    }
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < dw; ++x) {
      const uint64_t n =
          uint64_t(y1 - y0) * uint64_t(std::max(xs[size_t(x)] + 1, xs[size_t(x) + 1]) - xs[size_t(x)]);
      out[x] = qRgb(int(sums[size_t(x) * 3] / n), int(sums[size_t(x) * 3 + 1] / n),
                    int(sums[size_t(x) * 3 + 2] / n));
    }
  }
  return image;
}

// Nearest-pixel sampling for buffers that are not held in a TBitmap.
QImage sampleBitmap(const TImageBitmap& bitmap, const QSize& size) {
  QImage image(size, QImage::Format_RGB32);
  for (int y = 0; y < size.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    const int sy = int(int64_t(y) * bitmap.Height() / size.height());
    for (int x = 0; x < size.width(); ++x) {
      const int sx = int(int64_t(x) * bitmap.Width() / size.width());
      const TRGB c = bitmap.Pixels(sx, sy);
      row[x] = qRgb(c.r, c.g, c.b);
    }
  }
  return image;
}

}  // namespace

TImageView::TImageView(QWidget* parent)
    : QWidget(parent),
      m_bitmap(std::make_unique<TImageBitmap>()),
      m_io(std::make_unique<TImageIO>(m_bitmap.get())),
      m_proc(std::make_unique<TImageProc>(m_bitmap.get())),
      m_background(palette().color(QPalette::Window)) {
  m_bitmap->SetLocation(imTBitmap);
}

TImageView::~TImageView() = default;

void TImageView::ImageChanged() {
  m_pictureValid = false;
  update();
}

void TImageView::Blank() {
  const int width = m_bitmap->Width();
  const int height = m_bitmap->Height();
  if (width > 0 && height > 0) {
    m_bitmap->Allocate(width, height, im24RGB);
    const TRGB color{uint8_t(m_background.blue()), uint8_t(m_background.green()),
                     uint8_t(m_background.red())};
    m_bitmap->Fill(ColorValue(color));
  }
  m_bitmap->RemoveAlphaChannel();
  ImageChanged();
  repaint();
}

QRect TImageView::fittedRect() const {
  const int w = m_bitmap->Width();
  const int h = m_bitmap->Height();
  if (w <= 0 || h <= 0 || width() <= 0 || height() <= 0) return {};
  // Largest size with the image's aspect ratio that fits; 64-bit products.
  int64_t fw = width();
  int64_t fh = int64_t(h) * fw / w;
  if (fh > height()) {
    fh = height();
    fw = int64_t(w) * fh / h;
  }
  fw = std::max<int64_t>(fw, 1);
  fh = std::max<int64_t>(fh, 1);
  return QRect(int((width() - fw) / 2), int((height() - fh) / 2), int(fw), int(fh));
}

QImage TImageView::fittedPicture(const QSize& area) {
  if (area.isEmpty() || m_bitmap->IsEmpty()) return {};
  if (m_bitmap->Location() == imTBitmap) return boxScaled(m_bitmap->VclBitmap(), area);
  return sampleBitmap(*m_bitmap, area);
}

const QImage& TImageView::Picture() {
  if (!m_pictureValid) {
    m_picture = fittedPicture(fittedRect().size());
    m_pictureValid = true;
  }
  return m_picture;
}

void TImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), m_background);
  const QImage& picture = Picture();
  if (!picture.isNull()) painter.drawImage(fittedRect().topLeft(), picture);
}

void TImageView::resizeEvent(QResizeEvent*) { m_pictureValid = false; }

}  // namespace lumaprep
