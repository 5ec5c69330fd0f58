#include "settings_path.h"

#include <gtest/gtest.h>

namespace zefa {
namespace {

TEST(SettingsPath, FileLiesInTheProgramsFolder) {
  const struct {
    std::wstring program;
    std::wstring folder;
    std::wstring file;
  } cases[] = {
      {L"C:\\Tools\\ZEFA1ID.exe", L"C:\\Tools\\", L"C:\\Tools\\ZEFA_ID.ini"},
      {L"C:\\ZEFA1ID.exe", L"C:\\", L"C:\\ZEFA_ID.ini"},
      {L"C:ZEFA1ID.exe", L"C:", L"C:ZEFA_ID.ini"},
      {L"C:\\ツール\\書込\\ZEFA1ID.exe", L"C:\\ツール\\書込\\", L"C:\\ツール\\書込\\ZEFA_ID.ini"},
      {L"\\\\server\\share\\ZEFA1ID.exe", L"\\\\server\\share\\", L"\\\\server\\share\\ZEFA_ID.ini"},
      {L"\\\\?\\C:\\Tools\\ZEFA1ID.exe", L"\\\\?\\C:\\Tools\\", L"\\\\?\\C:\\Tools\\ZEFA_ID.ini"},
      {L"ZEFA1ID.exe", L"", L"ZEFA_ID.ini"},
      {L"", L"", L"ZEFA_ID.ini"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgramFolder(c.program), c.folder);
    EXPECT_EQ(SettingsFilePath(c.program), c.file);
  }
}

TEST(SettingsPath, DriveOfTheProgramPath) {
  const struct {
    std::wstring program;
    std::wstring drive;
  } cases[] = {
      {L"C:\\Tools\\ZEFA1ID.exe", L"C:"},
      {L"z:\\ZEFA1ID.exe", L"z:"},
      {L"C:", L"C:"},
      {L"\\\\server\\share\\dir\\ZEFA1ID.exe", L"\\\\server\\share"},
      {L"\\\\server\\share\\", L"\\\\server\\share"},
      {L"\\\\server\\share", L"\\\\server\\share"},
      {L"\\\\server\\", L"\\\\server\\"},
      {L"\\\\server", L"\\\\server"},
      {L"\\\\", L"\\\\"},
      {L"\\\\?\\C:\\Tools\\ZEFA1ID.exe", L"C:"},
      {L"\\\\?\\UNC\\server\\share\\ZEFA1ID.exe", L"\\\\server\\share"},
      {L"\\\\?\\unc\\server\\share\\ZEFA1ID.exe", L"\\\\server\\share"},
      {L"\\Tools\\ZEFA1ID.exe", L""},
      {L"Tools\\ZEFA1ID.exe", L""},
      {L"C", L""},
      {L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SettingsDrive(c.program), c.drive);
  }
}

TEST(SettingsPath, WarningNamesTheDrive) {
  EXPECT_EQ(DriveWarningText("C:"), "ドライブC:には、iniファイルを保存できません");
  EXPECT_EQ(DriveWarningText("\\\\server\\share"), "ドライブ\\\\server\\shareには、iniファイルを保存できません");
  EXPECT_EQ(DriveWarningText(""), "ドライブには、iniファイルを保存できません");
}

TEST(SettingsPath, LongPathsTakeTheVerbatimForm) {
  const std::wstring deep(300, L'a');
  const struct {
    std::wstring path;
    std::wstring used;
  } cases[] = {
      {L"C:\\Tools\\ZEFA_ID.ini", L"C:\\Tools\\ZEFA_ID.ini"},
      {L"C:\\" + deep, L"\\\\?\\C:\\" + deep},
      {L"\\\\server\\share\\" + deep, L"\\\\?\\UNC\\server\\share\\" + deep},
      {L"\\\\?\\C:\\" + deep, L"\\\\?\\C:\\" + deep},
      {deep, deep},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtendedLengthPath(c.path), c.used) << c.path.size();
  }
}

}  // namespace
}  // namespace zefa
