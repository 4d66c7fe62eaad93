#include "app/errorhandler.h"

#include <exception>
#include <stdexcept>

#include <QApplication>
#include <QMessageBox>

namespace lumaprep {
namespace {

QString& titleStorage() {
  static QString title;
  return title;
}

void showErrorBox(const QString& message) {
  QMessageBox box(QMessageBox::Critical, ApplicationTitle(), message, QMessageBox::Ok,
                  QApplication::activeWindow());
  box.exec();
}

ErrorReporter& reporterStorage() {
  static ErrorReporter reporter = showErrorBox;
  return reporter;
}

}  // namespace

const QString& ApplicationTitle() { return titleStorage(); }

void SetApplicationTitle(const QString& title) { titleStorage() = title; }

ErrorReporter SetErrorReporter(ErrorReporter reporter) {
  ErrorReporter old = std::move(reporterStorage());
  reporterStorage() = reporter ? std::move(reporter) : ErrorReporter(showErrorBox);
  return old;
}

void ShowCurrentException() {
  QString message;
  try {
    throw;
  } catch (const std::exception& e) {
    message = QString::fromUtf8(e.what());
  } catch (...) {
    message = QStringLiteral("Unknown error");
  }
  reporterStorage()(message);
}

bool RunGuarded(const std::function<void()>& fn) {
  try {
    fn();
    return true;
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

}  // namespace lumaprep

namespace lumaprep {

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

}  // namespace lumaprep
