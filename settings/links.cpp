#include "settings/links.h"

#include <array>

namespace lumaprep {
namespace {

// Lumaprep's own addresses, all kept here. The project has no public home yet, so they live
// under example.org.
constexpr const char* kHomePageEn = "https://lumaprep.example.org/";
constexpr const char* kHomePageCn = "https://lumaprep.example.org/zh/";
constexpr const char* kSupportMailEn = "mailto:support@lumaprep.example.org";
constexpr const char* kSupportMailCn = "mailto:support-zh@lumaprep.example.org";
constexpr const char* kFeedbackEn = "https://lumaprep.example.org/feedback.html";
constexpr const char* kContactCn = "https://lumaprep.example.org/zh/contact.html";

// One English page per other product, in the order of the submenu.
constexpr std::array<const char*, kProductCount> kProductPagesEn = {
    "https://lumaprep.example.org/products/watermark.html",
    "https://lumaprep.example.org/products/renamer.html",
    "https://lumaprep.example.org/products/slideshow.html",
    "https://lumaprep.example.org/products/screencapture.html",
    "https://lumaprep.example.org/products/iconeditor.html",
    "https://lumaprep.example.org/products/formatconverter.html",
    "https://lumaprep.example.org/products/album.html",
    "https://lumaprep.example.org/products/contactsheet.html",
    "https://lumaprep.example.org/products/colourpicker.html",
    "https://lumaprep.example.org/products/metadata.html",
    "https://lumaprep.example.org/products/wallpaper.html"};

}  // namespace

bool IsChineseLanguage(int languageId) { return languageId == kLanguageChinese; }

TLinkLocations LinkLocations(int languageId) {
  if (IsChineseLanguage(languageId)) return {kHomePageCn, kSupportMailCn, kContactCn};
  return {kHomePageEn, kSupportMailEn, kFeedbackEn};
}

std::string ProductURL(int languageId, int number) {
  if (IsChineseLanguage(languageId)) return kHomePageCn;
  if (number < 1 || number > kProductCount) return kHomePageEn;
  return kProductPagesEn[static_cast<std::size_t>(number - 1)];
}

}  // namespace lumaprep
