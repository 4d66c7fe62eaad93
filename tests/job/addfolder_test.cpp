#include "app/job/addfolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

TEST(WildcardMatch, FollowsTheWindowsSearchRules) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"*.*", "photo.jpg", true},
      {"*.*", "2019", true},  // "*.*" takes names without a dot too
      {"*.*", ".hidden", true},
      {"*.jpg", "photo.jpg", true},
      {"*.jpg", "PHOTO.JPG", true},
      {"*.JPG", "photo.jpg", true},
      {"*.jpg", "a.b.jpg", true},
      {"*.jpg", ".jpg", true},
      {"*.jpg", "photo.png", false},
      {"*.jpg", "photo.jpg.png", false},
      {"*.jpg", "photo.jpeg", false},
      {"*.jpg", "photojpg", false},
      {"*.jpg", "2019", false},
      {"*.jp*", "photo.jpeg", true},
      {"*.jp*", "photo.jp", true},
      {"*.jp?", "photo.jpg", true},
      {"*.jp?", "photo.jp", true},  // a "?" at the end of the name matches nothing
      {"*.jp?", "photo.jpeg", false},
      {"*.?", "2019", true},  // ".?" matches the end of a name without a dot
      {"*.t?a", "x.tga", true},
      {"*.t?a", "x.ta", false},
      {"*. jpg", "photo.jpg", false},
      {"*.фото", "снимок.ФОТО", true},
      {"*.ÉTÉ", "photo.été", true},
      {"*.фото", "снимок.фото", true},
      {"*.p?g", "x.p\xC3\xA9g", true},  // "?" takes one character, not one byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " / " + c.name);
    EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match);
  }
}

TEST(TrimExtension, DropsBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(TrimExtension("  jpg \t"), "jpg");
  EXPECT_EQ(TrimExtension("\r\njpg\x01"), "jpg");
  EXPECT_EQ(TrimExtension("j pg"), "j pg");
  EXPECT_EQ(TrimExtension("   "), "");
  EXPECT_EQ(TrimExtension(""), "");
  EXPECT_EQ(TrimExtension("照片"), "照片");
}

class AddFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = fs::temp_directory_path() /
             ("lumaprep-addfolder-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(m_root);
    fs::create_directories(m_root);
  }
  void TearDown() override {
    // Read-only folders must become writable again before they can be removed.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_root, ec); !ec && it != fs::end(it);
         it.increment(ec))
      if (it->is_directory() && !it->is_symlink()) ::chmod(it->path().c_str(), 0755);
    fs::remove_all(m_root, ec);
  }

  void touch(const std::string& rel) {
    fs::create_directories((m_root / rel).parent_path());
    std::ofstream(m_root / rel) << "x";
  }

  std::vector<std::string> scan(bool sub, const std::string& ext, std::string folder = "") {
    std::vector<std::string> out;
    if (folder.empty()) folder = m_root.string();
    AddFolder(
        folder, sub, ext, [&](const std::string& p) { out.push_back(p); }, [&] { ++m_pumps; });
    return out;
  }

  // The paths relative to the root, sorted: the file system's order is its own.
  std::vector<std::string> relSorted(std::vector<std::string> paths) const {
    for (std::string& p : paths) p = p.substr(m_root.string().size() + 1);
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  void makeTree() {
    touch("a.jpg");
    touch("b.PNG");
    touch("notes.txt");
    touch("2019/c.jpg");
    touch("2019/deep/d.jpg");
    touch("album.jpg/e.jpg");
    touch(".hidden/f.jpg");
    touch(".g.jpg");
  }

  fs::path m_root;
  int m_pumps = 0;
};

TEST_F(AddFolderTest, AnyExtensionWithSubfoldersTakesEveryFileDepthFirst) {
  makeTree();
  const std::vector<std::string> got = scan(true, "*");
  EXPECT_EQ(relSorted(got),
            (std::vector<std::string>{".g.jpg", ".hidden/f.jpg", "2019/c.jpg", "2019/deep/d.jpg",
                                      "a.jpg", "album.jpg/e.jpg", "b.PNG", "notes.txt"}));
  // Depth first: everything under 2019 comes in one block, before the next top-level entry.
  std::vector<size_t> in2019;
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i].find("/2019/") != std::string::npos) in2019.push_back(i);
  ASSERT_EQ(in2019.size(), 2u);
  EXPECT_EQ(in2019[1], in2019[0] + 1);
  // Every matching entry, files and folders alike, lets the window breathe.
  EXPECT_EQ(m_pumps, 12);
}

TEST_F(AddFolderTest, WithoutSubfoldersFoldersAreNeitherEnteredNorListed) {
  makeTree();
  EXPECT_EQ(relSorted(scan(false, "*")),
            (std::vector<std::string>{".g.jpg", "a.jpg", "b.PNG", "notes.txt"}));
  EXPECT_EQ(relSorted(scan(false, "jpg")), (std::vector<std::string>{".g.jpg", "a.jpg"}));
}

TEST_F(AddFolderTest, TheExtensionNarrowsTheFoldersEnteredToo) {
  makeTree();
  // "2019" does not match *.jpg and is passed over; "album.jpg" matches and is entered.
  EXPECT_EQ(relSorted(scan(true, "jpg")),
            (std::vector<std::string>{".g.jpg", "a.jpg", "album.jpg/e.jpg"}));
  EXPECT_EQ(relSorted(scan(true, "PNG")), (std::vector<std::string>{"b.PNG"}));
}

TEST_F(AddFolderTest, EmptyExtensionMeansAnyAndPaddingIsNotTrimmedHere) {
  makeTree();
  EXPECT_EQ(relSorted(scan(true, "")), relSorted(scan(true, "*")));
  // The dialog trims the box; the scan itself takes the extension as given.
  EXPECT_TRUE(scan(true, " jpg ").empty());
  EXPECT_EQ(relSorted(scan(true, TrimExtension(" jpg "))), relSorted(scan(true, "jpg")));
}

TEST_F(AddFolderTest, HiddenAndReadOnlySubfoldersAreEntered) {
  touch(".secret/a.jpg");
  touch("locked/b.jpg");
  ASSERT_EQ(::chmod((m_root / "locked").c_str(), 0555), 0);
  EXPECT_EQ(relSorted(scan(true, "*")),
            (std::vector<std::string>{".secret/a.jpg", "locked/b.jpg"}));
}

TEST_F(AddFolderTest, AFolderThatCannotBeReadAddsNothing) {
  EXPECT_TRUE(scan(true, "*", (m_root / "missing").string()).empty());
  touch("file.jpg");
  EXPECT_TRUE(scan(true, "*", (m_root / "file.jpg").string()).empty());
  EXPECT_EQ(m_pumps, 0);
}

TEST_F(AddFolderTest, PathsAreJoinedWithOneSeparator) {
  touch("sub/a.jpg");
  const std::vector<std::string> got = scan(true, "*", m_root.string() + "/");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (m_root / "sub" / "a.jpg").string());
}

TEST_F(AddFolderTest, LinkedFoldersAreFollowedButALoopIsWalkedOnce) {
  touch("sub/a.jpg");
  touch("other/b.jpg");
  fs::create_directory_symlink(m_root, m_root / "sub" / "up");
  fs::create_directory_symlink(m_root / "other", m_root / "sub" / "side");
  EXPECT_EQ(relSorted(scan(true, "*")),
            (std::vector<std::string>{"other/b.jpg", "sub/a.jpg", "sub/side/b.jpg"}));
}

}  // namespace
}  // namespace lumaprep
