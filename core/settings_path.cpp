#include "settings_path.h"

namespace zefa {

const wchar_t SettingsFileName[] = L"ZEFA_ID.ini";
const char SettingsSection[] = "ZEFA_ID";
const char SettingsPortKey[] = "CommPort";

namespace {

const std::wstring VerbatimPrefix = L"\\\\?\\";
const std::wstring VerbatimUncPrefix = L"\\\\?\\UNC\\";

// Paths from this length on need the "\\?\" form (MAX_PATH counts the NUL).
constexpr size_t LongPathLength = 260;

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    wchar_t a = text[i];
    wchar_t b = prefix[i];
    if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - L'a' + L'A');
    if (b >= L'a' && b <= L'z') b = static_cast<wchar_t>(b - L'a' + L'A');
    if (a != b) return false;
  }
  return true;
}

// The path without a "\\?\" prefix, as an ordinary drive or network path.
std::wstring OrdinaryPath(const std::wstring& path) {
  if (StartsWithIgnoringCase(path, VerbatimUncPrefix)) return L"\\\\" + path.substr(VerbatimUncPrefix.size());
  if (StartsWith(path, VerbatimPrefix)) return path.substr(VerbatimPrefix.size());
  return path;
}

}  // namespace

std::wstring ProgramFolder(const std::wstring& programPath) {
  const size_t cut = programPath.find_last_of(L"\\:");
  return cut == std::wstring::npos ? std::wstring() : programPath.substr(0, cut + 1);
}

std::wstring SettingsFilePath(const std::wstring& programPath) {
  return ProgramFolder(programPath) + SettingsFileName;
}

std::wstring SettingsDrive(const std::wstring& programPath) {
  const std::wstring path = OrdinaryPath(programPath);
  if (path.size() >= 2 && path[1] == L':') return path.substr(0, 2);
  if (!StartsWith(path, L"\\\\")) return std::wstring();
  const size_t serverEnd = path.find(L'\\', 2);
  if (serverEnd == std::wstring::npos) return path;
  const size_t shareEnd = path.find(L'\\', serverEnd + 1);
  return shareEnd == std::wstring::npos ? path : path.substr(0, shareEnd);
}

std::string DriveWarningText(const std::string& drive) {
  return "ドライブ" + drive + "には、iniファイルを保存できません";
}

std::wstring ExtendedLengthPath(const std::wstring& path) {
  if (path.size() < LongPathLength || StartsWith(path, VerbatimPrefix)) return path;
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return VerbatimPrefix + path;
  if (StartsWith(path, L"\\\\")) return VerbatimUncPrefix + path.substr(2);
  return path;
}

}  // namespace zefa
