#pragma once
// The output size choice: two lists of fixed entries (automatic first, custom last) and the
// numbers they give the resampler. -1 means automatic (keep the aspect ratio from the other side),
// 0 the source's own size, a positive value that many pixels. The window and lumaprep-cli both
// call GetPhotoWidth / GetPhotoHeight, so they agree on every number.
#include <array>
#include <string>

namespace lumaprep {

inline constexpr int kSizeItemCount = 11;
inline constexpr int kSizeItemAuto = 0;      // text replaced by StringItemAuto
inline constexpr int kSizeItemCustom = 10;   // text replaced by StringItemSpecial
inline constexpr int kSizeAutomatic = -1;
inline constexpr int kDefaultWidthIndex = 2;   // "1024"
inline constexpr int kDefaultHeightIndex = 0;  // automatic
inline constexpr int kEmptyCustomWidth = 1024;
inline constexpr int kEmptyCustomHeight = kSizeAutomatic;

// Entry texts of the lists as designed (entries 0 and 10 in Chinese until the language is
// applied).
const std::array<const char*, kSizeItemCount>& PhotoWidthItems();
const std::array<const char*, kSizeItemCount>& PhotoHeightItems();

// Values of entries 1..9 (entries 0 and 10 hold kSizeAutomatic; 10 is really the custom field).
const std::array<int, kSizeItemCount>& PhotoWidthValues();
const std::array<int, kSizeItemCount>& PhotoHeightValues();

// Value of a custom field: blanks and control characters trimmed from both ends; empty gives
// emptyValue; a whole decimal number (leading zeros allowed) gives that number; anything else
// (a blank between digits, a sign, a number too large for int) gives kSizeAutomatic.
int CustomSizeValue(const std::string& customText, int emptyValue);

// index: the selected entry of the list (an index outside 0..10, such as -1 for no selection,
// counts as automatic); customText: the text of the custom field, used for entry 10 only.
int GetPhotoWidth(int index, const std::string& customText);
int GetPhotoHeight(int index, const std::string& customText);

}  // namespace lumaprep
