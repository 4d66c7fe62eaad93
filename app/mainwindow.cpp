#include "app/mainwindow.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>
#include <QUrl>

#include "app/errorhandler.h"
#include "app/filelist.h"
#include "app/imageview.h"
#include "app/job/convert.h"
#include "app/job/sizerules.h"
#include "app/overwritedialog.h"
#include "app/services.h"
#include "imaging/imageio.h"
#include "settings/common.h"
#include "settings/language.h"

namespace lumaprep {

TfrmMain* frmMain = nullptr;

namespace {

constexpr int kClientWidth = 467;
constexpr int kClientHeight = 422;
constexpr int kPxLabelLeft = 123;        // unit label while the custom field is hidden
constexpr int kPxLabelLeftCustom = 155;  // ... and while it is shown
constexpr int kDefaultQuality = 80;
constexpr int kListButtonWidth = 82;

template <typename T>
T* named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// Fills items with new entries of menu: texts <text>1, <text>2 ..., object names <name>1 ...
template <std::size_t N>
void addNumberedActions(QMenu* menu, const char* text, const char* name,
                        std::array<QAction*, N>& items) {
  for (std::size_t k = 1; k <= N; ++k) {
    items[k - 1] = menu->addAction(QString::fromLatin1(text) + QString::number(k));
    items[k - 1]->setObjectName(QString::fromLatin1(name) + QString::number(k));
  }
}

QAction* namedAction(QObject* parent, const char* name, const char* caption) {
  auto* action = new QAction(QString::fromUtf8(caption), parent);
  action->setObjectName(QString::fromLatin1(name));
  return action;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* text, int x, int y, int w,
                  int h) {
  auto* label = named(new QLabel(QString::fromUtf8(text), parent), name);
  label->setGeometry(x, y, w, h);
  return label;
}

QGroupBox* makeGroup(QWidget* parent, const char* name, const char* title, int x, int y, int w,
                     int h) {
  auto* group = named(new QGroupBox(QString::fromUtf8(title), parent), name);
  group->setGeometry(x, y, w, h);
  return group;
}

QPushButton* makeButton(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* button = named(new QPushButton(parent), name);
  button->setGeometry(x, y, w, h);
  return button;
}

QComboBox* makeSizeList(QWidget* parent, const char* name,
                        const std::array<const char*, kSizeItemCount>& items, int x, int y) {
  auto* combo = named(new QComboBox(parent), name);
  for (const char* item : items) combo->addItem(QString::fromUtf8(item));
  combo->setGeometry(x, y, 71, 21);
  combo->setMaxVisibleItems(kSizeItemCount);
  return combo;
}

QLineEdit* makeCustomField(QWidget* parent, const char* name, int x, int y) {
  auto* edit = named(new QLineEdit(parent), name);
  edit->setInputMask(QStringLiteral("0000; "));  // four optional digits, blanks shown as spaces
  edit->setMaxLength(4);
  edit->setGeometry(x, y, 28, 21);
  return edit;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Lumaprep"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  QFont f = font();
  f.setPointSize(8);
  setFont(f);
  m_folderOpener = [](const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
  };
  createActions();
  createControls();
  createMenus();
  connectSignals();
  RunGuarded([this] { FormCreate(); });
  // A border that cannot be resized: the design's client area plus the menu bar, whatever
  // height a skin gives the menu bar.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

TfrmMain::~TfrmMain() {
  if (frmMain == this) frmMain = nullptr;
}

// ---- Construction ------------------------------------------------------------------------

void TfrmMain::createActions() {
  ActionFileAdd = namedAction(this, "ActionFileAdd", "Add");
  ActionFileBatchAdd = namedAction(this, "ActionFileBatchAdd", "ActionFileBatchAdd");
  ActionFileDelete = namedAction(this, "ActionFileDelete", "Remove");
  ActionFileClearAll = namedAction(this, "ActionFileClearAll", "ClearAll");
  ActionFileMoveUp = namedAction(this, "ActionFileMoveUp", "MoveUp");
  ActionFileMoveDown = namedAction(this, "ActionFileMoveDown", "MoveDown");
  ActionConvertNow = namedAction(this, "ActionConvertNow", "ConvertNow");
  ActionSetDirectory = namedAction(this, "ActionSetDirectory", "ActionSetDirectory");
  ActionExit = namedAction(this, "ActionExit", "ActionExit");
  captionConvertNow = ActionConvertNow->text();
}

void TfrmMain::createControls() {
  auto* client = named(new QWidget(this), "clientArea");
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  listViewFiles = named(new QTreeWidget(client), "listViewFiles");
  listViewFiles->setGeometry(2, 10, 316, 135);
  listViewFiles->setColumnCount(1);
  listViewFiles->setHeaderLabels({QStringLiteral("文件列表")});
  listViewFiles->setColumnWidth(0, 310);
  listViewFiles->setRootIsDecorated(false);
  listViewFiles->setUniformRowHeights(true);
  listViewFiles->setSelectionMode(QAbstractItemView::SingleSelection);
  listViewFiles->setAutoScroll(false);  // selecting an entry in code does not scroll the list
  listViewFiles->setEditTriggers(QAbstractItemView::SelectedClicked |
                                 QAbstractItemView::EditKeyPressed);
  listViewFiles->setContextMenuPolicy(Qt::CustomContextMenu);
  listViewFiles->setStyleSheet(
      QStringLiteral("QTreeWidget::item { border-bottom: 1px solid palette(midlight); }"));

  GroupBoxPreview = makeGroup(client, "GroupBoxPreview", "预览", 322, 8, 143, 139);
  ImageView = named(new TImageView(GroupBoxPreview), "ImageView");
  ImageView->setGeometry(4, 22, 136, 102);

  groupBoxButtons = makeGroup(client, "groupBoxButtons", "", 2, 148, 463, 38);
  // Three buttons on the left, two on the right, each wide enough for the longest caption
  // of both languages in the boldest skin.
  buttonAdd = makeButton(groupBoxButtons, "buttonAdd", 8, 8, kListButtonWidth, 25);
  buttonDelete = makeButton(groupBoxButtons, "buttonDelete", 96, 8, kListButtonWidth, 25);
  buttonClearAll = makeButton(groupBoxButtons, "buttonClearAll", 188, 9, kListButtonWidth, 25);
  buttonMoveUp = makeButton(groupBoxButtons, "buttonMoveUp", 284, 9, kListButtonWidth, 25);
  buttonMoveDown = makeButton(groupBoxButtons, "buttonMoveDown", 372, 9, kListButtonWidth, 25);

  groupBoxStatus = makeGroup(client, "groupBoxStatus", "进度", 2, 187, 463, 57);
  labelCurrentDecrption =
      makeLabel(groupBoxStatus, "labelCurrentDecrption", "当前操作描述", 8, 16, 81, 13);
  labelCurrentProgress =
      makeLabel(groupBoxStatus, "labelCurrentProgress", "当前文件进度", 8, 34, 81, 13);
  labelCurrentInfo = makeLabel(groupBoxStatus, "labelCurrentInfo", "准备就绪", 96, 14, 305, 13);
  progressBarCurrent = named(new QProgressBar(groupBoxStatus), "progressBarCurrent");
  progressBarCurrent->setGeometry(96, 32, 353, 17);
  progressBarCurrent->setRange(0, 100);
  progressBarCurrent->setValue(0);
  progressBarCurrent->setTextVisible(false);

  groupBoxSettings = makeGroup(client, "groupBoxSettings", "输出设置", 2, 244, 463, 77);
  // Caption, list and custom field share the room left of the unit label (kPxLabelLeft).
  LabelPhotoWidth = makeLabel(groupBoxSettings, "LabelPhotoWidth", "宽度：", 6, 26, 43, 13);
  ComboBoxPhotoWidth =
      makeSizeList(groupBoxSettings, "ComboBoxPhotoWidth", PhotoWidthItems(), 50, 22);
  MaskEditWidth = makeCustomField(groupBoxSettings, "MaskEditWidth", 124, 22);
  LabelPx1 = makeLabel(groupBoxSettings, "LabelPx1", "像素", kPxLabelLeft, 26, 40, 13);
  LabelPhotoHeight = makeLabel(groupBoxSettings, "LabelPhotoHeight", "高度：", 6, 49, 43, 13);
  ComboBoxPhotoHeight =
      makeSizeList(groupBoxSettings, "ComboBoxPhotoHeight", PhotoHeightItems(), 50, 47);
  MaskEditHeight = makeCustomField(groupBoxSettings, "MaskEditHeight", 124, 47);
  LabelPx2 = makeLabel(groupBoxSettings, "LabelPx2", "像素", kPxLabelLeft, 51, 40, 13);
  ComboBoxPhotoWidth->setCurrentIndex(kDefaultWidthIndex);
  ComboBoxPhotoHeight->setCurrentIndex(kDefaultHeightIndex);
  LabelJpegQuality =
      makeLabel(groupBoxSettings, "LabelJpegQuality", "JPEG 质量：", 216, 24, 78, 17);
  TrackBarJPEGQuality = named(new QSlider(Qt::Horizontal, groupBoxSettings),
                              "TrackBarJPEGQuality");
  TrackBarJPEGQuality->setGeometry(296, 24, 121, 17);
  TrackBarJPEGQuality->setRange(0, 100);
  TrackBarJPEGQuality->setValue(kDefaultQuality);
  TrackBarJPEGQuality->setPageStep(10);

  groupBoxOutput = makeGroup(client, "groupBoxOutput", "输出", 2, 332, 463, 39);
  labelOutput = makeLabel(groupBoxOutput, "labelOutput", "输出目录", 8, 16, 84, 17);
  editOutputFolder = named(new QLineEdit(QStringLiteral("C:\\"), groupBoxOutput),
                           "editOutputFolder");
  editOutputFolder->setGeometry(96, 12, 257, 21);
  editOutputFolder->setReadOnly(true);
  BitBtnOutput = makeButton(groupBoxOutput, "BitBtnOutput", 370, 10, 81, 25);

  buttonConvert = makeButton(client, "buttonConvert", 176, 383, 105, 33);

  bindButton(buttonAdd, ActionFileAdd);
  bindButton(buttonDelete, ActionFileDelete);
  bindButton(buttonClearAll, ActionFileClearAll);
  bindButton(buttonMoveUp, ActionFileMoveUp);
  bindButton(buttonMoveDown, ActionFileMoveDown);
  bindButton(BitBtnOutput, ActionSetDirectory);
  bindButton(buttonConvert, ActionConvertNow);

  OpenDialog = named(new QFileDialog(this), "OpenDialog");
  OpenDialog->setFileMode(QFileDialog::ExistingFiles);
  OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog->setOption(QFileDialog::HideNameFilterDetails, true);
}

void TfrmMain::createMenus() {
  QMenuBar* bar = menuBar();
  N_1 = named(bar->addMenu(QStringLiteral("文件")), "N_1");
  N_1->addAction(ActionFileAdd);
  N_1->addAction(ActionFileBatchAdd);
  N_1->addAction(ActionFileDelete);
  N_1->addAction(ActionFileClearAll);
  N_1->addSeparator();
  N_1->addAction(ActionFileMoveUp);
  N_1->addAction(ActionFileMoveDown);
  N_1->addSeparator();
  N_1->addAction(ActionConvertNow);
  N_1->addSeparator();
  N_1->addAction(ActionExit);

  N_Skin = named(bar->addMenu(QStringLiteral("皮肤")), "N_Skin");
  addNumberedActions(N_Skin, "Skin", "N_Skin", N_SkinItems);

  N_Tools = named(bar->addMenu(QStringLiteral("工具")), "N_Tools");
  N_OtherProducts = named(N_Tools->addMenu(QStringLiteral("其它产品")), "N_OtherProducts");
  addNumberedActions(N_OtherProducts, "Product", "N_Product", N_Products);

  N_Help = named(bar->addMenu(QStringLiteral("帮助")), "N_Help");
  N_LocalHelp = named(N_Help->addAction(QStringLiteral("联机帮组")), "N_LocalHelp");
  N_HomePage = named(N_Help->addAction(QStringLiteral("网站主页")), "N_HomePage");
  N_Support = named(N_Help->addAction(QStringLiteral("技术支持")), "N_Support");
  N_FeedBack = named(N_Help->addAction(QStringLiteral("意见反馈")), "N_FeedBack");
  N_Update = named(N_Help->addAction(QStringLiteral("在线升级")), "N_Update");

  PopupMenu = named(new QMenu(this), "PopupMenu");
  PopupMenu->addAction(ActionFileAdd);
  PopupMenu->addAction(ActionFileBatchAdd);
  PopupMenu->addAction(ActionFileDelete);
  PopupMenu->addAction(ActionFileClearAll);
  PopupMenu->addSeparator();
  PopupMenu->addAction(ActionFileMoveUp);
  PopupMenu->addAction(ActionFileMoveDown);
}

void TfrmMain::bindButton(QPushButton* button, QAction* action) {
  button->setText(action->text());
  connect(action, &QAction::changed, button, [button, action] { button->setText(action->text()); });
  connect(button, &QPushButton::clicked, action, &QAction::trigger);
}

void TfrmMain::connectSignals() {
  connect(ActionFileAdd, &QAction::triggered, this, Guarded([this] { ActionFileAddExecute(); }));
  connect(ActionFileBatchAdd, &QAction::triggered, this,
          Guarded([this] { ActionFileBatchAddExecute(); }));
  connect(ActionFileDelete, &QAction::triggered, this,
          Guarded([this] { ActionFileDeleteExecute(); }));
  connect(ActionFileClearAll, &QAction::triggered, this,
          Guarded([this] { ActionFileClearAllExecute(); }));
  connect(ActionFileMoveUp, &QAction::triggered, this,
          Guarded([this] { ActionFileMoveUpExecute(); }));
  connect(ActionFileMoveDown, &QAction::triggered, this,
          Guarded([this] { ActionFileMoveDownExecute(); }));
  connect(ActionConvertNow, &QAction::triggered, this,
          Guarded([this] { ActionConvertNowExecute(); }));
  connect(ActionSetDirectory, &QAction::triggered, this,
          Guarded([this] { ActionSetDirectoryExecute(); }));
  connect(ActionExit, &QAction::triggered, this, Guarded([this] { ActionExitExecute(); }));

  connect(listViewFiles, &QTreeWidget::clicked, this, Guarded([this] { listViewFilesClick(); }));
  connect(listViewFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu->popup(listViewFiles->viewport()->mapToGlobal(pos));
  });
  // Only a choice by the user runs the change handlers; setting the index in code does not.
  connect(ComboBoxPhotoWidth, &QComboBox::activated, this,
          Guarded([this] { ComboBoxPhotoWidthChange(); }));
  connect(ComboBoxPhotoHeight, &QComboBox::activated, this,
          Guarded([this] { ComboBoxPhotoHeightChange(); }));
  connect(editOutputFolder, &QLineEdit::textChanged, this,
          Guarded([this] { editOutputFolderChange(); }));

  for (int k = 1; k <= 18; ++k)
    connect(N_SkinItems[k - 1], &QAction::triggered, this, Guarded([this, k] { SkinMenuClick(k); }));
  for (int k = 1; k <= 11; ++k)
    connect(N_Products[k - 1], &QAction::triggered, this,
            Guarded([k] { services::OpenProductPage(k); }));
  connect(N_LocalHelp, &QAction::triggered, this, Guarded([] { services::OpenHelp(); }));
  connect(N_HomePage, &QAction::triggered, this, Guarded([] { services::OpenHomePage(); }));
  connect(N_Support, &QAction::triggered, this, Guarded([] { services::OpenSupportMail(); }));
  connect(N_FeedBack, &QAction::triggered, this, Guarded([] { services::OpenFeedbackPage(); }));
  connect(N_Update, &QAction::triggered, this, Guarded([this] {
            if (services::RunUpdater()) close();
          }));
}

// ---- Start-up ----------------------------------------------------------------------------

void TfrmMain::FormCreate() {
  setAcceptDrops(true);  // files dropped anywhere on the window
  FOverWriteChoice = owIgnore;
  FReady = true;
  MaskEditWidth->hide();
  MaskEditHeight->hide();
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!event->spontaneous()) RunGuarded([this] { FormShow(); });
}

void TfrmMain::FormShow() {
  ApplyLanguage(QString::fromStdString(frmCommon ? frmCommon->LanguageFileName() : ""));
  services::ApplySkin(services::ReadSkinSetting());
  ComboBoxPhotoWidth->setItemText(kSizeItemAuto, StringItemAuto);
  ComboBoxPhotoHeight->setItemText(kSizeItemAuto, StringItemAuto);
  ComboBoxPhotoWidth->setItemText(kSizeItemCustom, StringItemSpecial);
  ComboBoxPhotoHeight->setItemText(kSizeItemCustom, StringItemSpecial);
  ComboBoxPhotoWidth->setCurrentIndex(kDefaultWidthIndex);
  ComboBoxPhotoHeight->setCurrentIndex(kDefaultHeightIndex);
  editOutputFolder->setText(services::LoadOutputFolder());
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // A run in progress stops after its current file; the program ends when it has returned.
  if (m_converting) StopConvert();
  event->accept();
}

void TfrmMain::ApplyLanguage(const QString& languageFileName) {
  TLanguage language;
  language.LoadFromFile(languageFileName.toStdString());
  const LanguageLookup lookup = [&language](const char* section, const char* key) {
    return language.Text(section, key);
  };
  auto t = [&language](const char* key) {
    return QString::fromStdString(language.Text("frmMain", key));
  };

  SetApplicationTitle(QString::fromStdString(language.Text("App", "Title")));

  setWindowTitle(t("caption"));
  ActionFileAdd->setText(t("ActionFileAdd"));
  ActionFileBatchAdd->setText(t("ActionFileBatchAdd"));
  captionConvertNow = t("ActionConvertNow");
  if (!m_converting) ActionConvertNow->setText(captionConvertNow);
  ActionFileDelete->setText(t("ActionFileDelete"));
  ActionFileClearAll->setText(t("ActionFileClearAll"));
  ActionFileMoveUp->setText(t("ActionFileMoveUp"));
  ActionFileMoveDown->setText(t("ActionFileMoveDown"));
  ActionExit->setText(t("ActionExit"));
  ActionSetDirectory->setText(t("ActionSetDirectory"));
  listViewFiles->setHeaderLabels({t("ListViewItem0")});
  groupBoxStatus->setTitle(t("groupBoxStatus"));
  groupBoxSettings->setTitle(t("groupBoxSettings"));
  groupBoxOutput->setTitle(t("groupBoxOutput"));
  labelCurrentDecrption->setText(t("labelCurrentDecrption"));
  labelCurrentProgress->setText(t("labelCurrentProgress"));
  labelOutput->setText(t("labelOutput"));
  LabelPhotoWidth->setText(t("labelPhotoWidth"));
  LabelPhotoHeight->setText(t("labelPhotoHeight"));
  LabelPx1->setText(t("labelPx1"));
  LabelPx2->setText(t("labelPx2"));
  LabelJpegQuality->setText(t("labelJpegQuality"));
  StringItemAuto = t("StringItemAuto");
  StringItemSpecial = t("StringItemSpecial");
  msgStatusReady = t("msgStatusReady");
  labelCurrentInfo->setText(msgStatusReady);
  msgStatusRun = t("msgStatusRun");
  msgClearAll = t("msgClearAll");
  msgFolderView = t("msgFolderView");
  msgFinishInfo = t("msgFinishInfo");
  N_1->setTitle(t("N_1"));
  N_Skin->setTitle(t("N_Skin"));
  for (int k = 1; k <= 18; ++k)
    N_SkinItems[k - 1]->setText(t(QStringLiteral("N_Skin%1").arg(k).toLatin1().constData()));
  N_Tools->setTitle(t("N_Tools"));
  N_OtherProducts->setTitle(t("N_OtherProducts"));
  for (int k = 1; k <= 11; ++k)
    N_Products[k - 1]->setText(t(QStringLiteral("N_Product%1").arg(k).toLatin1().constData()));
  N_Help->setTitle(t("N_Help"));
  N_LocalHelp->setText(t("N_LocalHelp"));
  N_HomePage->setText(t("N_HomePage"));
  N_Support->setText(t("N_Support"));
  N_FeedBack->setText(t("N_FeedBack"));
  N_Update->setText(t("N_Update"));
  // Keys of Lumaprep's own besides the design's: the preview frame, the Convert button
  // during a run, and the count of unreadable files in the finish prompt.
  GroupBoxPreview->setTitle(t("GroupBoxPreview"));
  captionStopConvert = t("ActionStopConvert");
  if (m_converting) ActionConvertNow->setText(captionStopConvert);
  msgUnreadFiles = t("msgUnreadFiles");

  services::ApplyDirectoryLanguage(lookup);
  services::ApplyBatchAddLanguage(lookup);
  if (frmOverWrite) frmOverWrite->ApplyLanguage(lookup);
}

// ---- File list ---------------------------------------------------------------------------

void TfrmMain::AddFile(const QString& path) {
  if (!IsSupportedFile(path)) return;
  auto* item = new QTreeWidgetItem(listViewFiles, QStringList{path});
  item->setFlags(item->flags() | Qt::ItemIsEditable);
  if (isVisible()) repaint();
}

void TfrmMain::AddFolder(const QString& folder, bool includeSubfolders, const QString& extension) {
  services::AddFolder(folder, includeSubfolders, extension,
                      [this](const QString& path) { AddFile(path); });
}

QStringList TfrmMain::FileList() const {
  QStringList paths;
  for (int i = 0; i < listViewFiles->topLevelItemCount(); ++i)
    paths << listViewFiles->topLevelItem(i)->text(0);
  return paths;
}

int TfrmMain::selectedIndex() const {
  const QList<QTreeWidgetItem*> selected = listViewFiles->selectedItems();
  return selected.isEmpty() ? -1 : listViewFiles->indexOfTopLevelItem(selected.first());
}

void TfrmMain::selectEntry(int index) {
  QTreeWidgetItem* item = listViewFiles->topLevelItem(index);
  if (!item) return;
  listViewFiles->clearSelection();
  item->setSelected(true);
  listViewFiles->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
}

void TfrmMain::swapEntries(int a, int b) {
  QTreeWidgetItem* first = listViewFiles->topLevelItem(a);
  QTreeWidgetItem* second = listViewFiles->topLevelItem(b);
  const QString text = first->text(0);
  first->setText(0, second->text(0));
  second->setText(0, text);
}

void TfrmMain::DeleteSelectedFiles() {
  const int index = selectedIndex();
  if (index >= 0) delete listViewFiles->takeTopLevelItem(index);
  listViewFiles->viewport()->repaint();
}

void TfrmMain::MoveFileUp() {
  const int k = selectedIndex();
  if (k < 1) return;
  swapEntries(k, k - 1);
  selectEntry(k - 1);
  listViewFiles->setFocus();
  listViewFiles->viewport()->repaint();
}

void TfrmMain::MoveFileDown() {
  const int k = selectedIndex();
  if (k < 0 || k + 1 >= listViewFiles->topLevelItemCount()) return;
  swapEntries(k, k + 1);
  selectEntry(k + 1);
  listViewFiles->setFocus();
  listViewFiles->viewport()->repaint();
}

bool TfrmMain::askYes(const QString& text, bool okCancel) {
  QMessageBox box(QMessageBox::NoIcon, ApplicationTitle(), text,
                  okCancel ? QMessageBox::Ok | QMessageBox::Cancel
                           : QMessageBox::Yes | QMessageBox::No,
                  this);
  box.setObjectName(okCancel ? QStringLiteral("msgClearAll") : QStringLiteral("msgFinish"));
  const int answer = box.exec();
  return answer == (okCancel ? QMessageBox::Ok : QMessageBox::Yes);
}

void TfrmMain::ActionFileAddExecute() {
  OpenDialog->setWindowTitle(QString::fromLatin1(kOpenDialogTitle));
  OpenDialog->setNameFilters(OpenDialogFilters());
  OpenDialog->selectNameFilter(OpenDialogFilters().first());
  OpenDialog->selectFile(QString());
  if (OpenDialog->exec() != QDialog::Accepted) return;
  for (const QString& path : OpenDialog->selectedFiles()) {
    if (path.isEmpty()) break;
    AddFile(path);
  }
}

void TfrmMain::ActionFileBatchAddExecute() { services::ShowBatchAdd(); }

void TfrmMain::ActionFileDeleteExecute() { DeleteSelectedFiles(); }

void TfrmMain::ActionFileClearAllExecute() {
  if (askYes(msgClearAll, true)) listViewFiles->clear();
}

void TfrmMain::ActionFileMoveUpExecute() { MoveFileUp(); }

void TfrmMain::ActionFileMoveDownExecute() { MoveFileDown(); }

void TfrmMain::listViewFilesClick() {
  // During a run the preview's buffer belongs to the run.
  if (m_converting) return;
  const int index = selectedIndex();
  if (index < 0) return;
  ImageView->IO().LoadFromFile(listViewFiles->topLevelItem(index)->text(0).toStdString());
  ImageView->ImageChanged();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmMain::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  QMainWindow::dropEvent(event);
  const QList<QUrl> urls = event->mimeData()->urls();
  event->acceptProposedAction();
  RunGuarded([this, &urls] {
    for (const QUrl& url : urls)
      if (url.isLocalFile()) AddFile(url.toLocalFile());
  });
}

// ---- Output settings ---------------------------------------------------------------------

int TfrmMain::GetPhotoWidth() const {
  return lumaprep::GetPhotoWidth(ComboBoxPhotoWidth->currentIndex(),
                                 MaskEditWidth->displayText().toStdString());
}

int TfrmMain::GetPhotoHeight() const {
  return lumaprep::GetPhotoHeight(ComboBoxPhotoHeight->currentIndex(),
                                  MaskEditHeight->displayText().toStdString());
}

namespace {
void showCustomField(QComboBox* list, QLineEdit* field, QLabel* unit) {
  const bool custom = list->currentIndex() == kSizeItemCustom;
  field->setVisible(custom);
  unit->move(custom ? kPxLabelLeftCustom : kPxLabelLeft, unit->y());
}
}  // namespace

void TfrmMain::ComboBoxPhotoWidthChange() {
  showCustomField(ComboBoxPhotoWidth, MaskEditWidth, LabelPx1);
}

void TfrmMain::ComboBoxPhotoHeightChange() {
  showCustomField(ComboBoxPhotoHeight, MaskEditHeight, LabelPx2);
}

void TfrmMain::ActionSetDirectoryExecute() {
  QString path;
  if (services::ChooseOutputFolder(path)) editOutputFolder->setText(path);
}

void TfrmMain::editOutputFolderChange() { services::SaveOutputFolder(editOutputFolder->text()); }

void TfrmMain::SkinMenuClick(int number) {
  services::ApplySkin(number);
  services::WriteSkinSetting(number);
}

void TfrmMain::ActionExitExecute() { close(); }

// ---- Conversion --------------------------------------------------------------------------

QString TfrmMain::CheckTargetFile(const QString& target) {
  const std::string result = lumaprep::CheckTargetFile(
      target.toStdString(), FOverWriteChoice, [](const std::string&) {
        return frmOverWrite ? frmOverWrite->Ask() : owIgnore;
      });
  return QString::fromStdString(result);
}

void TfrmMain::ResetStatus() {
  labelCurrentInfo->setText(msgStatusReady);
  progressBarCurrent->setValue(0);
}

void TfrmMain::StopConvert() {
  FReady = false;
  ResetStatus();
}

void TfrmMain::ActionConvertNowExecute() {
  // Between runs the action starts one; during a run it stops it after the current file.
  if (m_converting)
    StopConvert();
  else
    StartConvert();
}

void TfrmMain::setConvertCaption(bool running) {
  ActionConvertNow->setText(running ? captionStopConvert : captionConvertNow);
}

void TfrmMain::pendingEvents() {
  ImageView->ImageChanged();
  QCoreApplication::processEvents();
}

void TfrmMain::OpenFolder(const QString& path) {
  if (m_folderOpener) m_folderOpener(path);
}

void TfrmMain::SetFolderOpener(std::function<void(const QString&)> opener) {
  m_folderOpener = std::move(opener);
}

void TfrmMain::StartConvert() {
  // The run works on the list as it is now: edits made while it runs do not change it.
  QString folder = editOutputFolder->text();
  const QStringList sources = FileList();
  const int count = int(sources.size());
  progressBarCurrent->setRange(0, std::max(count, 1));

  FReady = true;
  m_converting = true;
  setConvertCaption(true);
  struct RunEnd {
    TfrmMain* window;
    ~RunEnd() {
      window->m_converting = false;
      window->setConvertCaption(false);
    }
  } runEnd{this};

  int unreadable = 0;
  for (int i = 0; i < count; ++i) {
    if (!FReady) {
      // Stopped: StopConvert has reset the status; the next Convert starts a new run.
      FReady = true;
      return;
    }
    labelCurrentInfo->setText(QString::fromStdString(
        FormatStatusRun(msgStatusRun.toStdString(), StatusPosition(i, count))));
    selectEntry(i);
    const QString& source = sources[i];
    const QString name = source.mid(source.lastIndexOf(QLatin1Char('/')) + 1);
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    const QString target = CheckTargetFile(folder + name);
    if (target.isEmpty()) continue;

    const TConvertResult result = ConvertFile(
        ImageView->IO(), ImageView->Proc(), source.toStdString(), target.toStdString(),
        TrackBarJPEGQuality->value(), GetPhotoWidth(), GetPhotoHeight(),
        [this] { pendingEvents(); });
    if (!result.Read) ++unreadable;
    progressBarCurrent->setValue(i);
  }

  ResetStatus();
  ImageView->Blank();
  FReady = true;
  m_converting = false;
  setConvertCaption(false);

  QString text = msgFolderView + QStringLiteral("\n\n") + msgFinishInfo;
  if (unreadable > 0) {
    const std::string number = std::to_string(unreadable);
    QString line;
    try {
      line = QString::fromStdString(FormatStatusRun(msgUnreadFiles.toStdString(), number));
    } catch (const EConvertError&) {
      line = msgUnreadFiles + QLatin1Char(' ') + QString::fromStdString(number);
    }
    text += QStringLiteral("\n\n") + line;
  }
  if (askYes(text, false)) OpenFolder(folder);
}

}  // namespace lumaprep
