#include "app/imageview.h"

#include <algorithm>

#include <QPaintEvent>
#include <QPainter>

#include "imaging/imagebitmap.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"

namespace lumaprep {
namespace {

QVector<QRgb> colorTable(const TBitmap& bitmap, int count) {
  QVector<QRgb> table(count);
  for (int i = 0; i < count; ++i) {
    const TRGB c = bitmap.GetColor(i);
    table[i] = qRgb(c.r, c.g, c.b);
  }
  return table;
}

// A QImage over the rows of the TBitmap, without copying; valid while the bitmap is unchanged.
QImage wrapTBitmap(TBitmap& bitmap) {
  if (bitmap.Empty()) return {};
  uchar* bits = bitmap.ScanLine(0);
  switch (bitmap.PixelFormat()) {
    case pf24bit:
      return QImage(bits, bitmap.Width(), bitmap.Height(), bitmap.RowLen(), QImage::Format_BGR888);
    case pf8bit: {
      QImage image(bits, bitmap.Width(), bitmap.Height(), bitmap.RowLen(), QImage::Format_Indexed8);
      image.setColorTable(colorTable(bitmap, 256));
      return image;
    }
    case pf1bit: {
      QImage image(bits, bitmap.Width(), bitmap.Height(), bitmap.RowLen(), QImage::Format_Mono);
      image.setColorTable(colorTable(bitmap, 2));
      return image;
    }
  }
  return {};
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
  if (m_bitmap->Location() == imTBitmap) {
    const QImage wrapped = wrapTBitmap(m_bitmap->VclBitmap());
    if (!wrapped.isNull())
      return wrapped.scaled(area, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
          .convertToFormat(QImage::Format_RGB32);
  }
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
