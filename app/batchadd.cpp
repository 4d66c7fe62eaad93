#include "app/batchadd.h"

#include <string>
#include <utility>

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include "app/errorhandler.h"
#include "app/job/addfolder.h"

namespace lumaprep {

QPointer<TFrmBatchAdd> frmBatchAdd;

TFrmBatchAdd::TFrmBatchAdd(AddFolderHandler addFolder, QWidget* parent)
    : QDialog(parent), m_addFolder(std::move(addFolder)) {
  setObjectName(QStringLiteral("FrmBatchAdd"));
  createControls();
  connectSignals();
}

void TFrmBatchAdd::createControls() {
  setWindowTitle(QStringLiteral("Add Files"));
  setFixedSize(402, 271);
  setModal(false);

  labelDirectory = new QLabel(QStringLiteral("Directory"), this);
  labelDirectory->setObjectName(QStringLiteral("labelDirectory"));
  labelDirectory->setGeometry(8, 5, 281, 18);

  ShellTreeView = CreateFolderTree(this, QStringLiteral("ShellTreeView"), &ShellTreeModel);
  ShellTreeView->setGeometry(8, 24, 377, 145);

  checkBoxIsSubDirectorie = new QCheckBox(QStringLiteral("Include Sub Directorie"), this);
  checkBoxIsSubDirectorie->setObjectName(QStringLiteral("checkBoxIsSubDirectorie"));
  checkBoxIsSubDirectorie->setGeometry(8, 176, 361, 21);

  labelFileNameExt = new QLabel(QStringLiteral("扩展名"), this);
  labelFileNameExt->setObjectName(QStringLiteral("labelFileNameExt"));
  labelFileNameExt->setGeometry(4, 206, 92, 18);

  editExt = new QLineEdit(QStringLiteral("*"), this);
  editExt->setObjectName(QStringLiteral("editExt"));
  editExt->setGeometry(98, 203, 35, 22);

  labelNoticeFileNameExt = new QLabel(QStringLiteral("(*为任意，其它请输入，如avi等)"), this);
  labelNoticeFileNameExt->setObjectName(QStringLiteral("labelNoticeFileNameExt"));
  // The hint may run to two lines in some languages.
  labelNoticeFileNameExt->setGeometry(137, 199, 260, 32);
  labelNoticeFileNameExt->setWordWrap(true);

  buttonOK = new QPushButton(QStringLiteral("&OK"), this);
  buttonOK->setObjectName(QStringLiteral("buttonOK"));
  buttonOK->setGeometry(80, 237, 83, 30);
  buttonOK->setDefault(true);

  buttonCancel = new QPushButton(QStringLiteral("&Cancel"), this);
  buttonCancel->setObjectName(QStringLiteral("buttonCancel"));
  buttonCancel->setGeometry(224, 237, 83, 30);
}

void TFrmBatchAdd::connectSignals() {
  connect(buttonOK, &QPushButton::clicked, this, Guarded([this] { buttonOKClick(); }));
  connect(buttonCancel, &QPushButton::clicked, this, Guarded([this] { buttonCancelClick(); }));
}

void TFrmBatchAdd::ShowWindow() {
  show();
  raise();
  activateWindow();
}

void TFrmBatchAdd::ApplyLanguage(const DialogTextLookup& text) {
  const char* section = "frmBatchAdd";
  setWindowTitle(QString::fromStdString(text(section, "caption")));
  labelDirectory->setText(QString::fromStdString(text(section, "labelDirectory")));
  checkBoxIsSubDirectorie->setText(
      QString::fromStdString(text(section, "checkBoxIsSubDirectorie")));
  labelFileNameExt->setText(QString::fromStdString(text(section, "labelFileNameExt")));
  labelNoticeFileNameExt->setText(QString::fromStdString(text(section, "labelNoticeFileNameExt")));
  buttonOK->setText(QString::fromStdString(text(section, "buttonOK")));
  buttonCancel->setText(QString::fromStdString(text(section, "buttonCancel")));
}

void TFrmBatchAdd::buttonOKClick() {
  // Without a selected folder there is nothing to scan: OK then does nothing at all.
  const QString folder = SelectedFolderPath(ShellTreeView, ShellTreeModel);
  if (folder.isEmpty()) return;
  hide();
  const QString extension = QString::fromStdString(TrimExtension(editExt->text().toStdString()));
  if (m_addFolder) m_addFolder(folder, checkBoxIsSubDirectorie->isChecked(), extension);
}

void TFrmBatchAdd::buttonCancelClick() { hide(); }

void AddFolderToList(const QString& folder, bool includeSubfolders, const QString& extension,
                     const std::function<void(const QString&)>& addFile) {
  AddFolder(
      QFile::encodeName(folder).toStdString(), includeSubfolders, extension.toStdString(),
      [&](const std::string& path) {
        if (addFile) addFile(QFile::decodeName(QByteArray::fromStdString(path)));
      },
      [] { QCoreApplication::processEvents(); });
}

}  // namespace lumaprep
