#include "settings/inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumaprep-ini-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_dir, ec);
  }
  std::string path(const std::string& name) const { return (m_dir / name).string(); }
  std::string put(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
    return path(name);
  }
  static std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  fs::path m_dir;
};

TEST_F(IniFileTest, ReadsValuesByTheProfileRules) {
  const std::string longValue(3000, 'x');
  // "é" straddles byte 2047: the cut keeps whole characters.
  const std::string straddling = std::string(2046, 'y') + "\xC3\xA9" + "zz";
  const std::string file = put("a.ini",
                               "\xEF\xBB\xBF"
                               "orphan=before any section\n"
                               "; a comment\n"
                               "[Common]\n"
                               "Language = 1 \n"
                               "quoted=\"  padded  \"\n"
                               "single='x'\n"
                               "half=\"open\n"
                               "empty=\n"
                               "emptyQuotes=\"\"\n"
                               "equals=a=b=c\n"
                               "dup=first\n"
                               "dup=second\n"
                               ";hidden=no\n"
                               "noequals\n"
                               "  [ Setting ]  trailing\n"
                               "\toutputFolder\t=\t/home/u/Photos out\t\r\n"
                               "long=" + longValue + "\n"
                               "straddle=" + straddling + "\n"
                               "[common]\n"
                               "later=from second block\n"
                               "dup=third");
  struct Case {
    const char* section;
    const char* key;
    std::string expected;
  } cases[] = {
      {"common", "LANGUAGE", "1"},
      {"COMMON", "language", "1"},
      {"common", "quoted", "  padded  "},
      {"common", "single", "x"},
      {"common", "half", "\"open"},
      {"common", "empty", ""},
      {"common", "emptyQuotes", ""},
      {"common", "equals", "a=b=c"},
      {"common", "dup", "first"},
      {"common", "hidden", "<def>"},
      {"common", ";hidden", "<def>"},
      {"common", "noequals", "<def>"},
      {"common", "later", "from second block"},
      {"setting", "outputfolder", "/home/u/Photos out"},
      {"setting", "long", std::string(kMaxIniValueLength, 'x')},
      {"setting", "straddle", std::string(2046, 'y')},
      {"", "orphan", "<def>"},
      {"common", "missing", "<def>"},
      {"nosection", "language", "<def>"},
  };
  TIniFile ini(file);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected);
  }
  EXPECT_TRUE(ini.ValueExists("Common", "EMPTY"));
  EXPECT_FALSE(ini.ValueExists("common", "missing"));
}

TEST_F(IniFileTest, IntegersAreWholeDecimalNumbersElseTheDefault) {
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"12", 12},      {"-1", -1},        {"+3", 3},        {"0", 0},
      {" 7 ", 7},      {"007", 7},        {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},           {"2147483648", 99},
      {"abc", 99},     {"", 99},          {"12 3", 99},     {"1.5", 99},
      {"0x10", 99},    {"$10", 99},       {"+-1", 99},      {"-", 99},
      {"5abc", 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TIniFile ini(put("n.ini", std::string("[s]\nn=") + c.text + "\n"));
    EXPECT_EQ(ini.ReadInteger("s", "n", 99), c.expected);
  }
  EXPECT_EQ(TIniFile(path("absent.ini")).ReadInteger("s", "n", 42), 42);
  EXPECT_EQ(TIniFile(path("absent.ini")).ReadString("s", "n", "d"), "d");
  // A folder, an endless device or a pipe in the file's place reads as absent, at once.
  fs::create_symlink("/dev/zero", path("zero.ini"));
  ASSERT_EQ(::mkfifo(path("fifo.ini").c_str(), 0600), 0);
  for (const std::string& special : {m_dir.string(), path("zero.ini"), path("fifo.ini")}) {
    EXPECT_EQ(TIniFile(special).ReadString("s", "n", "d"), "d") << special;
    EXPECT_FALSE(ReadIniText(special)) << special;
  }
}

TEST_F(IniFileTest, WritingOneKeyKeepsEveryOtherByte) {
  struct Case {
    const char* name;
    std::string before;  // "<none>": no file
    const char* section;
    const char* key;
    const char* value;
    std::string after;
  } cases[] = {
      {"missing file is created", "<none>", "skin", "skin", "13", "[skin]\nskin=13\n"},
      {"empty file", "", "skin", "skin", "13", "[skin]\nskin=13\n"},
      {"replace in place, comments and other sections kept",
       "; settings\n[common]\nlanguage=1\n\n[skin]\n; the chosen skin\nskin = 4\nother=x\n",
       "skin", "skin", "13",
       "; settings\n[common]\nlanguage=1\n\n[skin]\n; the chosen skin\nskin=13\nother=x\n"},
      {"key in other letter case keeps its spelling and indentation",
       "[SKIN]\n  SKIN=4\n", "skin", "skin", "7", "[SKIN]\n  SKIN=7\n"},
      {"new key goes after the section's last entry, before the blank line",
       "[setting]\na=1\n\n[skin]\nskin=1\n", "Setting", "outputFolder", "/tmp/out",
       "[setting]\na=1\noutputFolder=/tmp/out\n\n[skin]\nskin=1\n"},
      {"new key in an empty section", "[setting]\n[skin]\nskin=1\n", "setting", "outputFolder",
       "/x", "[setting]\noutputFolder=/x\n[skin]\nskin=1\n"},
      {"new section without a final line end", "[common]\nlanguage=2", "skin", "skin", "3",
       "[common]\nlanguage=2\n[skin]\nskin=3\n"},
      {"new key after a last line without line end", "[skin]\nother=1", "skin", "skin", "3",
       "[skin]\nother=1\nskin=3\n"},
      {"replace the last line without line end", "[skin]\nskin=1", "skin", "skin", "3",
       "[skin]\nskin=3"},
      {"windows line ends stay windows line ends",
       "[common]\r\nlanguage=1\r\n\r\n[skin]\r\nskin=2\r\n", "setting", "outputFolder", "/o",
       "[common]\r\nlanguage=1\r\n\r\n[skin]\r\nskin=2\r\n[setting]\r\noutputFolder=/o\r\n"},
      {"windows line ends, key replaced", "[skin]\r\nskin=2\r\nx=1", "skin", "skin", "18",
       "[skin]\r\nskin=18\r\nx=1"},
      {"windows line ends, key added", "[skin]\r\nx=1", "skin", "skin", "18",
       "[skin]\r\nx=1\r\nskin=18\r\n"},
      {"byte-order mark kept", "\xEF\xBB\xBF[skin]\nskin=1\n", "skin", "skin", "2",
       "\xEF\xBB\xBF[skin]\nskin=2\n"},
      {"the key of the first block is the one replaced", "[s]\nk=1\n[t]\n[s]\nk=2\n", "s", "k",
       "9", "[s]\nk=9\n[t]\n[s]\nk=2\n"},
      {"key found in a second block of the section", "[s]\na=1\n[t]\n[s]\nk=2\n", "s", "k", "9",
       "[s]\na=1\n[t]\n[s]\nk=9\n"},
      {"value with blanks at its ends is quoted", "[s]\nk=1\n", "s", "k", " /my folder ",
       "[s]\nk=\" /my folder \"\n"},
      {"value in quotes is quoted again", "[s]\n", "s", "k", "\"q\"", "[s]\nk=\"\"q\"\"\n"},
      {"empty value", "[s]\nk=1\n", "s", "k", "", "[s]\nk=\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = path("w.ini");
    fs::remove(file);
    if (c.before != "<none>") put("w.ini", c.before);
    TIniFile ini(file);
    ini.WriteString(c.section, c.key, c.value);
    EXPECT_EQ(slurp(file), c.after);
    EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.value);
  }
}

TEST_F(IniFileTest, ManyWritesKeepEveryKey) {
  TIniFile ini(put("m.ini", "; keep me\r\n[common]\r\nlanguage=1"));
  ini.WriteInteger("skin", "skin", 13);
  ini.WriteString("setting", "outputFolder", "/home/用户/My Photos");
  ini.WriteInteger("SKIN", "Skin", 5);
  ini.WriteString("common", "extra", "x");
  EXPECT_EQ(ini.ReadInteger("common", "language", 2), 1);
  EXPECT_EQ(ini.ReadInteger("skin", "skin", 10), 5);
  EXPECT_EQ(ini.ReadString("setting", "outputfolder", ""), "/home/用户/My Photos");
  EXPECT_EQ(ini.ReadString("common", "extra", ""), "x");
  EXPECT_EQ(slurp(ini.FileName()),
            "; keep me\r\n[common]\r\nlanguage=1\r\nextra=x\r\n[skin]\r\nskin=5\r\n"
            "[setting]\r\noutputFolder=/home/用户/My Photos\r\n");
}

TEST_F(IniFileTest, WriteKeepsFileModeAndFollowsSymlinks) {
  const std::string real = put("real.ini", "[s]\nk=1\n");
  ::chmod(real.c_str(), 0640);
  fs::create_symlink(real, path("link.ini"));
  TIniFile(path("link.ini")).WriteInteger("s", "k", 2);
  EXPECT_TRUE(fs::is_symlink(path("link.ini")));
  EXPECT_EQ(slurp(real), "[s]\nk=2\n");
  struct stat st {};
  ASSERT_EQ(::stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

TEST_F(IniFileTest, FailedWriteRaisesUnableToWrite) {
  fs::create_directory(path("folder.ini"));
  const std::string cases[] = {
      path("no/such/folder/config.ini"),
      path("folder.ini"),       // a folder of that name
      "/proc/config.ini",       // a folder nobody may create files in, not even root
  };
  for (const std::string& file : cases) {
    SCOPED_TRACE(file);
    try {
      TIniFile(file).WriteInteger("skin", "skin", 3);
      ADD_FAILURE() << "no exception";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + file);
    }
  }
  // A value that cannot be kept on one line is refused, and the file stays as it was.
  const std::string file = put("c.ini", "[s]\nk=1\n");
  EXPECT_THROW(TIniFile(file).WriteString("s", "k", "two\nlines"), EIniFileException);
  EXPECT_THROW(TIniFile(file).WriteString("s", "k", "cr\rhere"), EIniFileException);
  EXPECT_EQ(slurp(file), "[s]\nk=1\n");
}

TEST_F(IniFileTest, ReadOnlyProgramFolder) {
  fs::create_directory(path("ro"));
  fs::permissions(path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  if (::access(path("ro").c_str(), W_OK) == 0) GTEST_SKIP() << "running with rights to write anyway";
  const std::string file = path("ro/config.ini");
  try {
    TIniFile(file).WriteString("setting", "outputFolder", "/x");
    ADD_FAILURE() << "no exception";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + file);
  }
  EXPECT_EQ(TIniFile(file).ReadString("setting", "outputFolder", "def"), "def");
}

}  // namespace
}  // namespace lumaprep
