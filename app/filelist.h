#pragma once
// The rules of the input file list: which paths it admits and the open dialog's filter.
#include <QString>
#include <QStringList>

#include "app/job/admission.h"

namespace lumaprep {

// The file list's admission test (app/job/admission.h) for a path as the window holds it.
bool IsSupportedFile(const QString& path);

// The open dialog's title and its eight filter groups, in Qt's "Description (*.a *.b)" form.
extern const char* const kOpenDialogTitle;
QStringList OpenDialogFilters();

}  // namespace lumaprep
