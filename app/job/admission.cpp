#include "app/job/admission.h"

#include <string_view>

namespace lumaprep {

const char* const kSupportedExtensions =
    "*.jpg;*.gif;*.bmp;*.jp2;*.j2k;*.jpc;*.jpeg;*.png;*.psd;*.avi;*.pcx;*.dcx;*.dib;*.rle;"
    "*.tga;*.pbm;*.pgm;*.ppm;*.ico;*.wmf;*.emf;*.cur;*.tif";

std::string FileExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find_last_of('.');
  return dot == std::string::npos || dot < start ? std::string() : path.substr(dot);
}

bool IsSupportedFile(const std::string& path) {
  std::string ext = FileExtension(path);
  if (ext.empty()) return false;
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return std::string_view(kSupportedExtensions).find(ext) != std::string_view::npos;
}

}  // namespace lumaprep
