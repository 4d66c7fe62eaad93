#include "app/job/sizerules.h"

#include <limits>
#include <string_view>

namespace lumaprep {
namespace {

// Trim as for the custom field: spaces and control characters at both ends.
std::string_view trimControls(std::string_view s) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

int sizeValue(const std::array<int, kSizeItemCount>& values, int index,
              const std::string& customText, int emptyCustom) {
  if (index == kSizeItemCustom) return CustomSizeValue(customText, emptyCustom);
  if (index < 0 || index >= kSizeItemCount) return kSizeAutomatic;
  return values[static_cast<std::size_t>(index)];
}

}  // namespace

const std::array<const char*, kSizeItemCount>& PhotoWidthItems() {
  static const std::array<const char*, kSizeItemCount> items = {
      "自动设置", "1280", "1024", "800", "640", "480", "200", "150", "100", "50", "自定义"};
  return items;
}

const std::array<const char*, kSizeItemCount>& PhotoHeightItems() {
  static const std::array<const char*, kSizeItemCount> items = {
      "自动设置", "1024", "800", "600", "480", "360", "200", "150", "100", "50", "自定义"};
  return items;
}

const std::array<int, kSizeItemCount>& PhotoWidthValues() {
  static const std::array<int, kSizeItemCount> values = {
      kSizeAutomatic, 1280, 1024, 800, 640, 480, 200, 150, 100, 50, kSizeAutomatic};
  return values;
}

const std::array<int, kSizeItemCount>& PhotoHeightValues() {
  static const std::array<int, kSizeItemCount> values = {
      kSizeAutomatic, 1024, 800, 600, 480, 360, 200, 150, 100, 50, kSizeAutomatic};
  return values;
}

int CustomSizeValue(const std::string& customText, int emptyValue) {
  std::string_view text = trimControls(customText);
  if (text.empty()) return emptyValue;
  // Digits only: the field's mask admits nothing else, and a sign or a hexadecimal prefix
  // would give sizes the resampler does not know.
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return kSizeAutomatic;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<int>::max()) return kSizeAutomatic;
  }
  return static_cast<int>(value);
}

int GetPhotoWidth(int index, const std::string& customText) {
  return sizeValue(PhotoWidthValues(), index, customText, kEmptyCustomWidth);
}

int GetPhotoHeight(int index, const std::string& customText) {
  return sizeValue(PhotoHeightValues(), index, customText, kEmptyCustomHeight);
}

}  // namespace lumaprep
