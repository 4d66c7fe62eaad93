#include "app/links.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <QApplication>
#include <QDesktopServices>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <gtest/gtest.h>

#include "app/errorhandler.h"
#include "apptest.h"
#include "settings/common.h"
#include "settings/links.h"

namespace lumaprep {

// Stands in for the browser, the mail program and the file viewer.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  QStringList urls;
 public slots:
  void open(const QUrl& url) { urls << url.toString(); }
};

namespace {

namespace fs = std::filesystem;

class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    for (const char* scheme : {"http", "https", "mailto", "file"})
      QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &m_recorder, "open");
  }
  void TearDown() override {
    for (const char* scheme : {"http", "https", "mailto", "file"})
      QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
  }

  // A program folder whose config.ini holds the given language.
  TfrmCommon commonWithLanguage(int languageId) {
    std::ofstream(m_prog / "config.ini", std::ios::trunc)
        << "[common]\nlanguage=" << languageId << "\n";
    return TfrmCommon(m_prog.string());
  }

  QString last() const { return m_recorder.urls.isEmpty() ? QString() : m_recorder.urls.last(); }

  UrlRecorder m_recorder;
  test::TempFolder m_temp{"links"};
  const fs::path& m_prog = m_temp.path();
};

TEST_F(LinksTest, HelpAndLinksFollowTheLanguage) {
  for (int languageId : {1, 2, 0, 3}) {
    SCOPED_TRACE(languageId);
    const TfrmCommon common = commonWithLanguage(languageId);
    const bool chinese = languageId == 1;
    const TLinkLocations where = LinkLocations(languageId);

    OpenHelp(common);
    EXPECT_EQ(
        last(),
        QUrl::fromLocalFile(
            QString::fromStdString(
                (m_prog / "help" / (chinese ? "Lumaprep_gb.html" : "Lumaprep.html")).string()))
            .toString());
    OpenHomePage(common);
    EXPECT_EQ(last().toStdString(), where.HomePageURL);
    OpenSupportMail(common);
    EXPECT_TRUE(last().startsWith(QStringLiteral("mailto:")));
    EXPECT_EQ(last().toStdString(), where.SupportMailURL);
    OpenFeedbackPage(common);
    EXPECT_EQ(last().toStdString(), where.FeedbackURL);
    for (int product = 1; product <= kProductCount; ++product) {
      OpenProductPage(common, product);
      if (chinese)
        EXPECT_EQ(last().toStdString(), where.HomePageURL);
      else
        EXPECT_EQ(last().toStdString(), ProductURL(languageId, product));
    }
  }
}

TEST_F(LinksTest, AFileNameWithSpacesAndNonAsciiLettersIsOpenedAsAFile) {
  OpenURL("/tmp/照片 help/Lumaprep.html");
  EXPECT_EQ(QUrl(last()).toLocalFile(), QStringLiteral("/tmp/照片 help/Lumaprep.html"));
}

TEST_F(LinksTest, UpdaterThatCannotStartIsReportedAndTheWindowStays) {
  const TfrmCommon common = commonWithLanguage(2);
  QWidget window;
  window.show();
  QString message;
  const ErrorReporter old = SetErrorReporter([&](const QString& m) { message = m; });
  EXPECT_FALSE(RunUpdater(common, &window));
  SetErrorReporter(old);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(message.contains(QString::fromStdString(common.UpdaterFileName())))
      << message.toStdString();
}

TEST_F(LinksTest, UpdaterStartsFromTheProgramFolderWhateverTheWorkingFolderAndClosesTheWindow) {
  const TfrmCommon common = commonWithLanguage(2);
  const fs::path marker = m_prog / "updater-ran";
  {
    std::ofstream script(m_prog / "update");
    script << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
  }
  ::chmod((m_prog / "update").c_str(), 0755);
  const fs::path cwd = fs::current_path();
  fs::current_path("/");
  QWidget window;
  window.show();
  const bool started = RunUpdater(common, &window);
  fs::current_path(cwd);
  EXPECT_TRUE(started);
  EXPECT_FALSE(window.isVisible());
  for (int i = 0; i < 200 && !fs::exists(marker); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  EXPECT_TRUE(fs::exists(marker));
}

}  // namespace
}  // namespace lumaprep

namespace lumaprep {
namespace {

// The manuals are installed into the program folder under the names TfrmCommon gives them,
// and cover the program's parts in both languages.
TEST(HelpFiles, BothManualsAreInstalledAndComplete) {
  const fs::path bin = fs::path(LUMAPREP_BINARY_DIR) / "bin";
  const TfrmCommon english(bin.string());
  EXPECT_EQ(english.HelpFileName(), (bin / "help" / "Lumaprep.html").string());
  for (const char* name : {"Lumaprep.html", "Lumaprep_gb.html"}) {
    SCOPED_TRACE(name);
    std::ifstream in(bin / "help" / name);
    ASSERT_TRUE(in) << "not installed";
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* anchor :
         {"id=\"adding\"", "id=\"size\"", "id=\"quality\"", "id=\"output\"", "id=\"clashes\"",
          "id=\"formats\"", "id=\"skins\"", "id=\"language\""})
      EXPECT_NE(text.find(anchor), std::string::npos) << anchor;
  }
}

}  // namespace
}  // namespace lumaprep

#include "links_test.moc"
