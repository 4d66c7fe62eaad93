#include "app/job/overwrite.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

class OverWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "lumaprep-ow-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl + "/";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  std::string touch(const std::string& name) const {
    fs::create_directories(fs::path(m_dir + name).parent_path());
    std::ofstream(m_dir + name) << "x";
    return m_dir + name;
  }
  std::string m_dir;
};

TEST(TargetPathTest, FolderSlashAndTheInputsFileName) {
  struct Case {
    const char* folder;
    const char* source;
    const char* target;
  } cases[] = {
      {"/out", "/a/b.PNG", "/out/b.PNG"},
      {"/out/", "/a/b.PNG", "/out/b.PNG"},
      {"/my photos/輸出", "/in/x y.jpg", "/my photos/輸出/x y.jpg"},
      {"/out", "/in/c:d\\e.jpg", "/out/c:d\\e.jpg"},  // ":" and "\" are ordinary characters
      {"/out", "plain.gif", "/out/plain.gif"},
      {"/", "/a/b.bmp", "/b.bmp"},
      {"", "/a/b.bmp", "/b.bmp"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " + " + c.source);
    EXPECT_EQ(MakeTargetPath(c.folder, c.source), c.target);
  }
  EXPECT_EQ(ExtractFileName("/a/b/c.tar.gz"), "c.tar.gz");
  EXPECT_EQ(ExtractFileName("/a/b/"), "");
}

TEST_F(OverWriteTest, AutoNameSeries) {
  struct Case {
    const char* name;
    std::vector<const char*> existing;
    const char* path;
    const char* expected;
  } cases[] = {
      {"free name passes", {}, "a.jpg", "a.jpg"},
      {"one clash", {"a.jpg"}, "a.jpg", "a(1).jpg"},
      {"two clashes", {"a.jpg", "a(1).jpg"}, "a.jpg", "a(1)(1).jpg"},
      {"never counts up", {"a.jpg", "a(1).jpg", "a(1)(1).jpg", "a(2).jpg"}, "a.jpg",
       "a(1)(1)(1).jpg"},
      {"no extension", {"README"}, "README", "README(1)"},
      {"dot in the folder name", {"my.dir/photo"}, "my.dir/photo", "my.dir/photo(1)"},
      {"last dot only", {"a.tar.gz"}, "a.tar.gz", "a.tar(1).gz"},
      {"leading dot", {".hidden"}, ".hidden", "(1).hidden"},
      {"extension case kept", {"IMG.JPG"}, "IMG.JPG", "IMG(1).JPG"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    for (const char* e : c.existing) touch(e);
    EXPECT_EQ(MakeAutoName(m_dir + c.path), m_dir + c.expected);
  }
  // A folder of that name counts as free, here as for the target itself.
  fs::create_directory(m_dir + "dir.png");
  EXPECT_FALSE(TargetFileExists(m_dir + "dir.png"));
  EXPECT_EQ(MakeAutoName(m_dir + "dir.png"), m_dir + "dir.png");
}

TEST(OverWriteChoiceTest, ButtonsAndCheckBox) {
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::Ignore, false), owIgnore);
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::Ignore, true), owIgnoreAll);
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::OverWrite, false), owOverWrite);
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::OverWrite, true), owOverWriteAll);
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::AutoName, false), owAutoName);
  EXPECT_EQ(ChoiceForButton(TOverWriteButton::AutoName, true), owAutoNameAll);
  EXPECT_EQ(int(owIgnore), 0);
  EXPECT_EQ(int(owIgnoreAll), 2);
  EXPECT_EQ(int(owOverWrite), 3);
  EXPECT_EQ(int(owOverWriteAll), 4);
  EXPECT_EQ(int(owAutoName), 5);
  EXPECT_EQ(int(owAutoNameAll), 6);
  EXPECT_EQ(sizeof(TOverWriteChoice), 1u);
}

// A run over four targets: three exist, one ("new.png") does not. Each answer the user gives is
// the same; the series shows when the question is put and what each target becomes.
TEST_F(OverWriteTest, SeriesForEachAnswer) {
  const std::vector<std::string> names = {"a.jpg", "new.png", "b.gif", "c"};
  touch("a.jpg");
  touch("b.gif");
  touch("c");
  touch("a(1).jpg");  // makes the first auto-name a(1)(1).jpg
  const std::string skip;
  struct Case {
    const char* name;
    TOverWriteChoice answer;
    int asks;
    std::vector<std::string> results;  // relative to the folder; "" = skipped
    TOverWriteChoice remembered;
  } cases[] = {
      {"ignore", owIgnore, 3, {skip, "new.png", skip, skip}, owIgnore},
      {"ignore all", owIgnoreAll, 1, {skip, "new.png", skip, skip}, owIgnoreAll},
      {"overwrite", owOverWrite, 3, {"a.jpg", "new.png", "b.gif", "c"}, owIgnore},
      {"overwrite all", owOverWriteAll, 1, {"a.jpg", "new.png", "b.gif", "c"}, owOverWriteAll},
      {"auto name", owAutoName, 3, {"a(1)(1).jpg", "new.png", "b(1).gif", "c(1)"}, owIgnore},
      {"auto name all", owAutoNameAll, 1, {"a(1)(1).jpg", "new.png", "b(1).gif", "c(1)"},
       owAutoNameAll},
      {"a code no button gives", TOverWriteChoice(1), 3, {skip, "new.png", skip, skip}, owIgnore},
      {"an unknown code", TOverWriteChoice(7), 3, {skip, "new.png", skip, skip}, owIgnore},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TOverWriteChoice remembered = owIgnore;
    int asks = 0;
    auto ask = [&](const std::string& target) {
      ++asks;
      EXPECT_TRUE(TargetFileExists(target)) << target;
      return c.answer;
    };
    std::vector<std::string> results;
    for (const std::string& n : names) {
      std::string r = CheckTargetFile(m_dir + n, remembered, ask);
      results.push_back(r.empty() ? r : r.substr(m_dir.size()));
    }
    EXPECT_EQ(asks, c.asks);
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(remembered, c.remembered);

    // A second run keeps the remembered choice: an "all" answer is not asked again.
    asks = 0;
    for (const std::string& n : names) CheckTargetFile(m_dir + n, remembered, ask);
    EXPECT_EQ(asks, c.remembered == owIgnore ? 3 : 0);
  }
  // Nothing here writes files.
  EXPECT_FALSE(fs::exists(m_dir + "new.png"));
  EXPECT_FALSE(fs::exists(m_dir + "b(1).gif"));
}

TEST_F(OverWriteTest, RememberedChoiceAndMissingAsker) {
  const std::string existing = touch("x.jpg");
  auto never = [](const std::string&) -> TOverWriteChoice {
    ADD_FAILURE() << "asked although a choice is remembered";
    return owIgnore;
  };
  struct Case {
    TOverWriteChoice remembered;
    std::string result;
  } cases[] = {
      {owIgnoreAll, ""},
      {owOverWriteAll, existing},
      {owAutoNameAll, m_dir + "x(1).jpg"},
      // A one-time code left over (set by the caller) is used once and cleared.
      {owOverWrite, existing},
      {owAutoName, m_dir + "x(1).jpg"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.remembered));
    TOverWriteChoice remembered = c.remembered;
    EXPECT_EQ(CheckTargetFile(existing, remembered, never), c.result);
    const bool forAll = c.remembered == owIgnoreAll || c.remembered == owOverWriteAll ||
                        c.remembered == owAutoNameAll;
    EXPECT_EQ(remembered, forAll ? c.remembered : owIgnore);
    // A free target passes unchanged whatever is remembered, and nobody is asked.
    remembered = c.remembered;
    EXPECT_EQ(CheckTargetFile(m_dir + "free.jpg", remembered, never), m_dir + "free.jpg");
    EXPECT_EQ(remembered, c.remembered);
  }
  // Without a way to ask, an existing target is skipped and the next clash asks again.
  TOverWriteChoice remembered = owIgnore;
  EXPECT_EQ(CheckTargetFile(existing, remembered, TAskOverWrite()), "");
  EXPECT_EQ(remembered, owIgnore);
  // A folder in the target's place counts as free: the save that follows reports it.
  fs::create_directory(m_dir + "d.jpg");
  EXPECT_EQ(CheckTargetFile(m_dir + "d.jpg", remembered, never), m_dir + "d.jpg");
}

}  // namespace
}  // namespace lumaprep
