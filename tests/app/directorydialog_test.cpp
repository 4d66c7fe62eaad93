#include "app/directorydialog.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <QApplication>
#include <QCoreApplication>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "app/mainwindow.h"
#include "app/services.h"
#include "apptest.h"
#include "settings/common.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

// Runs action on the dialog once its modal loop is running.
void whenShown(TFrmDirectory& dialog, std::function<void()> action) {
  QTimer::singleShot(0, &dialog, [&dialog, action] {
    if (dialog.isVisible()) action();
  });
}

class DirectoryDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    fs::create_directories(m_root / "out" / "sub");
  }

  QString path(const char* rel) const { return QString::fromStdString((m_root / rel).string()); }

  test::TempFolder m_temp{"dirdlg"};
  const fs::path& m_root = m_temp.path();
};

TEST_F(DirectoryDialogTest, OkGivesTheSelectedFolderCancelAndEscGiveNothing) {
  TFrmDirectory dialog;
  EXPECT_EQ(dialog.size(), QSize(401, 306));
  auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("ButtonOK"));
  auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("ButtonCancel"));
  ASSERT_TRUE(ok && cancel);

  whenShown(dialog, [&] {
    SelectFolder(dialog.ShellTreeView1, dialog.ShellTreeModel, path("out/sub"));
    QTest::mouseClick(ok, Qt::LeftButton);
  });
  EXPECT_EQ(dialog.exec(), QDialog::Accepted);
  EXPECT_EQ(dialog.SelectedPath(), path("out/sub"));

  whenShown(dialog, [&] { QTest::mouseClick(cancel, Qt::LeftButton); });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  EXPECT_TRUE(dialog.SelectedPath().isEmpty());

  // The tree keeps its selection from one showing to the next; Esc cancels.
  whenShown(dialog, [&] {
    EXPECT_EQ(SelectedFolderPath(dialog.ShellTreeView1, dialog.ShellTreeModel), path("out/sub"));
    QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
}

TEST_F(DirectoryDialogTest, OkWithoutASelectionKeepsTheDialogOpen) {
  TFrmDirectory dialog;
  bool stillOpen = false;
  whenShown(dialog, [&] {
    dialog.ShellTreeView1->selectionModel()->clearSelection();
    dialog.ButtonOKClick();
    stillOpen = dialog.isVisible();
    dialog.ButtonCancelClick();
  });
  EXPECT_EQ(dialog.exec(), QDialog::Rejected);
  EXPECT_TRUE(stillOpen);
}

TEST_F(DirectoryDialogTest, TheTreeShowsFoldersOnlyHiddenOnesTooAndARightClickSelects) {
  fs::create_directories(m_root / "out" / ".hidden");
  std::ofstream(m_root / "out" / "photo.jpg") << "x";
  TFrmDirectory dialog;
  dialog.show();
  QTreeView* tree = dialog.ShellTreeView1;
  QFileSystemModel* model = dialog.ShellTreeModel;
  ASSERT_TRUE(SelectFolder(tree, model, path("out")));
  const QModelIndex out = model->index(path("out"));
  tree->expand(out);
  for (int i = 0; i < 200 && model->rowCount(out) < 2; ++i) {  // the model reads in the background
    QCoreApplication::processEvents();
    QThread::msleep(5);
  }
  QStringList names;
  for (int row = 0; row < model->rowCount(out); ++row)
    names << model->index(row, 0, out).data().toString();
  names.sort();
  EXPECT_EQ(names, (QStringList{QStringLiteral(".hidden"), QStringLiteral("sub")}));

  const QModelIndex sub = model->index(path("out/sub"));
  tree->scrollTo(sub);
  QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, tree->visualRect(sub).center());
  EXPECT_EQ(SelectedFolderPath(tree, model), path("out/sub"));
}

TEST_F(DirectoryDialogTest, LanguageSectionReplacesEveryText) {
  TFrmDirectory dialog;
  dialog.ApplyLanguage([](const char* section, const char* key) -> std::string {
    return std::string(section) == "frmDirectory" ? std::string("T:") + key : "";
  });
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("T:caption"));
  EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("LabelDirectory"))->text(),
            QStringLiteral("T:labelDiretroy"));
  EXPECT_EQ(dialog.findChild<QPushButton*>(QStringLiteral("ButtonOK"))->text(),
            QStringLiteral("T:buttonOK"));
  EXPECT_EQ(dialog.findChild<QPushButton*>(QStringLiteral("ButtonCancel"))->text(),
            QStringLiteral("T:buttonCancel"));
}

TEST_F(DirectoryDialogTest, SavingTheOutputFolderWritesConfigAndReportsAFailedWrite) {
  TfrmCommon common((m_root / "prog").string());
  fs::create_directories(m_root / "prog");
  TfrmCommon* const saved = frmCommon;
  frmCommon = &common;

  services::SaveOutputFolder(path("out"));
  EXPECT_NE(test::ReadFile(m_root / "prog" / "config.ini")
                .find("outputFolder=" + (m_root / "out").string()),
            std::string::npos);
  EXPECT_EQ(services::LoadOutputFolder(), path("out"));

  // A config.ini that cannot be written: the error names the file.
  fs::remove(m_root / "prog" / "config.ini");
  fs::create_directory(m_root / "prog" / "config.ini");
  QString message;
  const ErrorReporter old = SetErrorReporter([&](const QString& m) { message = m; });
  EXPECT_FALSE(RunGuarded([&] { services::SaveOutputFolder(path("out/sub")); }));
  SetErrorReporter(old);
  EXPECT_EQ(
      message,
      QStringLiteral("Unable to write to %1").arg(QString::fromStdString(common.ConfigFileName())));
  frmCommon = saved;
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// The dialog as the main window uses it: the output folder box mirrors every change of its
// text into config.ini, and only a change writes.
class OutputFolderTest : public DirectoryDialogTest {
 protected:
  void SetUp() override {
    DirectoryDialogTest::SetUp();
    fs::create_directories(m_root / "prog");
    m_common = std::make_unique<TfrmCommon>((m_root / "prog").string());
    frmCommon = m_common.get();
    m_window = std::make_unique<TfrmMain>();
    services::CreateDialogs(*m_window);
    m_window->show();
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    m_window.reset();
    frmCommon = nullptr;
    DirectoryDialogTest::TearDown();
  }

  fs::path config() const { return m_root / "prog" / "config.ini"; }

  // ActionSetDirectory, answered by choice (a folder to pick, or nullptr for Cancel).
  void choose(const char* rel) {
    ASSERT_TRUE(frmDirectory);
    TFrmDirectory& dialog = *frmDirectory;
    whenShown(dialog, [this, &dialog, rel] {
      if (rel) {
        SelectFolder(dialog.ShellTreeView1, dialog.ShellTreeModel, path(rel));
        dialog.ButtonOKClick();
      } else {
        dialog.ButtonCancelClick();
      }
    });
    m_window->ActionSetDirectoryExecute();
  }

  std::unique_ptr<TfrmCommon> m_common;
  std::unique_ptr<TfrmMain> m_window;
};

TEST_F(OutputFolderTest, EveryChangeIsWrittenAndOnlyAChange) {
  // At start the default is shown and written back.
  EXPECT_EQ(m_window->editOutputFolder->text(), QString::fromStdString(TfrmCommon::HomeFolder()));
  EXPECT_NE(test::ReadFile(config()).find("outputFolder="), std::string::npos);

  choose("out/sub");
  EXPECT_EQ(m_window->editOutputFolder->text(), path("out/sub"));
  EXPECT_EQ(m_common->LoadOutputFolder(), (m_root / "out" / "sub").string());

  // Cancel, and OK on the folder already in the box, change nothing and write nothing.
  fs::remove(config());
  choose(nullptr);
  EXPECT_EQ(m_window->editOutputFolder->text(), path("out/sub"));
  choose("out/sub");
  EXPECT_FALSE(fs::exists(config()));

  choose("out");
  EXPECT_EQ(m_common->LoadOutputFolder(), (m_root / "out").string());
}

TEST_F(OutputFolderTest, AConfigThatCannotBeWrittenIsReportedAndTheBoxKeepsTheChoice) {
  fs::remove(config());
  fs::create_directory(config());
  const QStringList errors = test::ErrorsOf([&] { choose("out"); });
  EXPECT_EQ(m_window->editOutputFolder->text(), path("out"));
  ASSERT_EQ(errors.size(), 1);
  EXPECT_EQ(errors[0], QStringLiteral("Unable to write to %1")
                           .arg(QString::fromStdString(m_common->ConfigFileName())));
}

}  // namespace
}  // namespace lumaprep
