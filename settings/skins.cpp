#include "settings/skins.h"

namespace lumaprep {

const std::array<const char*, kSkinCount>& SkinFileNames() {
  static const std::array<const char*, kSkinCount> names = {
      "Calmness.ssk",    "DiamondBlue.ssk", "DiamondGreen.ssk", "GlassGreen.ssk",
      "Longhorn.ssk",    "MacOS.ssk",       "MP10.ssk",         "MSN.ssk",
      "OneBlue.ssk",     "Silver.ssk",      "SportsBlack.ssk",  "SportsBlue.ssk",
      "Midsummer.ssk",   "Emerald.ssk",     "Warm.ssk",         "XPBlue.ssk",
      "XPGreen.ssk",     "XPSilver.ssk"};
  return names;
}

std::string SkinFileName(int number) {
  if (number < 1 || number > kSkinCount) number = kDefaultSkin;
  return SkinFileNames()[static_cast<std::size_t>(number - 1)];
}

std::string SkinFilePath(const std::string& appPath, int number) {
  return appPath + "skins/" + SkinFileName(number);
}

}  // namespace lumaprep
