#pragma once
// The application's one error handler: every exception that leaves an event handler ends
// that handler and is shown in a message box (its text, the application title, a stop icon,
// one OK button); the program goes on.
#include <functional>
#include <utility>

#include <QString>

class QWidget;

namespace lumaprep {

// The application title from the language file ("App" / "Title"): caption of the error box
// and of the main window's message boxes.
const QString& ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Shows the error box for the exception being handled (call from a catch block).
void ShowCurrentException();

// Runs fn; an exception it raises is shown by the error handler and swallowed.
// Returns false when fn ended by an exception.
bool RunGuarded(const std::function<void()>& fn);

// Wraps a handler for connect(): every slot of the windows goes through this.
template <typename Fn>
auto Guarded(Fn fn) {
  return [fn = std::move(fn)](auto&&...) { RunGuarded(fn); };
}

// Where the error box goes: replaceable so that tests can record errors instead of showing
// a modal box. Default: QMessageBox::critical over the active window.
using ErrorReporter = std::function<void(const QString& message)>;
ErrorReporter SetErrorReporter(ErrorReporter reporter);

}  // namespace lumaprep

#include <QApplication>

namespace lumaprep {

// The application object: an exception that escapes an event handler not already guarded
// reaches notify() and is shown there.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace lumaprep
