#pragma once
// TfrmSplash: the borderless start-up picture. It fades in over a second, and out over a
// second when it is closed, before the main window is created. Pixels of exactly grey
// (128, 128, 128) are see-through.
#include <string>

#include <QColor>
#include <QWidget>

class QLabel;

namespace lumaprep {

class TfrmSplash : public QWidget {
 public:
  static constexpr int kFadeMilliseconds = 1000;
  static constexpr QRgb kTransparentColor = 0xFF808080;

  explicit TfrmSplash(std::string splashFileName);

  // Start-up: shows the window (FormShow: picture, fade in), lets it paint, closes it
  // (FormCloseQuery: fade out). A picture that cannot be loaded is reported through the error
  // box; the window then shows without fading in and without a picture, and still fades out.
  void Run();

  // Loads the picture; throws when the file is missing or not a valid bitmap.
  void FormShow();
  void FormCloseQuery();

  // Fades the window in (or out and hides it) over time milliseconds; returns when done.
  void ShowAnimated(int time);
  void HideAnimated(int time);
  static void InvalidateTree(QWidget* control);

  QLabel* imageSplash = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void fade(double from, double to, int time);
  void updateMask();

  std::string m_splashFileName;
};

// The message of a picture that cannot be loaded, as the error box shows it.
std::string SplashLoadError(const std::string& fileName, const std::string& reason);

}  // namespace lumaprep
