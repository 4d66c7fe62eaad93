#include "app/skins.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "app/errorhandler.h"

#include "app/mainwindow.h"
#include "apptest.h"
#include "settings/common.h"
#include "settings/skins.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

const fs::path kSkinSources = fs::path(LUMAPREP_SOURCE_DIR) / "skins";

// The skin files as shipped: one per name, each a well-formed style sheet of its own that
// dresses every kind of control the windows use.
TEST(SkinFiles, EighteenDistinctCompleteStyleSheets) {
  std::set<std::string> contents;
  for (const char* name : SkinFileNames()) {
    SCOPED_TRACE(name);
    const std::string text = test::ReadFile(kSkinSources / name);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(CheckStyleSheet(text), "");
    contents.insert(text);
    for (const char* selector :
         {"QMainWindow", "QDialog", "QMenuBar", "QMenu::item:selected", "QPushButton:hover",
          "QPushButton:pressed", "QTreeView", "QHeaderView::section", "QGroupBox::title",
          "QProgressBar::chunk", "QSlider::groove:horizontal", "QSlider::handle:horizontal",
          "QLineEdit", "QComboBox", "QCheckBox::indicator", "QScrollBar"})
      EXPECT_NE(text.find(selector), std::string::npos) << selector;
  }
  EXPECT_EQ(contents.size(), 18u);
}

TEST(CheckStyleSheet, RefusesWhatCannotBeAStyleSheet) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
  };
  const Case cases[] = {
      {"plain", "QWidget { color: red; }", true},
      {"empty", "", true},
      {"brace in comment", "/* { */ QWidget { color: red; }", true},
      {"brace in string", "QLabel[text=\"{\"] { color: red; }", true},
      {"open brace", "QWidget { color: red;", false},
      {"stray close", "QWidget { } }", false},
      {"open comment", "QWidget { } /* end", false},
      {"open string", "QLabel[text=\"x] { }", false},
      {"binary", std::string("BM\0\0\x01\x02", 6), false},
      {"not utf-8", "QWidget { font-family: \"\xC3\x28\"; }", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckStyleSheet(c.text).empty(), c.ok);
  }
}

class SkinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    qApp->setStyleSheet(QString());
    fs::create_directories(m_prog / "skins");
    // Small stand-ins that name themselves, so the test sees which file was applied.
    for (const char* name : SkinFileNames())
      std::ofstream(m_prog / "skins" / name) << "/* " << name << " */ QWidget { }";
  }
  void TearDown() override { qApp->setStyleSheet(QString()); }

  static std::string applied() { return qApp->styleSheet().toStdString(); }
  static bool shows(const char* name) { return applied().find(name) != std::string::npos; }

  test::TempFolder m_temp{"skins"};
  const fs::path& m_prog = m_temp.path();
};

TEST_F(SkinTest, NumbersPickTheirFilesAndUnknownNumbersPickSilver) {
  const TfrmCommon common(m_prog.string());
  ApplySkin(common, 13);
  EXPECT_TRUE(shows("Midsummer.ssk"));  // the menu's order, not the alphabet's
  EXPECT_EQ(CurrentSkinFile(), (m_prog / "skins" / "Midsummer.ssk").string());
  ApplySkin(common, 1);
  EXPECT_TRUE(shows("Calmness.ssk"));
  for (int number : {0, 25, -1, 10}) {
    SCOPED_TRACE(number);
    ApplySkin(common, 1);
    ApplySkin(common, number);
    EXPECT_TRUE(shows("Silver.ssk"));
  }
}

TEST_F(SkinTest, AMissingFileLeavesTheLookAndFallsBackToTheProgramFolder) {
  const TfrmCommon common(m_prog.string());
  ApplySkin(common, 2);
  fs::remove(m_prog / "skins" / "XPBlue.ssk");
  EXPECT_NO_THROW(ApplySkin(common, 16));
  EXPECT_TRUE(shows("DiamondBlue.ssk"));

  // A file of the same name in the program folder itself is taken instead.
  std::ofstream(m_prog / "XPBlue.ssk") << "/* fallback XPBlue */ QWidget { }";
  ApplySkin(common, 16);
  EXPECT_TRUE(shows("fallback XPBlue"));
  EXPECT_EQ(CurrentSkinFile(), (m_prog / "XPBlue.ssk").string());
}

TEST_F(SkinTest, ABrokenFileRaisesAndLeavesTheLook) {
  const TfrmCommon common(m_prog.string());
  ApplySkin(common, 2);
  const std::string before = applied();
  std::ofstream(m_prog / "skins" / "Warm.ssk", std::ios::trunc) << "QWidget { color: red;";
  EXPECT_THROW(ApplySkin(common, 15), ESkinFileError);
  EXPECT_EQ(applied(), before);
  EXPECT_EQ(CurrentSkinFile(), "");

  fs::remove(m_prog / "skins" / "Warm.ssk");
  fs::create_directory(m_prog / "skins" / "Warm.ssk");
  try {
    ApplySkin(common, 15);
    ADD_FAILURE() << "a folder in place of the skin file was accepted";
  } catch (const ESkinFileError& e) {
    EXPECT_NE(std::string(e.what()).find("Warm.ssk"), std::string::npos);
  }
  EXPECT_EQ(applied(), before);
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// The skin menu and the start-up skin of the main window.
class SkinMenuTest : public SkinTest {
 protected:
  void start(const char* configText) {
    std::ofstream(m_prog / "config.ini", std::ios::trunc) << configText;
    m_common = std::make_unique<TfrmCommon>(m_prog.string());
    frmCommon = m_common.get();
    m_window = std::make_unique<TfrmMain>();
    m_window->show();
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    m_window.reset();
    frmCommon = nullptr;
    SkinTest::TearDown();
  }

  std::unique_ptr<TfrmCommon> m_common;
  std::unique_ptr<TfrmMain> m_window;
};

TEST_F(SkinMenuTest, StartUpAppliesTheStoredNumberAndSilverForAnyOther) {
  const struct {
    const char* config;
    const char* file;
  } cases[] = {{"", "Silver.ssk"},
               {"[skin]\nskin=0\n", "Silver.ssk"},
               {"[skin]\nskin=25\n", "Silver.ssk"},
               {"[skin]\nskin=13\n", "Midsummer.ssk"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    qApp->setStyleSheet(QString());
    start(c.config);
    EXPECT_TRUE(shows(c.file));
    m_window.reset();
  }
}

TEST_F(SkinMenuTest, AMenuEntryAppliesThenStoresItsNumber) {
  start("[skin]\nskin=25\n");
  m_window->N_SkinItems[12]->trigger();
  EXPECT_TRUE(shows("Midsummer.ssk"));
  EXPECT_EQ(m_common->ReadSkinSetting(), 13);

  // A missing file leaves the look, but the choice is still stored.
  fs::remove(m_prog / "skins" / "Emerald.ssk");
  m_window->N_SkinItems[13]->trigger();
  EXPECT_TRUE(shows("Midsummer.ssk"));
  EXPECT_EQ(m_common->ReadSkinSetting(), 14);

  // A broken file is reported and its number is not stored.
  std::ofstream(m_prog / "skins" / "Warm.ssk", std::ios::trunc) << "QWidget {";
  const QStringList errors = test::ErrorsOf([&] { m_window->N_SkinItems[14]->trigger(); });
  EXPECT_EQ(errors.size(), 1);
  EXPECT_TRUE(shows("Midsummer.ssk"));
  EXPECT_EQ(m_common->ReadSkinSetting(), 14);
}

}  // namespace
}  // namespace lumaprep
