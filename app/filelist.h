#pragma once
// The rules of the input file list: which paths it admits and the open dialog's filter.
#include <QString>
#include <QStringList>

namespace lumaprep {

// The 23 patterns of the formats Lumaprep reads, joined by ";".
extern const char* const kSupportedExtensions;

// The extension of path's file name (from its last "." to the end, dot included), or "" when
// the file name has no dot.
QString FileExtension(const QString& path);

// The admission test of the file list: the lower-case extension, dot included, occurs
// somewhere in kSupportedExtensions. A substring test, so ".jpe" and ".p" pass as well;
// ".tiff", ".txt" and names without a dot do not.
bool IsSupportedFile(const QString& path);

// The open dialog's title and its eight filter groups, in Qt's "Description (*.a *.b)" form.
extern const char* const kOpenDialogTitle;
QStringList OpenDialogFilters();

}  // namespace lumaprep
