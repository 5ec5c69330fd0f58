#include "Program.h"

#include <tlhelp32.h>

#include "CommandLine.h"
#include "WideText.h"

namespace uidriver {

namespace {

// Quotes one argument so that the program's CommandLineToArgvW gives it
// back unchanged: backslashes are literal except before a quote.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
    else quoted.append(backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

std::string LastErrorText(const char* what) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + ")";
}

UniqueHandle KillOnCloseJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) throw DriverError(LastErrorText("CreateJobObject"));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    throw DriverError(LastErrorText("SetInformationJobObject"));
  }
  return job;
}

struct WindowSearch {
  DWORD processId;
  const wchar_t* className;  // nullptr: any class
  bool visibleOnly;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND wnd, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid != search->processId) return TRUE;
  if (search->visibleOnly && !IsWindowVisible(wnd)) return TRUE;
  if (search->className != nullptr && !HasClass(wnd, search->className)) return TRUE;
  search->found.push_back(wnd);
  return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD pid, const wchar_t* className, bool visibleOnly) {
  WindowSearch search{pid, className, visibleOnly, {}};
  // EnumWindows lists the top-level windows in z-order, the foremost first.
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring CaptionText(HWND wnd) {
  wchar_t text[512];
  const int n = GetWindowTextW(wnd, text, 512);
  return std::wstring(text, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

bool HasClass(HWND wnd, const wchar_t* className) {
  return lstrcmpiW(ClassOf(wnd).c_str(), className) == 0;
}

std::wstring ClassOf(HWND wnd) {
  wchar_t name[256];
  const int n = GetClassNameW(wnd, name, 256);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring WindowText(HWND wnd) {
  // WM_GETTEXT rather than GetWindowTextW: for another process's control
  // GetWindowTextW gives only the caption the system keeps, not the text
  // that the control itself holds.
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(wnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 2000, &length)) return CaptionText(wnd);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_NORMAL, 2000,
                           &copied)) {
    return CaptionText(wnd);
  }
  text.resize(static_cast<size_t>(copied));
  return text;
}

Program::~Program() {
  if (FJob && Running()) TerminateProcess(FProcess.Get(), 1);
}

void Program::Forget() {
  FProcess.Reset();
  FJob.Reset();
  FProcessId = 0;
}

void Program::Launch(const std::wstring& path, const std::vector<std::wstring>& args) {
  if (FJob && Running()) throw DriverError("a program started by this driver still runs");
  Forget();
  UniqueHandle job = KillOnCloseJob();
  std::wstring commandLine = QuoteArgument(path);
  for (const auto& arg : args) commandLine += L" " + QuoteArgument(arg);
  const std::wstring folder = FolderOf(path);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  // Suspended until it is in the job, so that not even its first moments
  // escape it; detached, so that a console program's output never mixes
  // with the driver's results.
  if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED | DETACHED_PROCESS,
                      nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    throw DriverError(LastErrorText(("starting " + WideToUtf8(path)).c_str()));
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (!AssignProcessToJobObject(job.Get(), process.Get())) {
    TerminateProcess(process.Get(), 1);
    throw DriverError(LastErrorText("AssignProcessToJobObject"));
  }
  ResumeThread(thread.Get());
  FProcess = std::move(process);
  FJob = std::move(job);
  FProcessId = info.dwProcessId;
}

bool Program::TryAttach(const std::wstring& exeName) {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) throw DriverError(LastErrorText("CreateToolhelp32Snapshot"));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, exeName.c_str()) != 0) continue;
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                     entry.th32ProcessID));
    if (!process) continue;
    Forget();
    FProcess = std::move(process);
    FProcessId = entry.th32ProcessID;
    return true;
  }
  return false;
}

bool Program::Running() const {
  return FProcess && WaitForSingleObject(FProcess.Get(), 0) == WAIT_TIMEOUT;
}

DWORD Program::ExitCode() const {
  DWORD code = 0;
  if (!FProcess || !GetExitCodeProcess(FProcess.Get(), &code)) throw DriverError("no program");
  return code;
}

void Program::Kill() {
  if (!Running()) return;
  TerminateProcess(FProcess.Get(), 1);
  if (WaitForSingleObject(FProcess.Get(), 5000) != WAIT_OBJECT_0) {
    throw DriverError("the program did not end within 5000 ms of being terminated");
  }
}

HWND Program::FindVisibleWindow(const wchar_t* className) const {
  const auto windows = TopLevelWindows(FProcessId, className, true);
  return windows.empty() ? nullptr : windows.front();
}

std::vector<HWND> Program::VisibleWindows(const wchar_t* className) const {
  return TopLevelWindows(FProcessId, className, true);
}

std::vector<HWND> Program::Windows(const wchar_t* className) const {
  return TopLevelWindows(FProcessId, className, false);
}

}  // namespace uidriver
