#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumaprep::cli {
namespace {

TEST(ParseArguments, DefaultsAreTheWindowsStartValues) {
  TParseResult r = ParseArguments({"-o", "out", "a.jpg"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.width, 1024);
  EXPECT_EQ(r.options.height, -1);
  EXPECT_EQ(r.options.quality, 80);
  EXPECT_EQ(r.options.onClash, TClashPolicy::kUnset);
  EXPECT_EQ(r.options.ext, "*");
  EXPECT_GE(r.options.jobs, 1);  // one per core
  EXPECT_FALSE(r.options.fast);
  EXPECT_FALSE(r.options.dryRun);
  EXPECT_EQ(r.options.inputs, std::vector<std::string>{"a.jpg"});
}

TEST(ParseArguments, AcceptsEveryOptionInBothSpellings) {
  TParseResult r =
      ParseArguments({"--width=800", "--height", "600", "--quality", "0", "--output=/tmp/o",
                      "--recursive", "--ext", " .JPG ", "--on-clash", "ask", "--all", "--jobs=3",
                      "--fast", "--dry-run", "dir", "--", "-odd.jpg"});
  ASSERT_TRUE(r.ok) << r.error;
  const TCliOptions& o = r.options;
  EXPECT_EQ(o.width, 800);
  EXPECT_EQ(o.height, 600);
  EXPECT_EQ(o.quality, 0);
  EXPECT_EQ(o.outputDir, "/tmp/o");
  EXPECT_TRUE(o.recursive);
  EXPECT_EQ(o.ext, "JPG");  // trimmed, dot dropped; matching ignores case
  EXPECT_EQ(o.onClash, TClashPolicy::kAsk);
  EXPECT_TRUE(o.all);
  EXPECT_EQ(o.jobs, 3);
  EXPECT_TRUE(o.fast);
  EXPECT_TRUE(o.dryRun);
  EXPECT_EQ(o.inputs, (std::vector<std::string>{"dir", "-odd.jpg"}));
}

TEST(ParseArguments, SizeValues) {
  struct Case {
    const char* text;
    bool ok;
    int value;
  };
  const Case cases[] = {
      {"auto", true, -1},   {"0", true, 0},      {"1024", true, 1024}, {"0800", true, 800},
      {"9999", true, 9999}, {"10000", false, 0}, {"-1", false, 0},     {"+5", false, 0},
      {"12 3", false, 0},   {"", false, 0},      {"AUTO", false, 0},   {"1e3", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TParseResult r = ParseArguments({"--width", c.text, "--height", c.text, "-o", "o", "x.jpg"});
    EXPECT_EQ(r.ok, c.ok) << r.error;
    if (c.ok) {
      EXPECT_EQ(r.options.width, c.value);
      EXPECT_EQ(r.options.height, c.value);
    }
  }
}

TEST(ParseArguments, ErrorsNameTheProblem) {
  struct Case {
    std::vector<std::string> args;
    const char* expected;  // a part of the error text
  };
  const Case cases[] = {
      {{"a.jpg"}, "--output"},
      {{"-o", "out"}, "no input"},
      {{"-o", "out", "a.jpg", "--quality", "101"}, "--quality"},
      {{"-o", "out", "a.jpg", "--quality", "x"}, "--quality"},
      {{"-o", "out", "a.jpg", "--quality"}, "needs a value"},
      {{"-o", "out", "a.jpg", "--on-clash", "rename"}, "--on-clash"},
      {{"-o", "out", "a.jpg", "--jobs", "0"}, "--jobs"},
      {{"-o", "out", "a.jpg", "--bogus"}, "unknown option --bogus"},
      {{"-o", "out", "a.jpg", "--fast=yes"}, "takes no value"},
      {{"-o", "out", "a.jpg", "--all", "--on-clash", "skip"}, "--all"},
      {{"-o", "", "a.jpg"}, "-o needs a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    TParseResult r = ParseArguments(c.args);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
}

TEST(ParseArguments, HelpAndVersionNeedNothingElse) {
  EXPECT_TRUE(ParseArguments({"--help"}).options.help);
  EXPECT_TRUE(ParseArguments({"-h"}).ok);
  EXPECT_TRUE(ParseArguments({"--version"}).options.version);
}

}  // namespace
}  // namespace lumaprep::cli
