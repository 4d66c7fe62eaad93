#include "app/splash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <QBitmap>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QThread>

#include "app/errorhandler.h"

namespace lumaprep {

std::string SplashLoadError(const std::string& fileName, const std::string& reason) {
  return "Cannot open file \"" + fileName + "\". " + reason;
}

TfrmSplash::TfrmSplash(std::string splashFileName)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint),
      m_splashFileName(std::move(splashFileName)) {
  setObjectName(QStringLiteral("frmSplash"));
  setFixedSize(420, 300);
  move(360, 245);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  imageSplash = new QLabel(this);
  imageSplash->setObjectName(QStringLiteral("imageSplash"));
  imageSplash->setGeometry(0, 0, 420, 300);
  imageSplash->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  imageSplash->setScaledContents(false);
}

void TfrmSplash::Run() {
  setWindowOpacity(0.0);
  show();
  try {
    FormShow();
  } catch (...) {
    // No picture and no fade-in: the window stands as it is while the error is shown.
    setWindowOpacity(1.0);
    ShowCurrentException();
  }
  repaint();
  QCoreApplication::processEvents();
  close();
}

void TfrmSplash::FormShow() {
  const QString path = QFile::decodeName(QByteArray::fromStdString(m_splashFileName));
  if (FILE* f = std::fopen(m_splashFileName.c_str(), "rb")) {
    std::fclose(f);
  } else {
    throw std::runtime_error(SplashLoadError(m_splashFileName, std::strerror(errno)));
  }
  // The picture is a bitmap file; other content is refused like a damaged bitmap.
  QImageReader reader(path, "bmp");
  reader.setDecideFormatFromContent(false);
  const QImage picture = reader.read();
  if (picture.isNull())
    throw std::runtime_error(SplashLoadError(m_splashFileName, "Bitmap image is not valid."));
  imageSplash->setPixmap(QPixmap::fromImage(picture));
  updateMask();
  ShowAnimated(kFadeMilliseconds);
}

void TfrmSplash::FormCloseQuery() { HideAnimated(kFadeMilliseconds); }

void TfrmSplash::closeEvent(QCloseEvent* event) {
  RunGuarded([this] { FormCloseQuery(); });
  event->accept();  // hidden, not destroyed
}

void TfrmSplash::ShowAnimated(int time) {
  fade(0.0, 1.0, time);
  InvalidateTree(this);
  activateWindow();
}

void TfrmSplash::HideAnimated(int time) {
  fade(windowOpacity(), 0.0, time);
  hide();
}

void TfrmSplash::InvalidateTree(QWidget* control) {
  control->update();
  for (QObject* child : control->children())
    if (auto* widget = qobject_cast<QWidget*>(child)) InvalidateTree(widget);
}

// Steps the window's opacity over time milliseconds, blocking, with the window kept painting.
void TfrmSplash::fade(double from, double to, int time) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    const qint64 elapsed = clock.elapsed();
    if (elapsed >= time) break;
    setWindowOpacity(from + (to - from) * static_cast<double>(elapsed) / time);
    QCoreApplication::processEvents();
    QThread::msleep(10);
  }
  setWindowOpacity(to);
  QCoreApplication::processEvents();
}

// The window as it will be seen (background and picture) becomes see-through wherever it is
// exactly the key grey.
void TfrmSplash::updateMask() {
  QImage look(size(), QImage::Format_RGB32);
  look.fill(palette().color(QPalette::Window));
  if (const QPixmap picture = imageSplash->pixmap(); !picture.isNull()) {
    QPainter painter(&look);
    painter.drawPixmap(imageSplash->pos(), picture);
  }
  // Qt::MaskInColor marks every pixel that is not the key colour as shown.
  QImage keep = look.createMaskFromColor(kTransparentColor, Qt::MaskInColor);
  setMask(QBitmap::fromImage(keep));
}

}  // namespace lumaprep
