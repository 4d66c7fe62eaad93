#pragma once
// TFrmDirectory: the output folder chooser, a folder tree with OK and Cancel, shown modally by
// the main window's ActionSetDirectory. Also home of the folder tree that the batch-add window
// uses as well.
#include <functional>
#include <string>

#include <QDialog>
#include <QPointer>
#include <QString>

class QFileSystemModel;
class QLabel;
class QPushButton;
class QTreeView;

namespace lumaprep {

// (section, key) -> text of the language file, "" when missing.
using DialogTextLookup = std::function<std::string(const char* section, const char* key)>;

// A tree of folders only (hidden ones too) rooted at "/", opened at the user's home folder,
// with that folder selected. Not watched for changes.
QTreeView* CreateFolderTree(QWidget* parent, const QString& objectName, QFileSystemModel** model);

// The path of the folder selected in the tree; empty when nothing is selected.
QString SelectedFolderPath(const QTreeView* tree, const QFileSystemModel* model);

// Selects path in the tree (opening its parents). False when the tree has no such folder.
bool SelectFolder(QTreeView* tree, QFileSystemModel* model, const QString& path);

class TFrmDirectory : public QDialog {
 public:
  explicit TFrmDirectory(QWidget* parent = nullptr);

  // The folder chosen by the last OK; empty after Cancel.
  const QString& SelectedPath() const { return m_selectedPath; }

  // Section "frmDirectory" of the language file.
  void ApplyLanguage(const DialogTextLookup& text);

  void ButtonOKClick();
  void ButtonCancelClick();
  // Esc and the close box end the dialog like Cancel.
  void reject() override;

  QTreeView* ShellTreeView1 = nullptr;
  QFileSystemModel* ShellTreeModel = nullptr;

 private:
  void createControls();
  void connectSignals();

  QLabel* LabelDirectory = nullptr;
  QPushButton* ButtonOK = nullptr;
  QPushButton* ButtonCancel = nullptr;
  QString m_selectedPath;
};

// The single instance, a child of the main window (null before start-up has made it).
extern QPointer<TFrmDirectory> frmDirectory;

}  // namespace lumaprep
