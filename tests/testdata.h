#pragma once
// Where the shared sample files live: ../shared/testdata beside the repository.
// Tests that need them call LUMAPREP_REQUIRE_TESTDATA() and skip when the folder is absent.
#include <filesystem>

#include <gtest/gtest.h>

namespace lumaprep::test {

inline std::filesystem::path TestDataDir() {
  return std::filesystem::path(LUMAPREP_SOURCE_DIR).parent_path() / "shared" / "testdata";
}

inline bool HaveTestData() { return std::filesystem::is_directory(TestDataDir()); }

}  // namespace lumaprep::test

#define LUMAPREP_REQUIRE_TESTDATA()                                          \
  do {                                                                       \
    if (!::lumaprep::test::HaveTestData())                                   \
      GTEST_SKIP() << "no sample files at " << ::lumaprep::test::TestDataDir(); \
  } while (0)
