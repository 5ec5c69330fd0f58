#include "WinPortList.h"

#include <windows.h>

#include <cwchar>
#include <set>

#include "Arguments.h"
#include "WideText.h"

namespace zefa::cli {
namespace {

// QueryDosDeviceW gives no size hint; the list can be long on a busy system.
constexpr DWORD FirstDeviceListSize = 1 << 16;
constexpr DWORD LargestDeviceListSize = 1 << 24;
constexpr DWORD LongestValue = 256;

std::vector<std::string> SplitMultiString(const std::wstring& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < list.size() && list[start] != L'\0') {
    const size_t end = list.find(L'\0', start);
    names.push_back(WideToUtf8(list.substr(start, end - start)));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return names;
}

std::vector<std::string> DosDeviceNames() {
  for (DWORD size = FirstDeviceListSize; size <= LargestDeviceListSize; size *= 2) {
    std::wstring list(size, L'\0');
    const DWORD length = QueryDosDeviceW(nullptr, &list[0], size);
    if (length > 0) return SplitMultiString(list.substr(0, length));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
  }
  return {};
}

// The serial drivers' own list: the value data are the port names.
std::vector<std::string> SerialCommNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[LongestValue];
    DWORD nameLength = LongestValue;
    wchar_t data[LongestValue + 1] = {};
    DWORD dataSize = sizeof(wchar_t) * LongestValue;
    DWORD type = 0;
    const LONG result = RegEnumValueW(key, index, valueName, &nameLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    names.push_back(WideToUtf8(std::wstring(data, wcsnlen(data, LongestValue))));
  }
  RegCloseKey(key);
  return names;
}

}  // namespace

std::vector<std::string> SortedComPorts(const std::vector<std::string>& names) {
  std::set<int32_t> numbers;
  for (const auto& name : names) {
    if (const auto number = ParseComPortName(name)) numbers.insert(*number);
  }
  std::vector<std::string> ports;
  for (int32_t number : numbers) ports.push_back(ComPortName(number));
  return ports;
}

std::vector<std::string> ListComPorts() {
  std::vector<std::string> names = DosDeviceNames();
  const std::vector<std::string> registered = SerialCommNames();
  names.insert(names.end(), registered.begin(), registered.end());
  return SortedComPorts(names);
}

}  // namespace zefa::cli
