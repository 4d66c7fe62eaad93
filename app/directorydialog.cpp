#include "app/directorydialog.h"

#include <QDir>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>

#include "app/errorhandler.h"

namespace lumaprep {

QPointer<TFrmDirectory> frmDirectory;

QTreeView* CreateFolderTree(QWidget* parent, const QString& objectName, QFileSystemModel** model) {
  auto* fsModel = new QFileSystemModel(parent);
  fsModel->setObjectName(objectName + QStringLiteral("Model"));
  fsModel->setFilter(QDir::AllDirs | QDir::Drives | QDir::Hidden | QDir::NoDotAndDotDot);
  fsModel->setOption(QFileSystemModel::DontWatchForChanges, true);
  fsModel->setReadOnly(true);
  fsModel->setRootPath(QStringLiteral("/"));

  auto* tree = new QTreeView(parent);
  tree->setObjectName(objectName);
  tree->setModel(fsModel);
  for (int column = 1; column < fsModel->columnCount(); ++column) tree->hideColumn(column);
  tree->header()->hide();
  tree->setIndentation(19);
  tree->setRootIsDecorated(false);
  tree->setSelectionMode(QAbstractItemView::SingleSelection);
  tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree->setUniformRowHeights(true);
  // "/" is the one top item; the home folder is opened and selected to start with.
  tree->expand(fsModel->index(QStringLiteral("/")));
  SelectFolder(tree, fsModel, QDir::homePath());
  *model = fsModel;
  return tree;
}

QString SelectedFolderPath(const QTreeView* tree, const QFileSystemModel* model) {
  const QModelIndexList rows = tree->selectionModel()->selectedRows();
  if (rows.isEmpty()) return QString();
  return model->filePath(rows.first());
}

bool SelectFolder(QTreeView* tree, QFileSystemModel* model, const QString& path) {
  const QModelIndex index = model->index(path);
  if (!index.isValid()) return false;
  for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) tree->expand(up);
  tree->setCurrentIndex(index);
  tree->scrollTo(index);
  return true;
}

TFrmDirectory::TFrmDirectory(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FrmDirectory"));
  createControls();
  connectSignals();
}

void TFrmDirectory::createControls() {
  setWindowTitle(QStringLiteral("Choose a directory"));
  setFixedSize(401, 306);
  setModal(true);

  LabelDirectory = new QLabel(QStringLiteral("Directory"), this);
  LabelDirectory->setObjectName(QStringLiteral("LabelDirectory"));
  LabelDirectory->setGeometry(16, 12, 177, 18);

  ShellTreeView1 = CreateFolderTree(this, QStringLiteral("ShellTreeView1"), &ShellTreeModel);
  ShellTreeView1->setGeometry(16, 32, 377, 225);

  ButtonOK = new QPushButton(QStringLiteral("&OK"), this);
  ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  ButtonOK->setGeometry(80, 269, 83, 30);
  ButtonOK->setDefault(true);

  ButtonCancel = new QPushButton(QStringLiteral("&Cancel"), this);
  ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  ButtonCancel->setGeometry(232, 269, 83, 30);
}

void TFrmDirectory::connectSignals() {
  connect(ButtonOK, &QPushButton::clicked, this, Guarded([this] { ButtonOKClick(); }));
  connect(ButtonCancel, &QPushButton::clicked, this, Guarded([this] { ButtonCancelClick(); }));
}

void TFrmDirectory::ApplyLanguage(const DialogTextLookup& text) {
  const char* section = "frmDirectory";
  setWindowTitle(QString::fromStdString(text(section, "caption")));
  LabelDirectory->setText(QString::fromStdString(text(section, "labelDiretroy")));
  ButtonOK->setText(QString::fromStdString(text(section, "buttonOK")));
  ButtonCancel->setText(QString::fromStdString(text(section, "buttonCancel")));
}

void TFrmDirectory::ButtonOKClick() {
  // With nothing selected there is no folder to take: the dialog stays open.
  const QString path = SelectedFolderPath(ShellTreeView1, ShellTreeModel);
  if (path.isEmpty()) return;
  m_selectedPath = path;
  accept();
}

void TFrmDirectory::ButtonCancelClick() { reject(); }

void TFrmDirectory::reject() {
  m_selectedPath.clear();
  QDialog::reject();
}

}  // namespace lumaprep
