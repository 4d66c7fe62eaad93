#pragma once
// TfrmMain: the main window. The file list, the preview, the output settings and the
// conversion job that walks the list.
#include <array>
#include <functional>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include "app/job/overwrite.h"
#include "app/services.h"

class QAction;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QTreeWidget;

namespace lumaprep {

class TImageView;

class TfrmMain : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // -- Language: sections "App", "frmMain", "frmDirectory", "frmBatchAdd", "frmOverWrite"
  void ApplyLanguage(const QString& languageFileName);

  // -- File list
  // Appends path when its extension is a supported one; otherwise does nothing.
  void AddFile(const QString& path);
  // Every entry of folder matching "*." + extension (subfolders too when asked) to AddFile.
  void AddFolder(const QString& folder, bool includeSubfolders, const QString& extension);
  QStringList FileList() const;
  void DeleteSelectedFiles();
  void MoveFileUp();
  void MoveFileDown();

  // -- Output size: -1 automatic, 0 the source's own size, else pixels.
  int GetPhotoWidth() const;
  int GetPhotoHeight() const;

  // -- Conversion
  // The path to write for an output target, or "" to skip it; may ask with TfrmOverWrite.
  QString CheckTargetFile(const QString& target);
  void StartConvert();
  // Asks the running conversion to stop after its current file.
  void StopConvert();
  void ResetStatus();
  void OpenFolder(const QString& path);
  bool Converting() const { return m_converting; }

  // -- Event handlers
  void FormCreate();
  void FormShow();
  void ActionFileAddExecute();
  void ActionFileBatchAddExecute();
  void ActionFileDeleteExecute();
  void ActionFileClearAllExecute();
  void ActionFileMoveUpExecute();
  void ActionFileMoveDownExecute();
  void ActionConvertNowExecute();
  void ActionSetDirectoryExecute();
  void ActionExitExecute();
  void listViewFilesClick();
  void ComboBoxPhotoWidthChange();
  void ComboBoxPhotoHeightChange();
  void editOutputFolderChange();
  void SkinMenuClick(int number);

  // Opening the output folder after a run; replaceable (tests, embedding).
  void SetFolderOpener(std::function<void(const QString&)> opener);

  // -- State shared with the dialogs and the job
  bool FReady = true;
  TOverWriteChoice FOverWriteChoice = owIgnore;

  // Texts kept from the language file.
  QString StringItemAuto;
  QString StringItemSpecial;
  QString msgStatusReady;
  QString msgStatusRun;
  QString msgClearAll;
  QString msgFolderView;
  QString msgFinishInfo;
  QString msgUnreadFiles;     // finish prompt: files that could not be read ("%s" = count)
  QString captionConvertNow;  // the Convert button's caption between runs
  QString captionStopConvert; // ... and during a run

  // -- Controls
  QTreeWidget* listViewFiles;
  QGroupBox* GroupBoxPreview;
  TImageView* ImageView;
  QGroupBox* groupBoxButtons;
  QPushButton* buttonAdd;
  QPushButton* buttonDelete;
  QPushButton* buttonClearAll;
  QPushButton* buttonMoveUp;
  QPushButton* buttonMoveDown;
  QGroupBox* groupBoxStatus;
  QLabel* labelCurrentDecrption;
  QLabel* labelCurrentProgress;
  QLabel* labelCurrentInfo;
  QProgressBar* progressBarCurrent;
  QGroupBox* groupBoxSettings;
  QLabel* LabelPhotoWidth;
  QComboBox* ComboBoxPhotoWidth;
  QLineEdit* MaskEditWidth;
  QLabel* LabelPx1;
  QLabel* LabelPhotoHeight;
  QComboBox* ComboBoxPhotoHeight;
  QLineEdit* MaskEditHeight;
  QLabel* LabelPx2;
  QLabel* LabelJpegQuality;
  QSlider* TrackBarJPEGQuality;
  QGroupBox* groupBoxOutput;
  QLabel* labelOutput;
  QLineEdit* editOutputFolder;
  QPushButton* BitBtnOutput;
  QPushButton* buttonConvert;
  QFileDialog* OpenDialog;

  // -- Actions and menus
  QAction* ActionFileAdd;
  QAction* ActionFileBatchAdd;
  QAction* ActionFileDelete;
  QAction* ActionFileClearAll;
  QAction* ActionFileMoveUp;
  QAction* ActionFileMoveDown;
  QAction* ActionConvertNow;
  QAction* ActionSetDirectory;
  QAction* ActionExit;
  QMenu* N_1;  // File
  QMenu* N_Skin;
  std::array<QAction*, 18> N_SkinItems{};  // N_Skin1 .. N_Skin18
  QMenu* N_Tools;
  QMenu* N_OtherProducts;
  std::array<QAction*, 11> N_Products{};  // N_Product1 .. N_Product11
  QMenu* N_Help;
  QAction* N_LocalHelp;
  QAction* N_HomePage;
  QAction* N_Support;
  QAction* N_FeedBack;
  QAction* N_Update;
  QMenu* PopupMenu;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void createControls();
  void createActions();
  void createMenus();
  void connectSignals();
  void bindButton(QPushButton* button, QAction* action);
  void setConvertCaption(bool running);
  void pendingEvents();
  void selectEntry(int index);
  int selectedIndex() const;
  void swapEntries(int a, int b);
  bool askYes(const QString& text, bool okCancel);

  bool m_converting = false;
  std::function<void(const QString&)> m_folderOpener;
};

// The single instance, the application's main form.
extern TfrmMain* frmMain;

}  // namespace lumaprep
