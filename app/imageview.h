#pragma once
// TImageView: the preview. It owns the program's one image buffer (stored as a TBitmap,
// location imTBitmap) together with the input/output component that loads into it and saves
// from it and the processing component that resamples it in place. The conversion job and
// the file list both work on this buffer.
#include <memory>

#include <QColor>
#include <QImage>
#include <QWidget>

namespace lumaprep {

class TImageBitmap;
class TImageIO;
class TImageProc;

class TImageView : public QWidget {
  Q_OBJECT

 public:
  explicit TImageView(QWidget* parent = nullptr);
  ~TImageView() override;

  TImageBitmap& Bitmap() { return *m_bitmap; }
  TImageIO& IO() { return *m_io; }
  TImageProc& Proc() { return *m_proc; }

  // Call after the buffer changed (load, resample, fill): the view rebuilds its picture and
  // repaints.
  void ImageChanged();

  // Fills the image with the view's background colour, keeping its size, drops any alpha
  // channel and repaints.
  void Blank();

  QColor Background() const { return m_background; }

  // The picture as drawn: the image fitted into the view, each pixel the average of its
  // part of the image.
  const QImage& Picture();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QImage fittedPicture(const QSize& area);
  QRect fittedRect() const;

  std::unique_ptr<TImageBitmap> m_bitmap;
  std::unique_ptr<TImageIO> m_io;
  std::unique_ptr<TImageProc> m_proc;
  QColor m_background;
  QImage m_picture;
  bool m_pictureValid = false;
};

}  // namespace lumaprep
