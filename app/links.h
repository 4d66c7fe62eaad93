#pragma once
// The help menu and the other-products submenu: the local help file, web pages, the support
// mail link and the update program. The locations come from TfrmCommon, chosen by language.
#include <string>

class QWidget;

namespace lumaprep {

class TfrmCommon;

// Hands target to the desktop: a web address to the browser, a "mailto:" link to the mail
// program, a local file (an absolute path) to its viewer. The outcome is not looked at.
void OpenURL(const std::string& target);

void OpenHelp(const TfrmCommon& common);
void OpenHomePage(const TfrmCommon& common);
void OpenSupportMail(const TfrmCommon& common);
void OpenFeedbackPage(const TfrmCommon& common);
// Entry 1..11 of the other-products submenu.
void OpenProductPage(const TfrmCommon& common, int number);

// Starts the update program of the program folder, without waiting for it, and closes
// mainWindow. When it cannot be started the user is told (through the error box) and the
// main window stays open; returns whether it was started.
bool RunUpdater(const TfrmCommon& common, QWidget* mainWindow);

}  // namespace lumaprep
