#include "settings/language.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class LanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumaprep-lang-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  std::string put(const std::string& text) const {
    std::ofstream(m_dir / "lang.ini", std::ios::binary) << text;
    return (m_dir / "lang.ini").string();
  }
  fs::path m_dir;
};

TEST_F(LanguageTest, TextsAreFoundInAnyCaseAndMissingOnesAreEmpty) {
  TLanguage lang(put("\xEF\xBB\xBF[App]\r\nTITLE = \"Lumaprep\"\r\n"
                     "[frmMain]\r\nStringItemAuto=\r\ncaption=Main\r\ncaption=Second\r\n"));
  EXPECT_EQ(lang.Text("App", "Title"), "Lumaprep");
  EXPECT_EQ(lang.Text("APP", "title"), "Lumaprep");
  EXPECT_EQ(lang.Text("frmmain", "CAPTION"), "Main");
  EXPECT_EQ(lang.Text("frmMain", "StringItemAuto"), "");
  EXPECT_EQ(lang.Text("frmMain", "ActionExit"), "");
  EXPECT_EQ(lang.Text("frmOverWrite", "caption"), "");

  EXPECT_FALSE(lang.LoadFromFile((m_dir / "missing.ini").string()));
  EXPECT_TRUE(lang.IsEmpty());
  EXPECT_EQ(lang.Text("App", "Title"), "");
}

// Every key that the windows read, by section.
std::vector<std::pair<std::string, std::string>> AllKeys() {
  std::vector<std::pair<std::string, std::string>> keys = {{"App", "Title"}};
  for (const char* k :
       {"caption", "ActionFileAdd", "ActionFileBatchAdd", "ActionConvertNow", "ActionFileDelete",
        "ActionFileClearAll", "ActionFileMoveUp", "ActionFileMoveDown", "ActionExit",
        "ActionSetDirectory", "ListViewItem0", "groupBoxStatus", "groupBoxSettings",
        "groupBoxOutput", "labelCurrentDecrption", "labelCurrentProgress", "labelOutput",
        "labelPhotoWidth", "labelPhotoHeight", "labelPx1", "labelPx2", "labelJpegQuality",
        "StringItemAuto", "StringItemSpecial", "msgStatusReady", "msgStatusRun", "msgClearAll",
        "msgFolderView", "msgFinishInfo", "N_1", "N_Skin", "N_Tools", "N_OtherProducts", "N_Help",
        "N_LocalHelp", "N_HomePage", "N_Support", "N_FeedBack", "N_Update"})
    keys.emplace_back("frmMain", k);
  for (int i = 1; i <= 18; ++i) keys.emplace_back("frmMain", "N_Skin" + std::to_string(i));
  for (int i = 1; i <= 11; ++i) keys.emplace_back("frmMain", "N_Product" + std::to_string(i));
  for (const char* k : {"caption", "labelDiretroy", "buttonOK", "buttonCancel"})
    keys.emplace_back("frmDirectory", k);
  for (const char* k : {"caption", "labelDirectory", "checkBoxIsSubDirectorie", "labelFileNameExt",
                        "labelNoticeFileNameExt", "buttonOK", "buttonCancel"})
    keys.emplace_back("frmBatchAdd", k);
  for (const char* k : {"caption", "labelDes", "buttonOverWrite", "buttonIgnore", "buttonAutoName",
                        "checkBoxNotice"})
    keys.emplace_back("frmOverWrite", k);
  return keys;
}

bool IsValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0)) return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

TEST(ShippedLanguageFiles, AreCompleteAndUsable) {
  for (const char* name : {"en.ini", "gb.ini"}) {
    SCOPED_TRACE(name);
    const std::string file = std::string(LUMAPREP_SOURCE_DIR) + "/language/" + name;
    TLanguage lang;
    ASSERT_TRUE(lang.LoadFromFile(file));
    std::vector<std::string> skins;
    for (const auto& [section, key] : AllKeys()) {
      const std::string text = lang.Text(section, key);
      EXPECT_FALSE(text.empty()) << section << "/" << key;
      EXPECT_TRUE(IsValidUtf8(text)) << section << "/" << key;
      if (key.rfind("N_Skin", 0) == 0 && key.size() > 6) skins.push_back(text);
    }
    EXPECT_EQ(std::set<std::string>(skins.begin(), skins.end()).size(), 18u);
    const std::string status = FormatStatusRun(lang.Text("frmMain", "msgStatusRun"), "3/7");
    EXPECT_NE(status.find("3/7"), std::string::npos) << status;
    // The build installs the file beside the programs.
    EXPECT_TRUE(fs::exists(std::string(LUMAPREP_BINARY_DIR) + "/bin/language/" + name));
  }
  EXPECT_EQ(TLanguage(std::string(LUMAPREP_SOURCE_DIR) + "/language/gb.ini").Text("frmOverWrite", "labelDes"),
            "文件已存在，是否覆盖？");
}

TEST(FormatStatusRunTest, OneTextArgumentOrTheErrorTexts) {
  struct Case {
    const char* pattern;
    const char* result;  // nullptr: an error
    const char* error;
  } cases[] = {
      {"%s", "2/5", nullptr},
      {"Converting %s ...", "Converting 2/5 ...", nullptr},
      {"正在转换 %s", "正在转换 2/5", nullptr},
      {"100%% done: %s", "100% done: 2/5", nullptr},
      {"%S", "2/5", nullptr},
      {"no placeholder", "no placeholder", nullptr},
      {"", "", nullptr},
      {"%%s", "%s", nullptr},
      {"%d", nullptr, "Format '%d' invalid or incompatible with argument"},
      {"file %5s", nullptr, "Format 'file %5s' invalid or incompatible with argument"},
      {"at end %", nullptr, "Format 'at end %' invalid or incompatible with argument"},
      {"%s of %s", nullptr, "No argument for format '%s of %s'"},
      {"%s %d", nullptr, "No argument for format '%s %d'"},
      {"%d %s", nullptr, "Format '%d %s' invalid or incompatible with argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    if (c.result) {
      EXPECT_EQ(FormatStatusRun(c.pattern, "2/5"), c.result);
      continue;
    }
    try {
      FormatStatusRun(c.pattern, "2/5");
      ADD_FAILURE() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
  EXPECT_EQ(StatusPosition(0, 5), "0/5");
  EXPECT_EQ(StatusPosition(4, 5), "4/5");
  EXPECT_EQ(FormatStatusRun("%s%%", "a%sb"), "a%sb%");  // the argument itself is not a pattern
}

}  // namespace
}  // namespace lumaprep
