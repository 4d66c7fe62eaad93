#include "app/filelist.h"

namespace lumaprep {

const char* const kSupportedExtensions =
    "*.jpg;*.gif;*.bmp;*.jp2;*.j2k;*.jpc;*.jpeg;*.png;*.psd;*.avi;*.pcx;*.dcx;*.dib;*.rle;"
    "*.tga;*.pbm;*.pgm;*.ppm;*.ico;*.wmf;*.emf;*.cur;*.tif";

const char* const kOpenDialogTitle = "Open photo files";

QString FileExtension(const QString& path) {
  const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QString() : name.mid(dot);
}

bool IsSupportedFile(const QString& path) {
  const QString ext = FileExtension(path).toLower();
  return !ext.isEmpty() && QString::fromLatin1(kSupportedExtensions).contains(ext);
}

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
