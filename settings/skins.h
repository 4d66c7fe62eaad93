#pragma once
// The eighteen skin files, in the order of the skin menu (entries N_Skin1 to N_Skin18). A skin
// file is a Qt style sheet under "skins/" in the program folder; applying it is done by the
// window code, which takes the path from here.
#include <array>
#include <string>

namespace lumaprep {

inline constexpr int kSkinCount = 18;
inline constexpr int kDefaultSkin = 10;  // "Silver.ssk": the fallback for any unknown number

// File names, index 0 = skin number 1.
const std::array<const char*, kSkinCount>& SkinFileNames();

// The file name for a skin number; a number outside 1..18 gives that of number 10.
std::string SkinFileName(int number);

// appPath (the program folder, ending in "/") + "skins/" + SkinFileName(number).
std::string SkinFilePath(const std::string& appPath, int number);

}  // namespace lumaprep
