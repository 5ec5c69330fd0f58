// Where the settings file lies and how the drive in its warning is named,
// worked out from the program's full path as the system reports it.
#pragma once

#include <string>

namespace zefa {

extern const wchar_t SettingsFileName[];  // "ZEFA_ID.ini"
extern const char SettingsSection[];      // "ZEFA_ID"
extern const char SettingsPortKey[];      // "CommPort"

// The path cut after its last "\" or ":"; empty when it has neither.
std::wstring ProgramFolder(const std::wstring& programPath);

// The program's folder followed by "ZEFA_ID.ini".
std::wstring SettingsFilePath(const std::wstring& programPath);

// "C:" for a path on drive C:, "\\server\share" for a network path (the
// whole path when it ends before or within the share name), otherwise
// empty. A "\\?\" prefix is looked through: "\\?\C:\x" is on C:,
// "\\?\UNC\server\share\x" on \\server\share.
std::wstring SettingsDrive(const std::wstring& programPath);

// "ドライブC:には、iniファイルを保存できません" for the drive "C:" (UTF-8).
std::string DriveWarningText(const std::string& drive);

// The path in the "\\?\" form when it is too long for the ordinary file
// functions (MAX_PATH); otherwise, or when it is not an absolute drive or
// network path, unchanged.
std::wstring ExtendedLengthPath(const std::wstring& path);

}  // namespace zefa
