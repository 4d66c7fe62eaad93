#include "app/batchadd.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "app/mainwindow.h"
#include "app/services.h"
#include "apptest.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

struct AddCall {
  QString folder;
  bool includeSubfolders;
  QString extension;
};

class BatchAddTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    fs::create_directories(m_root / "photos" / "2019");
    std::ofstream(m_root / "photos" / "a.jpg") << "x";
    std::ofstream(m_root / "photos" / "b.png") << "x";
    std::ofstream(m_root / "photos" / "2019" / "c.jpg") << "x";
    m_dialog =
        std::make_unique<TFrmBatchAdd>([this](const QString& folder, bool sub, const QString& ext) {
          m_calls.push_back({folder, sub, ext});
        });
  }
  void TearDown() override { m_dialog.reset(); }

  QString photos() const { return QString::fromStdString((m_root / "photos").string()); }

  template <typename T>
  T* child(const char* name) {
    T* widget = m_dialog->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  test::TempFolder m_temp{"batchadd"};
  const fs::path& m_root = m_temp.path();
  std::unique_ptr<TFrmBatchAdd> m_dialog;
  std::vector<AddCall> m_calls;
};

TEST_F(BatchAddTest, OkHidesTheWindowAndHandsOnFolderSubfolderFlagAndTrimmedExtension) {
  m_dialog->ShowWindow();
  EXPECT_FALSE(m_dialog->isModal());
  ASSERT_TRUE(SelectFolder(m_dialog->ShellTreeView, m_dialog->ShellTreeModel, photos()));
  child<QLineEdit>("editExt")->setText(QStringLiteral(" \tjpg  "));
  QCheckBox* sub = child<QCheckBox>("checkBoxIsSubDirectorie");
  QTest::mouseClick(sub, Qt::LeftButton, {}, QPoint(8, sub->height() / 2));  // on the box
  QTest::mouseClick(child<QPushButton>("buttonOK"), Qt::LeftButton);

  EXPECT_FALSE(m_dialog->isVisible());
  ASSERT_EQ(m_calls.size(), 1u);
  EXPECT_EQ(m_calls[0].folder, photos());
  EXPECT_TRUE(m_calls[0].includeSubfolders);
  EXPECT_EQ(m_calls[0].extension, QStringLiteral("jpg"));

  // The next showing finds the window as it was left.
  m_dialog->ShowWindow();
  EXPECT_EQ(SelectedFolderPath(m_dialog->ShellTreeView, m_dialog->ShellTreeModel), photos());
  EXPECT_TRUE(child<QCheckBox>("checkBoxIsSubDirectorie")->isChecked());
  EXPECT_EQ(child<QLineEdit>("editExt")->text(), QStringLiteral(" \tjpg  "));
}

TEST_F(BatchAddTest, DesignStateAndAnEmptyBoxGiveAnyExtension) {
  EXPECT_EQ(m_dialog->size(), QSize(402, 271));
  EXPECT_EQ(child<QLineEdit>("editExt")->text(), QStringLiteral("*"));
  EXPECT_FALSE(child<QCheckBox>("checkBoxIsSubDirectorie")->isChecked());
  // The tree starts at the home folder, selected.
  EXPECT_EQ(SelectedFolderPath(m_dialog->ShellTreeView, m_dialog->ShellTreeModel),
            QDir::homePath());

  m_dialog->ShowWindow();
  ASSERT_TRUE(SelectFolder(m_dialog->ShellTreeView, m_dialog->ShellTreeModel, photos()));
  child<QLineEdit>("editExt")->setText(QStringLiteral("   "));
  m_dialog->buttonOKClick();
  ASSERT_EQ(m_calls.size(), 1u);
  EXPECT_EQ(m_calls[0].extension, QString());
  EXPECT_FALSE(m_calls[0].includeSubfolders);
}

TEST_F(BatchAddTest, CancelAndOkWithoutASelectionAddNothing) {
  m_dialog->ShowWindow();
  QTest::mouseClick(child<QPushButton>("buttonCancel"), Qt::LeftButton);
  EXPECT_FALSE(m_dialog->isVisible());
  EXPECT_TRUE(m_calls.empty());

  m_dialog->ShowWindow();
  m_dialog->ShellTreeView->selectionModel()->clearSelection();
  QTest::mouseClick(child<QPushButton>("buttonOK"), Qt::LeftButton);
  EXPECT_TRUE(m_dialog->isVisible());
  EXPECT_TRUE(m_calls.empty());
  m_dialog->hide();
}

TEST_F(BatchAddTest, LanguageSectionReplacesEveryText) {
  m_dialog->ApplyLanguage([](const char* section, const char* key) -> std::string {
    if (std::string(section) != "frmBatchAdd") return "wrong section";
    if (std::string(key) == "labelNoticeFileNameExt") return "";  // a missing key
    return std::string("T:") + key;
  });
  EXPECT_EQ(m_dialog->windowTitle(), QStringLiteral("T:caption"));
  EXPECT_EQ(child<QLabel>("labelDirectory")->text(), QStringLiteral("T:labelDirectory"));
  EXPECT_EQ(child<QCheckBox>("checkBoxIsSubDirectorie")->text(),
            QStringLiteral("T:checkBoxIsSubDirectorie"));
  EXPECT_EQ(child<QLabel>("labelFileNameExt")->text(), QStringLiteral("T:labelFileNameExt"));
  EXPECT_EQ(child<QLabel>("labelNoticeFileNameExt")->text(), QString());
  EXPECT_EQ(child<QPushButton>("buttonOK")->text(), QStringLiteral("T:buttonOK"));
  EXPECT_EQ(child<QPushButton>("buttonCancel")->text(), QStringLiteral("T:buttonCancel"));
}

TEST_F(BatchAddTest, ScanForTheListKeepsTheWindowResponsive) {
  bool timerFired = false;
  QTimer::singleShot(0, [&] { timerFired = true; });
  std::vector<QString> added;
  std::vector<bool> firedBefore;
  AddFolderToList(photos(), true, QStringLiteral("*"), [&](const QString& path) {
    firedBefore.push_back(timerFired);
    added.push_back(path);
  });
  ASSERT_EQ(added.size(), 3u);
  // Pending events run after every entry, so by the last file the timer has had its turn.
  EXPECT_TRUE(firedBefore.back());
  EXPECT_TRUE(timerFired);
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// The window as the main window shows it: not modal, and OK fills the file list.
TEST_F(BatchAddTest, OkFillsTheMainWindowsListThroughAddFile) {
  TfrmMain window;
  services::CreateDialogs(window);
  window.show();
  window.ActionFileBatchAddExecute();
  ASSERT_TRUE(frmBatchAdd);
  EXPECT_TRUE(frmBatchAdd->isVisible());
  EXPECT_FALSE(frmBatchAdd->isModal());
  // A second call only brings the open window forward.
  TFrmBatchAdd* const first = frmBatchAdd;
  window.ActionFileBatchAddExecute();
  EXPECT_EQ(frmBatchAdd.data(), first);
  EXPECT_TRUE(frmBatchAdd->isVisible());

  ASSERT_TRUE(SelectFolder(frmBatchAdd->ShellTreeView, frmBatchAdd->ShellTreeModel, photos()));
  frmBatchAdd->checkBoxIsSubDirectorie->setChecked(true);
  frmBatchAdd->editExt->setText(QStringLiteral("*"));
  frmBatchAdd->buttonOKClick();
  QStringList got = window.FileList();
  got.sort();
  EXPECT_EQ(got, (QStringList{photos() + "/2019/c.jpg", photos() + "/a.jpg", photos() + "/b.png"}));

  // "jpg" does not enter the folder named 2019, and photo.png is not enumerated.
  window.ActionFileBatchAddExecute();
  frmBatchAdd->editExt->setText(QStringLiteral("jpg"));
  frmBatchAdd->buttonOKClick();
  EXPECT_EQ(window.FileList().mid(3), QStringList{photos() + "/a.jpg"});
}

}  // namespace
}  // namespace lumaprep
