#pragma once
// TfrmCommon: the shared services object. Created first at start-up, it works out every file
// location of the program folder and reads the language choice from config.ini; afterwards its
// locations never change. It also reads and writes the other two keys of config.ini.
//
// config.ini ([common] language, [skin] skin, [setting] outputFolder) is read and written through
// a short-lived TIniFile at the moment of each access.
//
// This class is Qt-free: applying a skin and opening links are done by the window, which takes
// the paths and addresses from here.
#include <string>

namespace lumaprep {

class TfrmCommon {
 public:
  // Program folder of the running executable (the folder of /proc/self/exe), ending in "/".
  static std::string ExecutableFolder();
  // The user's home folder ($HOME, else the password database, else "/").
  static std::string HomeFolder();

  // Works out every location for the executable's folder.
  TfrmCommon();
  // The same for a given program folder; a missing trailing "/" is added.
  explicit TfrmCommon(const std::string& appPath);

  const std::string& AppPath() const { return m_appPath; }  // ends in "/"
  const std::string& ConfigFileName() const { return m_configFileName; }
  int LanguageId() const { return m_languageId; }  // 1 = Chinese, anything else English
  bool IsChinese() const;
  const std::string& LanguageFileName() const { return m_languageFileName; }
  const std::string& HelpFileName() const { return m_helpFileName; }  // HTML help
  const std::string& SplashFileName() const { return m_splashFileName; }
  const std::string& HomePageURL() const { return m_homePageURL; }
  const std::string& SupportMailURL() const { return m_supportMailURL; }
  const std::string& FeedbackURL() const { return m_feedbackURL; }

  // Address behind other-products entry 1..11 for the current language.
  std::string ProductURL(int number) const;
  // AppPath + "skins/" + the file of skin number (10 for a number outside 1..18).
  std::string SkinFilePath(int number) const;
  // AppPath + "update": the separate update program.
  std::string UpdaterFileName() const;

  // [skin] skin, default 10.
  int ReadSkinSetting() const;
  void WriteSkinSetting(int number) const;  // throws EIniFileException
  // [setting] outputFolder, default the home folder (also for an empty stored value, which
  // names no folder).
  std::string LoadOutputFolder() const;
  void SaveOutputFolder(const std::string& folder) const;  // throws EIniFileException

 private:
  std::string m_appPath;
  std::string m_configFileName;
  int m_languageId = 2;
  std::string m_languageFileName;
  std::string m_helpFileName;
  std::string m_splashFileName;
  std::string m_homePageURL;
  std::string m_supportMailURL;
  std::string m_feedbackURL;
};

// The single instance, set by the start-up code.
extern TfrmCommon* frmCommon;

}  // namespace lumaprep
