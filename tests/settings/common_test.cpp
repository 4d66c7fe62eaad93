#include "settings/common.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "settings/inifile.h"
#include "settings/links.h"
#include "settings/skins.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class CommonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumaprep-common-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    m_root = tmpl;
    // A program folder as users have them: blanks and non-ASCII characters in the path.
    m_app = m_root / "Program Files" / "照片 工具 ü";
    fs::create_directories(m_app);
    if (const char* home = std::getenv("HOME")) m_oldHome = home;
    ::setenv("HOME", "/home/tester", 1);
  }
  void TearDown() override {
    if (m_oldHome.empty())
      ::unsetenv("HOME");
    else
      ::setenv("HOME", m_oldHome.c_str(), 1);
    std::error_code ec;
    fs::remove_all(m_root, ec);
  }
  std::string app() const { return m_app.string() + "/"; }
  void writeConfig(const std::string& text) const {
    std::ofstream(m_app / "config.ini", std::ios::binary) << text;
  }

  fs::path m_root;
  fs::path m_app;
  std::string m_oldHome;
};

TEST_F(CommonTest, LocationsFollowTheLanguageSetting) {
  struct Case {
    const char* name;
    const char* config;  // nullptr: no config.ini at all
    int languageId;
    bool chinese;
  } cases[] = {
      {"no config.ini", nullptr, 2, false},
      {"no key", "[common]\nother=1\n", 2, false},
      {"0", "[common]\nlanguage=0\n", 0, false},
      {"1", "[common]\nlanguage=1\n", 1, true},
      {"1 in other letter case", "[COMMON]\nLanguage = \"1\"\n", 1, true},
      {"2", "[common]\nlanguage=2\n", 2, false},
      {"3", "[common]\nlanguage=3\n", 3, false},
      {"-1", "[common]\nlanguage=-1\n", -1, false},
      {"text", "[common]\nlanguage=chinese\n", 2, false},
      {"empty", "[common]\nlanguage=\n", 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(m_app / "config.ini");
    if (c.config) writeConfig(c.config);
    TfrmCommon common(m_app.string());  // without the trailing "/"
    EXPECT_EQ(common.AppPath(), app());
    EXPECT_EQ(common.ConfigFileName(), app() + "config.ini");
    EXPECT_EQ(common.LanguageId(), c.languageId);
    EXPECT_EQ(common.IsChinese(), c.chinese);
    const std::string tag = c.chinese ? "gb" : "en";
    EXPECT_EQ(common.LanguageFileName(), app() + "language/" + tag + ".ini");
    EXPECT_EQ(common.SplashFileName(), app() + "splash-" + tag + ".bmp");
    EXPECT_EQ(common.HelpFileName(),
              app() + (c.chinese ? "help/Lumaprep_gb.html" : "help/Lumaprep.html"));
    const TLinkLocations links = LinkLocations(c.chinese ? 1 : 2);
    EXPECT_EQ(common.HomePageURL(), links.HomePageURL);
    EXPECT_EQ(common.SupportMailURL(), links.SupportMailURL);
    EXPECT_EQ(common.FeedbackURL(), links.FeedbackURL);
    EXPECT_EQ(common.UpdaterFileName(), app() + "update");
    EXPECT_EQ(common.SkinFilePath(13), app() + "skins/Midsummer.ssk");
  }
}

TEST_F(CommonTest, ExecutableFolderIsTheFolderOfTheRunningProgram) {
  const std::string folder = TfrmCommon::ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(fs::exists(folder + "test_settings"));
  EXPECT_EQ(TfrmCommon().AppPath(), folder);
}

TEST_F(CommonTest, ConfigKeysReadTheirDefaultsAndWriteThrough) {
  TfrmCommon common(app());
  EXPECT_EQ(common.ReadSkinSetting(), 10);
  EXPECT_EQ(common.LoadOutputFolder(), "/home/tester");
  EXPECT_FALSE(fs::exists(m_app / "config.ini"));  // reading creates nothing

  common.WriteSkinSetting(13);
  const std::string folder = " /mnt/photos/My \"Best\" 照片 ";
  common.SaveOutputFolder(folder);
  // Every access goes to the file: a second object sees the values at once.
  TfrmCommon other(app());
  EXPECT_EQ(other.ReadSkinSetting(), 13);
  EXPECT_EQ(other.LoadOutputFolder(), folder);
  EXPECT_EQ(other.LanguageId(), 2);  // language is never written

  // Stored values that are not numbers or name no folder give the defaults.
  writeConfig("[skin]\nskin=Midsummer\n[setting]\noutputFolder=\n");
  EXPECT_EQ(common.ReadSkinSetting(), 10);
  EXPECT_EQ(common.LoadOutputFolder(), "/home/tester");
  writeConfig("[skin]\nskin=25\n");
  EXPECT_EQ(common.ReadSkinSetting(), 25);  // stored as is; the skin path maps it to 10
  EXPECT_EQ(common.SkinFilePath(common.ReadSkinSetting()), app() + "skins/Silver.ssk");
}

TEST_F(CommonTest, UnwritableProgramFolderRaisesUnableToWrite) {
  TfrmCommon common("/proc");
  EXPECT_EQ(common.ReadSkinSetting(), 10);
  try {
    common.WriteSkinSetting(3);
    ADD_FAILURE() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to /proc/config.ini");
  }
  EXPECT_THROW(common.SaveOutputFolder("/tmp"), EIniFileException);
}

TEST(SkinsTest, NumbersMapToFilesInMenuOrder) {
  struct Case {
    int number;
    const char* file;
  } cases[] = {{1, "Calmness.ssk"},   {2, "DiamondBlue.ssk"}, {6, "MacOS.ssk"},
               {7, "MP10.ssk"},       {10, "Silver.ssk"},     {13, "Midsummer.ssk"},
               {14, "Emerald.ssk"},   {18, "XPSilver.ssk"},   {0, "Silver.ssk"},
               {19, "Silver.ssk"},    {25, "Silver.ssk"},     {-1, "Silver.ssk"},
               {INT_MIN, "Silver.ssk"}, {INT_MAX, "Silver.ssk"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(SkinFileName(c.number), c.file);
    EXPECT_EQ(SkinFilePath("/opt/lumaprep/", c.number), std::string("/opt/lumaprep/skins/") + c.file);
  }
  std::set<std::string> distinct(SkinFileNames().begin(), SkinFileNames().end());
  EXPECT_EQ(distinct.size(), 18u);
}

TEST(LinksTest, LocationsByLanguage) {
  const TLinkLocations en = LinkLocations(2);
  const TLinkLocations cn = LinkLocations(1);
  for (int other : {0, 3, -1}) EXPECT_EQ(LinkLocations(other).HomePageURL, en.HomePageURL);
  EXPECT_NE(en.HomePageURL, cn.HomePageURL);
  EXPECT_NE(en.FeedbackURL, cn.FeedbackURL);
  EXPECT_NE(en.SupportMailURL, cn.SupportMailURL);
  for (const TLinkLocations& l : {en, cn}) {
    EXPECT_EQ(l.SupportMailURL.rfind("mailto:", 0), 0u);
    for (const std::string& url : {l.HomePageURL, l.FeedbackURL, l.SupportMailURL})
      EXPECT_NE(url.find("example.org"), std::string::npos) << url;
  }
  std::set<std::string> pages;
  for (int i = 1; i <= kProductCount; ++i) {
    pages.insert(ProductURL(2, i));
    EXPECT_EQ(ProductURL(1, i), cn.HomePageURL);
  }
  EXPECT_EQ(pages.size(), size_t(kProductCount));
  EXPECT_EQ(pages.count(en.HomePageURL), 0u);
  EXPECT_EQ(ProductURL(2, 0), en.HomePageURL);
  EXPECT_EQ(ProductURL(2, 12), en.HomePageURL);
}

}  // namespace
}  // namespace lumaprep
