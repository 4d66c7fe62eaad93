#pragma once
// The main window's seams to the dialogs, the splash window, skins and links.
//
// The main window calls only these functions for features that live in their own files
// (app/batchadd.*, app/directorydialog.*, app/splash.*, app/skins.*, app/links.*). Each one
// forwards to those files; services.cpp is the one place that knows them.
#include <functional>
#include <string>

#include <QString>

class QWidget;

namespace lumaprep {

class TfrmMain;

// Text of a language file: (section, key) -> value, "" when missing. The file is open
// only while ApplyLanguage runs.
using LanguageLookup = std::function<std::string(const char* section, const char* key)>;

namespace services {

// Start-up, after TfrmCommon exists and before the main window is created: show the splash
// window, let it paint, close it (fades in and out, blocking).
void ShowSplash();

// Start-up, right after TfrmMain and TfrmOverWrite: create TFrmBatchAdd and TFrmDirectory,
// once, in that order.
void CreateDialogs(TfrmMain& main);

// Language sections of the two dialogs, applied by TfrmMain::ApplyLanguage between
// "frmMain" and "frmOverWrite".
void ApplyDirectoryLanguage(const LanguageLookup& text);
void ApplyBatchAddLanguage(const LanguageLookup& text);

// ActionFileBatchAdd: show TFrmBatchAdd without waiting for it (brings it forward when open).
void ShowBatchAdd();

// TfrmMain::AddFolder: enumerate folder with the extension pattern, depth first into
// subfolders when asked, calling addFile for every entry and processing pending events
// after each one.
void AddFolder(const QString& folder, bool includeSubfolders, const QString& extension,
               const std::function<void(const QString&)>& addFile);

// ActionSetDirectory: TFrmDirectory modally. True on OK, with its SelectedPath in path.
bool ChooseOutputFolder(QString& path);

// The output folder in config.ini ("setting" / "outputFolder"); Load gives the default
// when missing, Save throws when the file cannot be written.
QString LoadOutputFolder();
void SaveOutputFolder(const QString& folder);

// Skins: the number in config.ini, and applying skin number 1..18 (others: 10).
int ReadSkinSetting();
void WriteSkinSetting(int number);
void ApplySkin(int number);

// Help menu and the other-products submenu (index 1..11).
void OpenHelp();
void OpenHomePage();
void OpenSupportMail();
void OpenFeedbackPage();
void OpenProductPage(int index);
// Starts the update program; false (after telling the user) when it cannot be started,
// and the main window then stays open.
bool RunUpdater();

}  // namespace services
}  // namespace lumaprep
