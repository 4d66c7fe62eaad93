#include "settings/common.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "settings/inifile.h"
#include "settings/links.h"
#include "settings/skins.h"

namespace lumaprep {

TfrmCommon* frmCommon = nullptr;

namespace {

constexpr const char* kSectionCommon = "common";
constexpr const char* kKeyLanguage = "language";
constexpr const char* kSectionSkin = "skin";
constexpr const char* kKeySkin = "skin";
constexpr const char* kSectionSetting = "setting";
constexpr const char* kKeyOutputFolder = "outputFolder";

std::string withTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string TfrmCommon::ExecutableFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) {
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    return withTrailingSlash(ec ? std::string("/") : cwd.string());
  }
  return withTrailingSlash(exe.parent_path().string());
}

std::string TfrmCommon::HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->pw_dir && *result->pw_dir)
    return result->pw_dir;
  return "/";
}

TfrmCommon::TfrmCommon() : TfrmCommon(ExecutableFolder()) {}

TfrmCommon::TfrmCommon(const std::string& appPath) {
  m_appPath = withTrailingSlash(appPath);
  m_configFileName = m_appPath + "config.ini";
  m_languageId = TIniFile(m_configFileName).ReadInteger(kSectionCommon, kKeyLanguage, 2);

  const bool chinese = IsChinese();
  m_languageFileName = m_appPath + (chinese ? "language/gb.ini" : "language/en.ini");
  m_helpFileName = m_appPath + (chinese ? "help/Lumaprep_gb.html" : "help/Lumaprep.html");
  m_splashFileName = m_appPath + (chinese ? "splash-gb.bmp" : "splash-en.bmp");
  TLinkLocations links = LinkLocations(m_languageId);
  m_homePageURL = links.HomePageURL;
  m_supportMailURL = links.SupportMailURL;
  m_feedbackURL = links.FeedbackURL;
}

bool TfrmCommon::IsChinese() const { return IsChineseLanguage(m_languageId); }

std::string TfrmCommon::ProductURL(int number) const {
  return lumaprep::ProductURL(m_languageId, number);
}

std::string TfrmCommon::SkinFilePath(int number) const {
  return lumaprep::SkinFilePath(m_appPath, number);
}

std::string TfrmCommon::UpdaterFileName() const { return m_appPath + "update"; }

int TfrmCommon::ReadSkinSetting() const {
  return TIniFile(m_configFileName).ReadInteger(kSectionSkin, kKeySkin, kDefaultSkin);
}

void TfrmCommon::WriteSkinSetting(int number) const {
  TIniFile(m_configFileName).WriteInteger(kSectionSkin, kKeySkin, number);
}

std::string TfrmCommon::LoadOutputFolder() const {
  std::string folder = TIniFile(m_configFileName).ReadString(kSectionSetting, kKeyOutputFolder, "");
  return folder.empty() ? HomeFolder() : folder;
}

void TfrmCommon::SaveOutputFolder(const std::string& folder) const {
  TIniFile(m_configFileName).WriteString(kSectionSetting, kKeyOutputFolder, folder);
}

}  // namespace lumaprep
