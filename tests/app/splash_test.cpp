#include "app/splash.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <QApplication>
#include <QBitmap>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "apptest.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class SplashTest : public ::testing::Test {
 protected:
  void SetUp() override { test::EnsureApp(); }

  std::string file(const char* name) const { return (m_dir / name).string(); }

  test::TempFolder m_temp{"splash"};
  const fs::path& m_dir = m_temp.path();
  test::ErrorRecorder m_recorder;
  QStringList& m_errors = m_recorder.messages;
};

TEST_F(SplashTest, PictureAtNaturalSizeGreyIsSeeThroughFadesInAndOutOverASecondEach) {
  // 200 x 100: red, with a grey key square at its top-left corner.
  QImage picture(200, 100, QImage::Format_RGB32);
  picture.fill(QColor(200, 30, 30));
  QPainter(&picture).fillRect(0, 0, 20, 20, QColor(128, 128, 128));
  ASSERT_TRUE(picture.save(QString::fromStdString(file("splash-en.bmp")), "BMP"));

  TfrmSplash splash(file("splash-en.bmp"));
  EXPECT_EQ(splash.size(), QSize(420, 300));
  EXPECT_EQ(splash.pos(), QPoint(360, 245));
  splash.setWindowOpacity(0.0);
  splash.show();
  QElapsedTimer clock;
  clock.start();
  splash.FormShow();
  EXPECT_GE(clock.elapsed(), TfrmSplash::kFadeMilliseconds);
  EXPECT_DOUBLE_EQ(splash.windowOpacity(), 1.0);

  const QPixmap shown = splash.imageSplash->pixmap();
  EXPECT_EQ(shown.size(), QSize(200, 100));  // neither stretched nor centred
  EXPECT_EQ(splash.imageSplash->alignment(), Qt::AlignLeft | Qt::AlignTop);
  const QRegion visible = splash.mask();
  EXPECT_FALSE(visible.contains(QPoint(5, 5)));     // the grey corner
  EXPECT_TRUE(visible.contains(QPoint(100, 50)));   // the red picture
  EXPECT_TRUE(visible.contains(QPoint(300, 200)));  // the window beyond the picture

  clock.restart();
  splash.close();
  EXPECT_GE(clock.elapsed(), TfrmSplash::kFadeMilliseconds);
  EXPECT_FALSE(splash.isVisible());
  EXPECT_TRUE(m_errors.isEmpty());
}

TEST_F(SplashTest, AMissingOrBrokenPictureIsReportedAndStartUpGoesOn) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file at all
    const char* message;
  };
  const Case cases[] = {
      {"missing.bmp", nullptr, "No such file or directory"},
      {"broken.bmp", "BM this is not a bitmap", "Bitmap image is not valid."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_errors.clear();
    if (c.content) std::ofstream(file(c.name)) << c.content;
    TfrmSplash splash(file(c.name));
    QElapsedTimer clock;
    clock.start();
    splash.Run();
    // No fade-in, but the fade-out still runs when the window is closed.
    EXPECT_GE(clock.elapsed(), TfrmSplash::kFadeMilliseconds);
    EXPECT_LT(clock.elapsed(), 2 * TfrmSplash::kFadeMilliseconds);
    EXPECT_FALSE(splash.isVisible());
    EXPECT_TRUE(splash.imageSplash->pixmap().isNull());
    ASSERT_EQ(m_errors.size(), 1);
    EXPECT_EQ(m_errors[0],
              QStringLiteral("Cannot open file \"%1\". %2")
                  .arg(QString::fromStdString(file(c.name)), QString::fromLatin1(c.message)));
  }
}

TEST(SplashPictures, TheShippedPicturesAre420By300Bitmaps) {
  test::EnsureApp();
  for (const char* name : {"splash-en.bmp", "splash-gb.bmp"}) {
    SCOPED_TRACE(name);
    const QString path =
        QString::fromStdString((fs::path(LUMAPREP_SOURCE_DIR) / "data" / name).string());
    QImage picture;
    ASSERT_TRUE(picture.load(path, "BMP"));
    EXPECT_EQ(picture.size(), QSize(420, 300));
    // The program folder has it too: the build copies data/ beside the executable.
    EXPECT_TRUE(fs::exists(fs::path(LUMAPREP_BINARY_DIR) / "bin" / name));
  }
}

}  // namespace
}  // namespace lumaprep
