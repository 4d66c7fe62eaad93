#pragma once
// Web and mail locations of Lumaprep and of the maker's other products, by language. Opening them
// (QDesktopServices) is done by the window code.
#include <string>

namespace lumaprep {

inline constexpr int kLanguageChinese = 1;  // "language" = 1 in config.ini; anything else: English
inline constexpr int kLanguageEnglish = 2;  // the default
inline constexpr int kProductCount = 11;    // entries N_Product1 .. N_Product11

struct TLinkLocations {
  std::string HomePageURL;
  std::string SupportMailURL;  // a "mailto:" link
  std::string FeedbackURL;     // feedback page (English) or contact page (Chinese)
};

bool IsChineseLanguage(int languageId);

TLinkLocations LinkLocations(int languageId);

// Web page of other product number 1..11. With the Chinese language every entry opens the Chinese
// home page. A number outside 1..11 gives the home page of the language.
std::string ProductURL(int languageId, int number);

}  // namespace lumaprep
