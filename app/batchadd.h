#pragma once
// TFrmBatchAdd: "Add from folder". The user picks a folder in a tree, types an extension ("*"
// for any) and chooses whether subfolders are included; OK hands the three values on to the
// main window's AddFolder. The window is not modal and keeps its state between showings.
#include <functional>

#include <QDialog>
#include <QPointer>
#include <QString>

#include "app/directorydialog.h"

class QCheckBox;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace lumaprep {

class TFrmBatchAdd : public QDialog {
 public:
  // folder, includeSubfolders, extension (already trimmed)
  using AddFolderHandler = std::function<void(const QString&, bool, const QString&)>;

  explicit TFrmBatchAdd(AddFolderHandler addFolder, QWidget* parent = nullptr);

  // Shows the window without waiting; when it is already open, brings it forward.
  void ShowWindow();

  // Section "frmBatchAdd" of the language file.
  void ApplyLanguage(const DialogTextLookup& text);

  void buttonOKClick();
  void buttonCancelClick();

  QTreeView* ShellTreeView = nullptr;
  QFileSystemModel* ShellTreeModel = nullptr;
  QCheckBox* checkBoxIsSubDirectorie = nullptr;
  QLineEdit* editExt = nullptr;

 private:
  void createControls();
  void connectSignals();

  QLabel* labelDirectory = nullptr;
  QLabel* labelFileNameExt = nullptr;
  QLabel* labelNoticeFileNameExt = nullptr;
  QPushButton* buttonOK = nullptr;
  QPushButton* buttonCancel = nullptr;
  AddFolderHandler m_addFolder;
};

// The single instance, a child of the main window (null before start-up has made it).
extern QPointer<TFrmBatchAdd> frmBatchAdd;

// AddFolder for the window: walks folder (see app/job/addfolder.h) and hands every entry to
// addFile, processing pending events after each one so that the list fills visibly.
void AddFolderToList(const QString& folder, bool includeSubfolders, const QString& extension,
                     const std::function<void(const QString&)>& addFile);

}  // namespace lumaprep
