// Lumaprep: start-up. The services object first, then the splash window, then the windows in
// their order; the message loop shows the main window and ends when it closes.
#include "app/errorhandler.h"
#include "app/mainwindow.h"
#include "app/overwritedialog.h"
#include "app/services.h"
#include "settings/common.h"

int main(int argc, char** argv) {
  using namespace lumaprep;
  TApplication app(argc, argv);
  app.setApplicationName(QStringLiteral("Lumaprep"));

  TfrmCommon common;
  frmCommon = &common;

  RunGuarded([] { services::ShowSplash(); });

  TfrmMain mainWindow;
  frmMain = &mainWindow;
  TfrmOverWrite overWrite(&mainWindow);
  frmOverWrite = &overWrite;
  RunGuarded([&mainWindow] { services::CreateDialogs(mainWindow); });

  mainWindow.show();
  const int result = app.exec();

  frmOverWrite = nullptr;
  frmMain = nullptr;
  frmCommon = nullptr;
  return result;
}
