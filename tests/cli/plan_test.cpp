#include "cli/plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clitest.h"

namespace lumaprep::cli {
namespace {

using test::TempDir;
using test::WriteFile;

TExistsFunction onDisk() {
  return [](const std::string& p) { return TargetFileExists(p); };
}

// With only real files in play, the planner's rules are the window's CheckTargetFile.
TEST(CheckTargetFileWith, AgreesWithTheWindowsRulesOnRealFiles) {
  TempDir dir;
  WriteFile(dir / "a.jpg", "x");
  WriteFile(dir / "a(1).jpg", "x");
  WriteFile(dir / "README", "x");
  std::filesystem::create_directories(dir / "folder.jpg");
  struct Case {
    const char* name;
    TOverWriteChoice remembered;
    TOverWriteChoice answer;
  };
  const Case cases[] = {
      {"a.jpg", owIgnore, owIgnore},
      {"a.jpg", owIgnore, owOverWrite},
      {"a.jpg", owIgnore, owAutoName},
      {"a.jpg", owIgnore, owAutoNameAll},
      {"a.jpg", owIgnoreAll, owOverWrite},
      {"a.jpg", owOverWriteAll, owIgnore},
      {"a.jpg", owAutoNameAll, owIgnore},
      {"README", owIgnore, owAutoName},
      {"free.jpg", owIgnore, owIgnore},
      {"folder.jpg", owIgnore, owIgnore},
      {"a.jpg", TOverWriteChoice(1), owIgnore},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " remembered " + std::to_string(c.remembered) + " answer " +
                 std::to_string(c.answer));
    int asked[2] = {0, 0};
    TOverWriteChoice mine = c.remembered, theirs = c.remembered;
    std::string a = CheckTargetFileWith(
        dir / c.name, mine,
        [&](const std::string&) {
          ++asked[0];
          return c.answer;
        },
        onDisk());
    std::string b = CheckTargetFile(dir / c.name, theirs, [&](const std::string&) {
      ++asked[1];
      return c.answer;
    });
    EXPECT_EQ(a, b);
    EXPECT_EQ(mine, theirs);
    EXPECT_EQ(asked[0], asked[1]);
  }
  EXPECT_EQ(MakeAutoNameWith(dir / "a.jpg", onDisk()), dir / "a(1)(1).jpg");
  EXPECT_EQ(MakeAutoNameWith(dir / "README", onDisk()), dir / "README(1)");
}

// Two inputs named alike: the second meets the first one's output, as in the window's job,
// even though nothing has been written yet.
TEST(PlanTargets, LaterInputsMeetEarlierOutputs) {
  TempDir dir;
  std::filesystem::create_directories(dir / "out");
  const std::vector<std::string> sources = {dir / "x/a.jpg", dir / "y/a.jpg", dir / "z/a.jpg",
                                            dir / "x/b.jpg"};
  struct Case {
    const char* name;
    TOverWriteChoice remembered;
    std::vector<std::string> targets;  // relative to out/, "" skipped
    std::vector<int> after;
  };
  const Case cases[] = {
      {"skip", owIgnoreAll, {"a.jpg", "", "", "b.jpg"}, {-1, -1, -1, -1}},
      {"overwrite", owOverWriteAll, {"a.jpg", "a.jpg", "a.jpg", "b.jpg"}, {-1, 0, 1, -1}},
      {"autoname", owAutoNameAll, {"a.jpg", "a(1).jpg", "a(1)(1).jpg", "b.jpg"}, {-1, -1, -1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TOverWriteChoice choice = c.remembered;
    std::vector<TPlannedFile> plan = PlanTargets(sources, dir / "out", choice, {});
    ASSERT_EQ(plan.size(), sources.size());
    for (size_t i = 0; i < plan.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(plan[i].source, sources[i]);
      EXPECT_EQ(plan[i].target, c.targets[i].empty() ? "" : dir / ("out/" + c.targets[i]));
      EXPECT_EQ(plan[i].clashed, i == 1 || i == 2);
      EXPECT_EQ(plan[i].after, c.after[i]);
    }
  }
}

// The remembered answer works as the window's FOverWriteChoice: asked once per clash unless
// the answer was "for all", and one-time answers are cleared.
TEST(PlanTargets, AsksInListOrderAndRemembersLikeTheWindow) {
  TempDir dir;
  for (const char* n : {"out/1.jpg", "out/2.jpg", "out/3.jpg"}) WriteFile(dir / n, "x");
  const std::vector<std::string> sources = {dir / "in/1.jpg", dir / "in/2.jpg", dir / "in/3.jpg",
                                            dir / "in/4.jpg"};
  std::vector<std::string> asked;
  std::vector<TOverWriteChoice> answers = {owOverWrite, owAutoNameAll};
  TOverWriteChoice choice = owIgnore;
  auto plan = PlanTargets(sources, dir / "out/", choice, [&](const std::string& t) {
    asked.push_back(t);
    return answers[asked.size() - 1];
  });
  EXPECT_EQ(asked, (std::vector<std::string>{dir / "out/1.jpg", dir / "out/2.jpg"}));
  EXPECT_EQ(plan[0].target, dir / "out/1.jpg");
  EXPECT_EQ(plan[1].target, dir / "out/2(1).jpg");
  EXPECT_EQ(plan[2].target, dir / "out/3(1).jpg");
  EXPECT_EQ(plan[3].target, dir / "out/4.jpg");
  EXPECT_EQ(choice, owAutoNameAll);
}

// Output folder = input folder: an entry that overwrites a later entry's source must be
// finished before that source is read, and the other way round.
TEST(PlanTargets, OrdersEntriesThatTouchTheSameFile) {
  TempDir dir;
  WriteFile(dir / "in/a.jpg", "x");
  WriteFile(dir / "b/a.jpg", "x");
  const std::vector<std::string> sources = {dir / "b/a.jpg", dir / "in/a.jpg", dir / "in/c.jpg"};
  TOverWriteChoice choice = owOverWriteAll;
  auto plan = PlanTargets(sources, dir / "in", choice, {});
  EXPECT_EQ(plan[0].target, dir / "in/a.jpg");  // overwrites entry 1's source...
  EXPECT_EQ(plan[1].target, dir / "in/a.jpg");  // ...which then reads the converted file
  EXPECT_EQ(plan[0].after, -1);
  EXPECT_EQ(plan[1].after, 0);
  EXPECT_EQ(plan[2].after, -1);
}

}  // namespace
}  // namespace lumaprep::cli
