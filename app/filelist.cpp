#include "app/filelist.h"

namespace lumaprep {

const char* const kOpenDialogTitle = "Open photo files";

bool IsSupportedFile(const QString& path) { return IsSupportedFile(path.toStdString()); }

QStringList OpenDialogFilters() {
  struct Group {
    const char* description;
    QString patterns;
  };
  const Group groups[] = {
      {"Support files", QString::fromLatin1(kSupportedExtensions)},
      {"JPEG files (*.jpg;*.jp2;*.j2k;*.jpc;*.jpeg)", "*.jpg;*.jp2;*.j2k;*.jpc;*.jpeg"},
      {"PNG files (*.png)", "*.png"},
      {"GIF files (*.gif)", "*.gif"},
      {"BMP files (*.bmp)", "*.bmp"},
      {"Adobe files (*.psd;*.tif)", "*.psd;*.tif"},
      {"Portable Bitmap (*.pbm;*.pgm;*.ppm)", "*.pbm;*.pgm;*.ppm"},
      {"All files (*.*)", "*"},
  };
  QStringList filters;
  for (const Group& g : groups) {
    QString patterns = g.patterns;
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // Qt reads the patterns from the last parentheses, so descriptions that already show
    // their patterns keep them.
    filters << QStringLiteral("%1 (%2)").arg(QLatin1String(g.description), patterns);
  }
  return filters;
}

}  // namespace lumaprep
