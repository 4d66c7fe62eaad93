// The preview: fitting the image into the view, the averaged picture for each pixel format of
// the preview's buffer, and blanking.
#include <QApplication>

#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "app/imageview.h"
#include "apptest.h"
#include "imaging/imagebitmap.h"

namespace lumaprep {
namespace {

class ImageViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    view = std::make_unique<TImageView>();
  }
  std::unique_ptr<TImageView> view;
};

TEST_F(ImageViewTest, BufferIsHeldInATBitmap) {
  view->Bitmap().Allocate(3, 2, im24RGB);
  EXPECT_EQ(view->Bitmap().Location(), imTBitmap);
}

TEST_F(ImageViewTest, FitsTheWholeImageKeepingItsShape) {
  struct Case {
    const char* name;
    int width, height;
    QSize picture;
  };
  const Case cases[] = {
      {"wide", 300, 100, QSize(136, 45)},
      {"tall", 100, 300, QSize(34, 102)},
      {"small is enlarged", 34, 25, QSize(136, 100)},
      {"one pixel line", 5000, 1, QSize(136, 1)},
  };
  view->resize(136, 102);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view->Bitmap().Allocate(c.width, c.height, im24RGB);
    view->ImageChanged();
    EXPECT_EQ(view->Picture().size(), c.picture);
  }
}

TEST_F(ImageViewTest, EachPicturePixelAveragesItsBoxForEveryStoredFormat) {
  view->resize(2, 1);
  TImageBitmap& b = view->Bitmap();

  // 24 bits: left box red, right box half blue, half black.
  b.Allocate(4, 2, im24RGB);
  for (int y = 0; y < 2; ++y) {
    uint8_t* row = b.ScanLine(y);
    const uint8_t px[4][3] = {{0, 0, 255}, {0, 0, 255}, {255, 0, 0}, {0, 0, 0}};
    for (int x = 0; x < 4; ++x) std::copy(px[x], px[x] + 3, row + 3 * x);
  }
  view->ImageChanged();
  ASSERT_EQ(view->Picture().size(), QSize(2, 1));
  EXPECT_EQ(view->Picture().pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(view->Picture().pixel(1, 0), qRgb(0, 0, 127));

  // 8-bit palette: indices through the colour table.
  b.Allocate(4, 2, im8p);
  b.SetPalette(7, TRGB{0, 200, 0});
  b.SetPalette(9, TRGB{100, 0, 0});
  for (int y = 0; y < 2; ++y) {
    uint8_t* row = b.ScanLine(y);
    row[0] = row[1] = 7;
    row[2] = row[3] = 9;
  }
  view->ImageChanged();
  EXPECT_EQ(view->Picture().pixel(0, 0), qRgb(0, 200, 0));
  EXPECT_EQ(view->Picture().pixel(1, 0), qRgb(0, 0, 100));

  // 1 bit, bit 1 white, leftmost pixel in the high bit.
  b.Allocate(16, 8, im1g);
  for (int y = 0; y < 8; ++y) {
    b.ScanLine(y)[0] = 0xFF;  // pixels 0..7 white
    b.ScanLine(y)[1] = 0x00;  // pixels 8..15 black
  }
  view->ImageChanged();
  EXPECT_EQ(view->Picture().pixel(0, 0), qRgb(255, 255, 255));
  EXPECT_EQ(view->Picture().pixel(1, 0), qRgb(0, 0, 0));
}

TEST_F(ImageViewTest, BlankKeepsTheSizeFillsTheBackgroundAndDropsAlpha) {
  view->resize(40, 30);
  TImageBitmap& b = view->Bitmap();
  b.Allocate(7, 5, im8p);
  b.AlphaChannel()->Fill(3);
  view->Blank();
  const QColor bg = view->Background();
  EXPECT_EQ(b.Width(), 7);
  EXPECT_EQ(b.Height(), 5);
  EXPECT_FALSE(b.HasAlphaChannel());
  const TRGB expected{uint8_t(bg.blue()), uint8_t(bg.green()), uint8_t(bg.red())};
  EXPECT_EQ(b.Pixels(0, 0), expected);
  EXPECT_EQ(b.Pixels(6, 4), expected);
  // An empty buffer stays empty.
  b.FreeImage();
  view->Blank();
  EXPECT_TRUE(b.IsEmpty());
}

}  // namespace
}  // namespace lumaprep
