#include "cli/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/job/convert.h"
#include "clitest.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"
#include "testdata.h"

namespace lumaprep::cli {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

RunResult runCli(const std::vector<std::string>& args, const std::string& input = "",
                 bool canAsk = false) {
  std::istringstream in(input);
  std::ostringstream out, err;
  TConsole console;
  console.in = &in;
  console.out = &out;
  console.err = &err;
  console.canAsk = canAsk;
  RunResult r;
  r.status = CliMain(args, console);
  r.out = out.str();
  r.err = err.str();
  return r;
}

std::string sample(const std::string& rel) { return (test::TestDataDir() / rel).string(); }

int count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

// Photos of several kinds; the JPEG ones are what the job mostly sees.
// (tbrn2c08.png carries a background colour; basn2c08.png, after it, does not.)
const std::vector<std::string> kSamples = {
    "jpeg/cat.jpg",         "jpeg/flower.jpg",      "jpeg/iptc.jpg",
    "jpeg/hopper_gray.jpg", "jpeg/cmyk-sample.jpg", "jpeg/no-jfif-ycbcr.jpg",
    "png/tbrn2c08.png",     "png/basn2c08.png",     "bmp/pal1.bmp",
};

// --jobs 1, --jobs 2 and the window's job (ConvertFile on a TBitmap-stored preview buffer, file
// after file) write the same bytes.
TEST(RunConversion, ParallelSequentialAndWindowJobWriteIdenticalFiles) {
  LUMAPREP_REQUIRE_TESTDATA();
  TempDir dir;
  std::vector<std::string> sources;
  for (const std::string& s : kSamples) sources.push_back(sample(s));

  struct Setting {
    const char* width;
    const char* height;
    int w, h;
  };
  for (const Setting& s : {Setting{"100", "auto", 100, -1}, Setting{"auto", "50", -1, 50}}) {
    SCOPED_TRACE(std::string(s.width) + "x" + s.height);
    fs::remove_all(dir.path());
    for (const char* f : {"j1", "j2", "window"}) fs::create_directories(dir / f);
    for (const char* jobs : {"1", "2"}) {
      std::vector<std::string> args = {
          "--width", s.width,  "--height", s.height, "-q",
          "75",      "--jobs", jobs,       "-o",     dir / ("j" + std::string(jobs))};
      args.insert(args.end(), sources.begin(), sources.end());
      RunResult r = runCli(args);
      EXPECT_EQ(r.status, kExitOk) << r.err;
      EXPECT_NE(r.err.find("converted 9, skipped 0, failed 0"), std::string::npos) << r.err;
    }

    TImageBitmap preview;
    preview.SetLocation(imTBitmap);
    TImageIO io(&preview);
    TImageProc proc(&preview);
    for (const std::string& source : sources)
      ConvertFile(io, proc, source, dir / ("window/" + fs::path(source).filename().string()), 75,
                  s.w, s.h, {});

    for (const std::string& source : sources) {
      std::string name = fs::path(source).filename().string();
      SCOPED_TRACE(name);
      std::string one = ReadFile(dir / ("j1/" + name));
      EXPECT_FALSE(one.empty());
      EXPECT_EQ(one, ReadFile(dir / ("j2/" + name)));
      EXPECT_EQ(one, ReadFile(dir / ("window/" + name)));
    }
  }
}

// Same-named inputs in parallel: the name decisions follow list order, so the first input gets
// the plain name and, with overwrite, the last input's image is what remains.
TEST(RunConversion, SameNamedInputsBehaveAsInTheWindow) {
  LUMAPREP_REQUIRE_TESTDATA();
  TempDir dir;
  WriteFile(dir / "a/p.jpg", ReadFile(sample("jpeg/cat.jpg")));
  WriteFile(dir / "b/p.jpg", ReadFile(sample("jpeg/flower.jpg")));
  WriteFile(dir / "c/p.jpg", ReadFile(sample("jpeg/iptc.jpg")));
  for (const char* f : {"auto", "over", "cat", "iptc"}) fs::create_directories(dir / f);
  ASSERT_EQ(runCli({"--width", "64", "-o", dir / "cat", dir / "a/p.jpg"}).status, kExitOk);
  ASSERT_EQ(runCli({"--width", "64", "-o", dir / "iptc", dir / "c/p.jpg"}).status, kExitOk);

  RunResult r = runCli({"--width", "64", "--jobs", "3", "--on-clash", "autoname", "-o",
                        dir / "auto", dir / "a/p.jpg", dir / "b/p.jpg", dir / "c/p.jpg"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(dir / "auto/p.jpg"), ReadFile(dir / "cat/p.jpg"));
  EXPECT_TRUE(fs::exists(dir / "auto/p(1).jpg"));
  EXPECT_EQ(ReadFile(dir / "auto/p(1)(1).jpg"), ReadFile(dir / "iptc/p.jpg"));

  r = runCli({"--width", "64", "--jobs", "3", "--on-clash", "overwrite", "-o", dir / "over",
              dir / "a/p.jpg", dir / "b/p.jpg", dir / "c/p.jpg"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(ReadFile(dir / "over/p.jpg"), ReadFile(dir / "iptc/p.jpg"));
}

TEST(RunConversion, ClashBehaviourForEachChoice) {
  LUMAPREP_REQUIRE_TESTDATA();
  const std::string kOld = "old contents";
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string answers;  // typed on the terminal
    bool terminal;
    // Expected for out/cat.jpg and out/flower.jpg (both exist before): "old", "new", or the
    // name of the auto-named file that receives the new image.
    const char* cat;
    const char* flower;
    int prompts;
    const char* message;  // a part of standard error, "" for none
  };
  const Case cases[] = {
      {"overwrite", {"--on-clash", "overwrite"}, "", false, "new", "new", 0, ""},
      {"skip", {"--on-clash", "skip"}, "", false, "old", "old", 0, "skipped"},
      {"autoname", {"--on-clash", "autoname"}, "", false, "cat(1).jpg", "flower(1).jpg", 0, ""},
      {"no terminal, no choice", {}, "", false, "old", "old", 0, "--on-clash"},
      {"ask without a terminal",
       {"--on-clash", "ask"},
       "o\n",
       false,
       "old",
       "old",
       0,
       "not a terminal"},
      {"ask: overwrite, then skip", {"--on-clash", "ask"}, "o\ns\n", true, "new", "old", 2, ""},
      {"ask: Enter is auto-name", {}, "\n\n", true, "cat(1).jpg", "flower(1).jpg", 2, ""},
      {"ask: bad answer asks again", {}, "x\nO\ns\n", true, "new", "old", 3, ""},
      {"ask --all: one answer for all",
       {"--on-clash", "ask", "--all"},
       "o\n",
       true,
       "new",
       "new",
       1,
       ""},
      {"ask: end of input skips", {}, "", true, "old", "old", 2, "skipped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "out/cat.jpg", kOld);
    WriteFile(dir / "out/flower.jpg", kOld);
    std::vector<std::string> args = c.options;
    for (std::string a : {"--width", "40", "--jobs", "2", "-o"}) args.push_back(a);
    args.push_back(dir / "out");
    args.push_back(sample("jpeg/cat.jpg"));
    args.push_back(sample("jpeg/flower.jpg"));
    RunResult r = runCli(args, c.answers, c.terminal);
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(count(r.err, "exists. [o]verwrite"), c.prompts) << r.err;
    if (*c.message) {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    for (auto [name, expect] : {std::pair{"cat.jpg", c.cat}, std::pair{"flower.jpg", c.flower}}) {
      SCOPED_TRACE(name);
      std::string now = ReadFile(dir / ("out/" + std::string(name)));
      std::string e = expect;
      if (e == "old") {
        EXPECT_EQ(now, kOld);
      } else if (e == "new") {
        EXPECT_NE(now, kOld);
        EXPECT_GT(now.size(), 100u);
      } else {
        EXPECT_EQ(now, kOld);
        EXPECT_GT(ReadFile(dir / ("out/" + e)).size(), 100u);
      }
    }
  }
}

TEST(RunConversion, CorruptAndMissingInputsFailWithoutStoppingTheRun) {
  LUMAPREP_REQUIRE_TESTDATA();
  TempDir dir;
  WriteFile(dir / "in/broken.jpg", "\xFF\xD8\xFF\xE0 not really a photo");
  WriteFile(dir / "in/notes.txt", "text");
  fs::create_directories(dir / "out");
  RunResult r = runCli({"--width", "50", "--jobs", "2", "-o", dir / "out", sample("jpeg/cat.jpg"),
                        dir / "in/broken.jpg", dir / "in/gone.jpg", dir / "in/notes.txt",
                        sample("jpeg/flower.jpg")});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_NE(r.err.find("converted 2, skipped 1, failed 2 in "), std::string::npos) << r.err;
  // One line per problem, each naming the file.
  for (const char* name : {"broken.jpg", "gone.jpg", "notes.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(count(r.err, name), 1) << r.err;
  }
  EXPECT_TRUE(fs::exists(dir / "out/cat.jpg"));
  EXPECT_TRUE(fs::exists(dir / "out/flower.jpg"));
  EXPECT_FALSE(fs::exists(dir / "out/broken.jpg"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 2);
}

TEST(RunConversion, FoldersDryRunAndUsage) {
  LUMAPREP_REQUIRE_TESTDATA();
  TempDir dir;
  WriteFile(dir / "in/x.jpg", ReadFile(sample("jpeg/cat.jpg")));
  WriteFile(dir / "in/sub/y.JPG", ReadFile(sample("jpeg/flower.jpg")));
  WriteFile(dir / "in/sub/z.png", ReadFile(sample("png/basn2c08.png")));
  WriteFile(dir / "out/x.jpg", "old");

  RunResult r = runCli(
      {"--dry-run", "-r", "--ext", "jpg", "--on-clash", "autoname", "-o", dir / "out", dir / "in"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.out, dir / "in/sub/y.JPG" + " -> " + dir / "out/y.JPG" + "\n" + dir / "in/x.jpg" +
                       " -> " + dir / "out/x(1).jpg" + "\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
  // Without a terminal and without --on-clash the real run would skip; the dry run says so.
  r = runCli({"--dry-run", "-o", dir / "out", dir / "in/x.jpg"});
  EXPECT_EQ(r.out, dir / "in/x.jpg" + " -> skipped, " + dir / "out/x.jpg" + " exists\n");
  r = runCli({"--dry-run", "-o", dir / "out", dir / "in/x.jpg"}, "", true);
  EXPECT_EQ(r.out, dir / "in/x.jpg" + " -> " + dir / "out/x.jpg" + " (exists: would ask)\n");

  r = runCli({"-r", "-o", dir / "out", "--on-clash", "skip", dir / "in"});
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_NE(r.err.find("converted 2, skipped 1, failed 0"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(dir / "out/z.png"));

  EXPECT_EQ(runCli({"-o", dir / "nowhere", dir / "in"}).status, kExitUsage);
  EXPECT_EQ(runCli({"--quality", "500", "-o", dir / "out", dir / "in"}).status, kExitUsage);
  r = runCli({"--help"});
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_NE(r.out.find("--on-clash"), std::string::npos);
  EXPECT_EQ(runCli({"--version"}).out.rfind("lumaprep-cli ", 0), 0u);
}

}  // namespace
}  // namespace lumaprep::cli
