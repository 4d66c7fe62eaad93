#include "app/job/sizerules.h"

#include <gtest/gtest.h>

#include <string>

#include "imaging/resample.h"

namespace lumaprep {
namespace {

TEST(SizeRulesTest, EntriesGiveTheirValues) {
  struct Case {
    int index;
    const char* widthText;
    int width;
    const char* heightText;
    int height;
  } cases[] = {
      {0, "自动设置", -1, "自动设置", -1}, {1, "1280", 1280, "1024", 1024},
      {2, "1024", 1024, "800", 800},       {3, "800", 800, "600", 600},
      {4, "640", 640, "480", 480},         {5, "480", 480, "360", 360},
      {6, "200", 200, "200", 200},         {7, "150", 150, "150", 150},
      {8, "100", 100, "100", 100},         {9, "50", 50, "50", 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_STREQ(PhotoWidthItems()[c.index], c.widthText);
    EXPECT_STREQ(PhotoHeightItems()[c.index], c.heightText);
    // The custom text matters only for the custom entry.
    EXPECT_EQ(GetPhotoWidth(c.index, "77"), c.width);
    EXPECT_EQ(GetPhotoHeight(c.index, "77"), c.height);
  }
  EXPECT_STREQ(PhotoWidthItems()[kSizeItemCustom], "自定义");
  // Start-up selection: width "1024", height automatic.
  EXPECT_EQ(GetPhotoWidth(kDefaultWidthIndex, ""), 1024);
  EXPECT_EQ(GetPhotoHeight(kDefaultHeightIndex, ""), -1);
  // No selection (a list whose entry was just replaced) or an index from elsewhere: automatic.
  for (int index : {-1, 11, 1000}) {
    EXPECT_EQ(GetPhotoWidth(index, "500"), -1);
    EXPECT_EQ(GetPhotoHeight(index, "500"), -1);
  }
}

TEST(SizeRulesTest, CustomFieldText) {
  struct Case {
    const char* text;
    int width;
    int height;
  } cases[] = {
      {"", 1024, -1},          {"    ", 1024, -1},     {"\t\r\n ", 1024, -1},
      {"12 3", -1, -1},        {"1 2 ", -1, -1},       {"0800", 800, 800},
      {"0000", 0, 0},          {"0", 0, 0},            {"9999", 9999, 9999},
      {" 640", 640, 640},      {"64  ", 64, 64},       {"\t480\n", 480, 480},
      {"-5", -1, -1},          {"+5", -1, -1},         {"$10", -1, -1},
      {"0x10", -1, -1},        {"12a", -1, -1},        {"1.5", -1, -1},
      {"２０", -1, -1},         // full-width digits are not digits here
      {"2147483647", 2147483647, 2147483647},
      {"2147483648", -1, -1},  {"99999999999999999999", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(GetPhotoWidth(kSizeItemCustom, c.text), c.width);
    EXPECT_EQ(GetPhotoHeight(kSizeItemCustom, c.text), c.height);
  }
}

// What the choices make of real sources once the resampler has worked out the size.
TEST(SizeRulesTest, OutputSizesOfTheChoices) {
  struct Case {
    const char* name;
    int widthIndex;
    const char* widthText;
    int heightIndex;
    const char* heightText;
    int sourceWidth, sourceHeight;
    int width, height;  // 0 x 0: left as loaded
  } cases[] = {
      {"defaults, landscape", 2, "", 0, "", 3000, 2000, 1024, 682},
      {"defaults, portrait", 2, "", 0, "", 2000, 3000, 1024, 1536},
      {"defaults enlarge", 2, "", 0, "", 640, 480, 1024, 768},
      {"height 600 only", 0, "", 3, "", 3000, 2000, 900, 600},
      {"both custom, empty", 10, "    ", 10, "    ", 3000, 2000, 1024, 682},
      {"custom width with a blank inside", 10, "12 3", 3, "", 3000, 2000, 900, 600},
      {"custom height with a blank inside", 2, "", 10, "6 0", 3000, 2000, 1024, 682},
      {"custom 0800", 10, "0800", 0, "", 3000, 2000, 800, 533},
      {"custom 0000, height automatic", 10, "0000", 0, "", 3000, 2000, 3000, 2000},
      {"both automatic", 0, "", 0, "", 3000, 2000, 0, 0},
      {"fixed both, ratio not kept", 1, "", 1, "", 3000, 2000, 1280, 1024},
      {"tiny result is at least 1", 9, "", 0, "", 3000, 20, 50, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int width = 0, height = 0;
    const bool resized = TImageProc::DestinationSize(
        c.sourceWidth, c.sourceHeight, GetPhotoWidth(c.widthIndex, c.widthText),
        GetPhotoHeight(c.heightIndex, c.heightText), width, height);
    if (c.width == 0) {
      EXPECT_FALSE(resized);
      continue;
    }
    EXPECT_TRUE(resized);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
  }
}

}  // namespace
}  // namespace lumaprep
