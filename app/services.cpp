// Forwarders from the main window to the dialogs, splash, skins and links. Until a feature's
// own files are in place its forwarder does nothing (or gives the documented default).
#include "app/services.h"

#include <QDir>

namespace lumaprep::services {

void ShowSplash() {}

void CreateDialogs(TfrmMain&) {}

void ApplyDirectoryLanguage(const LanguageLookup&) {}

void ApplyBatchAddLanguage(const LanguageLookup&) {}

void ShowBatchAdd() {}

void AddFolder(const QString&, bool, const QString&, const std::function<void(const QString&)>&) {}

bool ChooseOutputFolder(QString&) { return false; }

QString LoadOutputFolder() { return QDir::homePath(); }

void SaveOutputFolder(const QString&) {}

int ReadSkinSetting() { return 10; }

void WriteSkinSetting(int) {}

void ApplySkin(int) {}

void OpenHelp() {}

void OpenHomePage() {}

void OpenSupportMail() {}

void OpenFeedbackPage() {}

void OpenProductPage(int) {}

bool RunUpdater() { return false; }

}  // namespace lumaprep::services
