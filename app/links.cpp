#include "app/links.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <QDesktopServices>
#include <QFile>
#include <QProcess>
#include <QUrl>
#include <QWidget>

#include "app/errorhandler.h"
#include "settings/common.h"

namespace lumaprep {

void OpenURL(const std::string& target) {
  // An absolute path is a local file; anything else is an address with its scheme.
  const QUrl url = !target.empty() && target.front() == '/'
                       ? QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(target)))
                       : QUrl(QString::fromStdString(target));
  QDesktopServices::openUrl(url);
}

void OpenHelp(const TfrmCommon& common) { OpenURL(common.HelpFileName()); }

void OpenHomePage(const TfrmCommon& common) { OpenURL(common.HomePageURL()); }

void OpenSupportMail(const TfrmCommon& common) { OpenURL(common.SupportMailURL()); }

void OpenFeedbackPage(const TfrmCommon& common) { OpenURL(common.FeedbackURL()); }

void OpenProductPage(const TfrmCommon& common, int number) { OpenURL(common.ProductURL(number)); }

bool RunUpdater(const TfrmCommon& common, QWidget* mainWindow) {
  const std::string program = common.UpdaterFileName();
  if (::access(program.c_str(), X_OK) != 0) {
    const std::string reason = std::strerror(errno);
    RunGuarded([&] {
      throw std::runtime_error("Cannot start the update program \"" + program + "\". " + reason);
    });
    return false;
  }
  const QString path = QFile::decodeName(QByteArray::fromStdString(program));
  if (!QProcess::startDetached(path, {})) {
    RunGuarded(
        [&] { throw std::runtime_error("Cannot start the update program \"" + program + "\"."); });
    return false;
  }
  if (mainWindow) mainWindow->close();
  return true;
}

}  // namespace lumaprep
