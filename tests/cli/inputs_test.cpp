#include "cli/inputs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clitest.h"

namespace lumaprep::cli {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(IsAdmitted, IsTheWindowsSubstringTest) {
  struct Case {
    const char* path;
    bool admitted;
  };
  const Case cases[] = {
      {"photo.jpg", true},  {"photo.JPG", true}, {"a/photo.jpeg", true},   {"photo.jp", true},
      {"photo.tga", true},  {"photo.p", true},   {"photo.tiff", false},    {"photo.j2c", false},
      {"notes.txt", false}, {"README", false},   {"my.dir/README", false}, {"a.b/c.png", true},
      {"photo.", true},  // "." occurs in the list: the window admits it and the load fails
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsAdmitted(c.path), c.admitted);
  }
}

TEST(CollectInputs, FilesFoldersAndTheirOrder) {
  TempDir dir;
  for (const char* n : {"d/b.jpg", "d/a.JPG", "d/c.png", "d/notes.txt", "d/2019/e.jpg",
                        "d/2019/deeper/f.jpg", "d/x.jpg/g.jpg", "loose.bmp", "loose.txt"})
    WriteFile(dir / n, "x");

  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    bool recursive;
    const char* ext;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"folder, every admitted file, sorted", {"d"}, false, "*", {"d/a.JPG", "d/b.jpg", "d/c.png"}},
      {"extension narrows files only", {"d"}, false, "jpg", {"d/a.JPG", "d/b.jpg"}},
      // Unlike the window's scan, the extension does not decide which subfolders are entered.
      {"recursive",
       {"d"},
       true,
       "jpg",
       {"d/2019/deeper/f.jpg", "d/2019/e.jpg", "d/a.JPG", "d/b.jpg", "d/x.jpg/g.jpg"}},
      {"named files in the order given",
       {"loose.bmp", "d/c.png", "loose.bmp"},
       false,
       "jpg",
       {"loose.bmp", "d/c.png", "loose.bmp"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> inputs;
    for (const std::string& i : c.inputs) inputs.push_back(dir / i);
    TInputList list = CollectInputs(inputs, c.recursive, c.ext);
    std::vector<std::string> expected;
    for (const std::string& f : c.files) expected.push_back(dir / f);
    EXPECT_EQ(list.files, expected);
    EXPECT_TRUE(list.refused.empty());
    EXPECT_TRUE(list.missing.empty());
  }

  TInputList list = CollectInputs({dir / "loose.txt", dir / "nothing.jpg"}, false, "*");
  EXPECT_TRUE(list.files.empty());
  EXPECT_EQ(list.refused, std::vector<std::string>{dir / "loose.txt"});
  EXPECT_EQ(list.missing, std::vector<std::string>{dir / "nothing.jpg"});
}

TEST(CollectInputs, SurvivesALinkLoop) {
  TempDir dir;
  WriteFile(dir / "d/a.jpg", "x");
  std::filesystem::create_directory_symlink(dir.path() / "d", dir.path() / "d/loop");
  TInputList list = CollectInputs({dir / "d"}, true, "*");
  EXPECT_EQ(list.files, std::vector<std::string>{dir / "d/a.jpg"});
}

}  // namespace
}  // namespace lumaprep::cli
