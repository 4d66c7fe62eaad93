#include "app/overwritedialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>

#include "app/errorhandler.h"

namespace lumaprep {

TfrmOverWrite* frmOverWrite = nullptr;

namespace {
// Modal results as the main window's message boxes know them.
constexpr int kResultYes = 6;
constexpr int kResultNo = 7;
}  // namespace

TfrmOverWrite::TfrmOverWrite(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("frmOverWrite"));
  setWindowTitle(QStringLiteral("文件已存在"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);
  QFont f = font();
  f.setPointSize(8);
  setFont(f);
  setFixedSize(354, 118);
  createControls();
  connectSignals();
}

void TfrmOverWrite::createControls() {
  labelDes = new QLabel(QStringLiteral("文件已存在，是否覆盖？"), this);
  labelDes->setObjectName(QStringLiteral("labelDes"));
  labelDes->setAlignment(Qt::AlignCenter);
  QFont bold = labelDes->font();
  bold.setBold(true);
  labelDes->setFont(bold);
  labelDes->setGeometry(0, 16, 354, 17);

  buttonOverWrite = new QPushButton(QStringLiteral("覆盖"), this);
  buttonOverWrite->setObjectName(QStringLiteral("buttonOverWrite"));
  buttonOverWrite->setGeometry(32, 48, 89, 25);
  buttonOverWrite->setAutoDefault(false);

  buttonIgnore = new QPushButton(QStringLiteral("忽略"), this);
  buttonIgnore->setObjectName(QStringLiteral("buttonIgnore"));
  buttonIgnore->setGeometry(133, 48, 89, 25);
  buttonIgnore->setAutoDefault(false);

  buttonAutoName = new QPushButton(QStringLiteral("自动命名"), this);
  buttonAutoName->setObjectName(QStringLiteral("buttonAutoName"));
  buttonAutoName->setGeometry(234, 48, 89, 25);
  buttonAutoName->setDefault(true);  // Enter

  checkBoxNotice = new QCheckBox(QStringLiteral("下次不再提示，均依此次选择执行"), this);
  checkBoxNotice->setObjectName(QStringLiteral("checkBoxNotice"));
  checkBoxNotice->setGeometry(16, 86, 334, 17);
}

void TfrmOverWrite::connectSignals() {
  connect(buttonOverWrite, &QPushButton::clicked, this,
          Guarded([this] { buttonOverWriteClick(); }));
  connect(buttonIgnore, &QPushButton::clicked, this, Guarded([this] { buttonIgnoreClick(); }));
  connect(buttonAutoName, &QPushButton::clicked, this,
          Guarded([this] { buttonAutoNameClick(); }));
}

void TfrmOverWrite::choose(TOverWriteButton button, int modalResult) {
  m_choice = ChoiceForButton(button, checkBoxNotice->isChecked());
  done(modalResult);
}

void TfrmOverWrite::buttonOverWriteClick() { choose(TOverWriteButton::OverWrite, kResultYes); }

void TfrmOverWrite::buttonIgnoreClick() { choose(TOverWriteButton::Ignore, kResultNo); }

void TfrmOverWrite::buttonAutoNameClick() { choose(TOverWriteButton::AutoName, kResultYes); }

void TfrmOverWrite::reject() {
  m_choice = owIgnore;
  QDialog::reject();
}

TOverWriteChoice TfrmOverWrite::Ask() {
  buttonAutoName->setFocus();
  exec();
  return m_choice;
}

void TfrmOverWrite::ApplyLanguage(const LanguageLookup& text) {
  auto t = [&](const char* key) { return QString::fromStdString(text("frmOverWrite", key)); };
  setWindowTitle(t("caption"));
  labelDes->setText(t("labelDes"));
  buttonOverWrite->setText(t("buttonOverWrite"));
  buttonIgnore->setText(t("buttonIgnore"));
  buttonAutoName->setText(t("buttonAutoName"));
  checkBoxNotice->setText(t("checkBoxNotice"));
}

}  // namespace lumaprep
