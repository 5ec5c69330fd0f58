// The Windows side of the command-line tool: a console program whose
// serial ports go through the serial port component.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include "Application.h"
#include "Interrupt.h"
#include "Platform.h"
#include "WideText.h"
#include "WinPortList.h"
#include "WinSerialPort.h"
#include "WinSystemMessage.h"

namespace zefa::cli {
namespace {

// How long a log line waits for another run that is writing its own.
constexpr std::chrono::milliseconds LogLockPatience{2000};
constexpr std::chrono::milliseconds LogLockRetry{5};
constexpr DWORD LargestWrite = 1 << 16;
constexpr int64_t FileTimeUnitsPerMinute = 60LL * 10000000LL;

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  RequestInterrupt(SIGINT);
  return TRUE;  // the run ends by itself once the port is closed
}

std::string WithCrLf(const std::string& text) {
  std::string converted;
  converted.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

bool WriteBytes(HANDLE handle, const std::string& bytes, std::string& error) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, LargestWrite));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      error = SystemMessage(GetLastError());
      return false;
    }
    done += written;
  }
  return true;
}

void WriteConsoleText(HANDLE console, const std::string& text) {
  const std::wstring wide = Utf8ToWide(text);
  size_t done = 0;
  while (done < wide.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wide.size() - done, LargestWrite));
    DWORD written = 0;
    if (!WriteConsoleW(console, wide.data() + done, chunk, &written, nullptr) || written == 0) return;
    done += written;
  }
}

// The console shows the Japanese texts in any code page when they go in
// as UTF-16; a pipe or a file gets UTF-8.
void WriteStandard(DWORD which, const std::string& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) return WriteConsoleText(handle, text);
  std::string error;
  WriteBytes(handle, WithCrLf(text), error);
}

bool LockForAppend(HANDLE file, OVERLAPPED& region) {
  const auto deadline = std::chrono::steady_clock::now() + LogLockPatience;
  while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &region)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(LogLockRetry);
  }
  return true;
}

class WinAppendFile : public AppendFile {
 public:
  explicit WinAppendFile(HANDLE file) : FFile(file) {}
  ~WinAppendFile() override { CloseHandle(FFile); }
  WinAppendFile(const WinAppendFile&) = delete;
  WinAppendFile& operator=(const WinAppendFile&) = delete;

  // Without the lock the line is still appended whole; only the header
  // might then be doubled.
  bool Append(const std::string& header, const std::string& line, std::string& error) override {
    OVERLAPPED region = {};
    const bool locked = LockForAppend(FFile, region);
    LARGE_INTEGER size = {};
    std::string text = line + "\n";
    if (GetFileSizeEx(FFile, &size) && size.QuadPart == 0) text = header + "\n" + text;
    const bool written = WriteBytes(FFile, WithCrLf(text), error);
    if (locked) UnlockFileEx(FFile, 0, MAXDWORD, MAXDWORD, &region);
    return written;
  }

 private:
  const HANDLE FFile;
};

class WinSerialPorts : public SerialPorts {
 public:
  std::unique_ptr<SerialLine> Open(const std::string& port, PortError& error) override {
    const std::optional<int32_t> number = ParseComPortName(port);
    if (!number) {
      error = {PortProblem::Missing, "not a COM port"};
      return nullptr;
    }
    return WinSerialPort::Open(*number, error);
  }

  std::vector<PortEntry> List() override { return Entries(ListComPorts()); }

  std::vector<PortEntry> Expand(const std::vector<std::string>& names) override {
    std::vector<std::string> unique;
    for (const auto& name : names) {
      if (std::find(unique.begin(), unique.end(), name) == unique.end()) unique.push_back(name);
    }
    return Entries(unique);
  }

 private:
  static std::vector<PortEntry> Entries(const std::vector<std::string>& names) {
    std::vector<PortEntry> entries;
    for (const auto& name : names) entries.push_back({name, {}});
    return entries;
  }
};

int64_t FileTimeValue(const SYSTEMTIME& time) {
  FILETIME file = {};
  SystemTimeToFileTime(&time, &file);
  return (static_cast<int64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

}  // namespace

struct PlatformSession::State {
  TApplication application;
};

PlatformSession::PlatformSession() : FState(new State) {
  Application = &FState->application;
  Application->Initialize();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

PlatformSession::~PlatformSession() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

std::vector<std::string> CommandLineArguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) args.push_back(WideToUtf8(wide[i]));
  LocalFree(wide);
  return args;
}

PortSyntax NativePortSyntax() {
  return PortSyntax::ComName;
}

void WriteOut(const std::string& text) {
  WriteStandard(STD_OUTPUT_HANDLE, text);
}

void WriteErr(const std::string& text) {
  WriteStandard(STD_ERROR_HANDLE, text);
}

LocalTime CurrentLocalTime() {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  SYSTEMTIME utc = {};
  SYSTEMTIME local = {};
  FileTimeToSystemTime(&now, &utc);
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  const int64_t offset = (FileTimeValue(local) - FileTimeValue(utc)) / FileTimeUnitsPerMinute;
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
          static_cast<int>(offset)};
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& error) {
  // Append-only access: every write lands at the end, whoever else writes.
  const HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = SystemMessage(GetLastError());
    return nullptr;
  }
  return std::unique_ptr<AppendFile>(new WinAppendFile(file));
}

std::unique_ptr<SerialPorts> MakeSerialPorts() {
  return std::unique_ptr<SerialPorts>(new WinSerialPorts);
}

void ExitInterrupted(int signal) {
  // The status that a console program stopped by Ctrl+C ends with.
  ExitProcess(static_cast<UINT>(InterruptedExitStatus(signal)));
}

}  // namespace zefa::cli
