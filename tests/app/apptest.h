// What the tests of the windows share: the application object, a scratch folder, recording
// the error reporter's messages, and reading and writing whole files.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>

#include <QApplication>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

#include "app/errorhandler.h"

namespace lumaprep::test {

// Creates the TApplication the first time a test needs one.
inline void EnsureApp() {
  static int argc = 1;
  static char name[] = "test_app";
  static char* argv[] = {name, nullptr};
  if (!QApplication::instance()) new TApplication(argc, argv);
}

// An empty folder lumaprep-<name>-<process id> below the temporary folder (what an earlier run
// left there is removed first), removed again with the object.
class TempFolder {
 public:
  explicit TempFolder(const std::string& name)
      : m_path(std::filesystem::temp_directory_path() /
               ("lumaprep-" + name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
    if (error) ADD_FAILURE() << "cannot remove " << m_path << ": " << error.message();
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

// Collects the messages given to the error reporter while it lives, instead of showing them,
// and then puts the earlier reporter back.
class ErrorRecorder {
 public:
  ErrorRecorder() : m_old(SetErrorReporter([this](const QString& m) { messages << m; })) {}
  ~ErrorRecorder() { SetErrorReporter(m_old); }
  ErrorRecorder(const ErrorRecorder&) = delete;
  ErrorRecorder& operator=(const ErrorRecorder&) = delete;

  QStringList messages;

 private:
  ErrorReporter m_old;
};

// The messages the error reporter is given while action runs.
inline QStringList ErrorsOf(const std::function<void()>& action) {
  ErrorRecorder recorder;
  action();
  return recorder.messages;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes text as the whole file, creating its folder first.
inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace lumaprep::test
