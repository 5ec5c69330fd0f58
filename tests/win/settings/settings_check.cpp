// Runs LoadSettings or SaveSettings from wherever this program was copied,
// with a port list and a message box that print what they are given:
//
//   settings_check load            prints "index N" after loading
//   settings_check save N          saves N as the selected port index
//   settings_check held load|save  the same while the settings file is
//                                  held open for writing by another handle
//   settings_check hide            gives the settings file the hidden attribute
//   settings_check properties      prints "attributes NAME..." and "created N"
//                                  (the creation time, 100 ns units)
//
// With ZEFA_SETTINGS_STEPS set, each step of a save prints "step NAME";
// with ZEFA_SETTINGS_KILL_AT=N, the process ends at once (exit code 99) at
// the Nth step, as if killed there.
//
// Every message box prints "box KIND BUTTONS NUMBER LANGUAGE TEXT", an
// escaping exception "exception TEXT" (UTF-8, one line each).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "Exception.h"
#include "SettingsFile.h"
#include "WideText.h"

namespace {

void Print(const std::string& line) {
  const std::string bytes = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
}

class PrintedList : public zefa::IdList {
 public:
  explicit PrintedList(int32_t index) : FIndex(index) {}
  int32_t ItemIndex() const override { return FIndex; }
  void SetItemIndex(int32_t index) override { FIndex = index; }

 private:
  int32_t FIndex;
};

class PrintedBox : public zefa::MessageBoxSink {
 public:
  int32_t MsgBox(uint8_t kind, uint8_t buttons, int32_t messageNo, int32_t language,
                 const std::string& text) override {
    Print("box " + std::to_string(kind) + " " + std::to_string(buttons) + " " + std::to_string(messageNo) +
          " " + std::to_string(language) + " " + text);
    return IDOK;
  }
};

std::wstring SettingsFile() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], MAX_PATH));
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"ZEFA_ID.ini";
}

// Another program writing the file: no sharing with readers.
HANDLE HoldSettingsFile() {
  return CreateFileW(SettingsFile().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

int Hide() {
  const DWORD attributes = GetFileAttributesW(SettingsFile().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !SetFileAttributesW(SettingsFile().c_str(), attributes | FILE_ATTRIBUTE_HIDDEN)) {
    Print("cannot hide the settings file: error " + std::to_string(GetLastError()));
    return 3;
  }
  Print("hidden");
  return 0;
}

int PrintProperties() {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(SettingsFile().c_str(), GetFileExInfoStandard, &data)) {
    Print("cannot read the settings file's properties: error " + std::to_string(GetLastError()));
    return 3;
  }
  const struct {
    DWORD flag;
    const char* name;
  } names[] = {{FILE_ATTRIBUTE_READONLY, "readonly"}, {FILE_ATTRIBUTE_HIDDEN, "hidden"},
               {FILE_ATTRIBUTE_SYSTEM, "system"},     {FILE_ATTRIBUTE_ARCHIVE, "archive"}};
  std::string line = "attributes";
  for (const auto& n : names) {
    if ((data.dwFileAttributes & n.flag) != 0) line += std::string(" ") + n.name;
  }
  Print(line);
  const ULONGLONG created =
      (static_cast<ULONGLONG>(data.ftCreationTime.dwHighDateTime) << 32) | data.ftCreationTime.dwLowDateTime;
  Print("created " + std::to_string(created));
  return 0;
}

int StepsShown = 0;
int KillAt = 0;

void OnSaveStep(const char* step) {
  ++StepsShown;
  if (GetEnvironmentVariableA("ZEFA_SETTINGS_STEPS", nullptr, 0) != 0) Print(std::string("step ") + step);
  if (StepsShown == KillAt) TerminateProcess(GetCurrentProcess(), 99);
}

void InstallStepHook() {
  char value[16] = {};
  if (GetEnvironmentVariableA("ZEFA_SETTINGS_KILL_AT", value, sizeof value) != 0) KillAt = std::atoi(value);
  zefa::SetSaveStepHook(OnSaveStep);
}

int Usage() {
  Print("usage: settings_check [held] load | save N | hide | properties");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (argc > first && std::string(argv[first]) == "held") {
    held = HoldSettingsFile();
    if (held == INVALID_HANDLE_VALUE) {
      Print("cannot hold the settings file");
      return 3;
    }
    ++first;
  }
  if (argc <= first) return Usage();
  const std::string command = argv[first];

  InstallStepHook();
  PrintedBox box;
  int status = 0;
  try {
    if (command == "load" && argc == first + 1) {
      PrintedList list(-2);
      zefa::LoadSettings(list, box);
      Print("index " + std::to_string(list.ItemIndex()));
    } else if (command == "save" && argc == first + 2) {
      const PrintedList list(std::atoi(argv[first + 1]));
      zefa::SaveSettings(list, box);
      Print("saved");
    } else if (command == "hide" && argc == first + 1) {
      status = Hide();
    } else if (command == "properties" && argc == first + 1) {
      status = PrintProperties();
    } else {
      status = Usage();
    }
  } catch (const Exception& e) {
    Print("exception " + e.Message());
  }
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return status;
}
