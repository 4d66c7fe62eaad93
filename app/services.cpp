// Forwarders from the main window to the dialogs, splash, skins and links.
#include "app/services.h"

#include <QFile>

#include "app/batchadd.h"
#include "app/directorydialog.h"
#include "app/links.h"
#include "app/mainwindow.h"
#include "app/skins.h"
#include "app/splash.h"
#include "settings/common.h"
#include "settings/skins.h"

namespace lumaprep {

// The splash window has no owner and stays, hidden, until the program ends.
TfrmSplash* frmSplash = nullptr;

namespace services {

namespace {

std::string toPath(const QString& text) { return QFile::encodeName(text).toStdString(); }

QString fromPath(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

void ShowSplash() {
  if (!frmCommon) return;
  if (!frmSplash) frmSplash = new TfrmSplash(frmCommon->SplashFileName());
  frmSplash->Run();
}

void CreateDialogs(TfrmMain& main) {
  if (!frmBatchAdd) {
    frmBatchAdd = new TFrmBatchAdd(
        [&main](const QString& folder, bool includeSubfolders, const QString& extension) {
          main.AddFolder(folder, includeSubfolders, extension);
        },
        &main);
  }
  if (!frmDirectory) frmDirectory = new TFrmDirectory(&main);
}

void ApplyDirectoryLanguage(const LanguageLookup& text) {
  if (frmDirectory) frmDirectory->ApplyLanguage(text);
}

void ApplyBatchAddLanguage(const LanguageLookup& text) {
  if (frmBatchAdd) frmBatchAdd->ApplyLanguage(text);
}

void ShowBatchAdd() {
  if (frmBatchAdd) frmBatchAdd->ShowWindow();
}

void AddFolder(const QString& folder, bool includeSubfolders, const QString& extension,
               const std::function<void(const QString&)>& addFile) {
  AddFolderToList(folder, includeSubfolders, extension, addFile);
}

bool ChooseOutputFolder(QString& path) {
  if (!frmDirectory || frmDirectory->exec() != QDialog::Accepted) return false;
  path = frmDirectory->SelectedPath();
  return true;
}

// Without the services object (a window built alone, as in tests) the settings give their
// defaults and the other operations do nothing.
QString LoadOutputFolder() {
  return fromPath(frmCommon ? frmCommon->LoadOutputFolder() : TfrmCommon::HomeFolder());
}

void SaveOutputFolder(const QString& folder) {
  if (frmCommon) frmCommon->SaveOutputFolder(toPath(folder));
}

int ReadSkinSetting() { return frmCommon ? frmCommon->ReadSkinSetting() : kDefaultSkin; }

void WriteSkinSetting(int number) {
  if (frmCommon) frmCommon->WriteSkinSetting(number);
}

void ApplySkin(int number) {
  if (frmCommon) lumaprep::ApplySkin(*frmCommon, number);
}

void OpenHelp() {
  if (frmCommon) lumaprep::OpenHelp(*frmCommon);
}

void OpenHomePage() {
  if (frmCommon) lumaprep::OpenHomePage(*frmCommon);
}

void OpenSupportMail() {
  if (frmCommon) lumaprep::OpenSupportMail(*frmCommon);
}

void OpenFeedbackPage() {
  if (frmCommon) lumaprep::OpenFeedbackPage(*frmCommon);
}

void OpenProductPage(int index) {
  if (frmCommon) lumaprep::OpenProductPage(*frmCommon, index);
}

// The caller closes the main window when the update program was started.
bool RunUpdater() { return frmCommon && lumaprep::RunUpdater(*frmCommon, nullptr); }

}  // namespace services
}  // namespace lumaprep
