#include "SettingsFile.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "Exception.h"
#include "WideText.h"
#include "ini_document.h"
#include "message_tables.h"
#include "settings_path.h"

namespace zefa {
namespace {

// The system's limit for a path, with room for the terminating NUL.
constexpr size_t LongestPath = 32768;

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : FHandle(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle) {
    Close();
    FHandle = handle;
  }
  HANDLE Get() const { return FHandle; }

  // Closing can report a late write error, so the writer checks it.
  bool Close() {
    if (!Valid()) return true;
    const bool closed = CloseHandle(FHandle) != FALSE;
    FHandle = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE FHandle;
};

// A new file in the settings file's folder that takes the new content
// before it replaces the settings file; removed again unless it did.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::wstring& target) : FTarget(target) {}
  ~TemporaryFile() {
    FFile.Close();
    if (!FPath.empty() && !FKept) DeleteFileW(ExtendedLengthPath(FPath).c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  DWORD Create() {
    // A name taken by a file of another run is skipped.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      const std::wstring path = FTarget + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
                                std::to_wstring(attempt) + L".tmp";
      HANDLE handle = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        FPath = path;
        FFile.Reset(handle);
        return ERROR_SUCCESS;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
    }
    return ERROR_FILE_EXISTS;
  }

  DWORD Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
      DWORD written = 0;
      if (!WriteFile(FFile.Get(), bytes.data() + done, chunk, &written, nullptr)) return GetLastError();
      if (written == 0) return ERROR_WRITE_FAULT;
      done += written;
    }
    if (!FlushFileBuffers(FFile.Get())) return GetLastError();
    if (!FFile.Close()) return GetLastError();
    return ERROR_SUCCESS;
  }

  // An existing file is replaced so that it keeps its own properties
  // (attributes such as hidden, creation time, security); a rename alone
  // would give it the temporary file's. A missing one is renamed into place.
  DWORD ReplaceTarget(bool targetExists) {
    if (targetExists) {
      const DWORD error = ReplaceExisting();
      // Removed meanwhile: then there is nothing left to keep.
      const bool vanished = error == ERROR_FILE_NOT_FOUND &&
                            GetFileAttributesW(ExtendedLengthPath(FTarget).c_str()) == INVALID_FILE_ATTRIBUTES;
      if (!vanished) return error;
    }
    if (!MoveFileExW(ExtendedLengthPath(FPath).c_str(), ExtendedLengthPath(FTarget).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return GetLastError();
    }
    FKept = true;
    return ERROR_SUCCESS;
  }

 private:
  // With a backup name, a replace that fails half-way leaves the old file
  // under its own name or under the backup's, never under a name of the
  // system's choosing; the backup goes once the new file is in place.
  DWORD ReplaceExisting() {
    const std::wstring target = ExtendedLengthPath(FTarget);
    const std::wstring backup = ExtendedLengthPath(FPath + L".bak");
    CarryAttributes(target);
    if (ReplaceFileW(target.c_str(), ExtendedLengthPath(FPath).c_str(), backup.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      FKept = true;
      DeleteFileW(backup.c_str());
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    // Moved aside and not replaced (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2): the
    // old file gets its name back. The backup goes only once it has one.
    const auto exists = [](const std::wstring& path) {
      return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    if (!exists(target) && exists(backup)) MoveFileExW(backup.c_str(), target.c_str(), 0);
    if (exists(target)) DeleteFileW(backup.c_str());
    return error;
  }

  // Wine's ReplaceFileW is a plain rename: given to the new file first,
  // the old file's hidden and system attributes survive there too.
  void CarryAttributes(const std::wstring& target) {
    constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD old = GetFileAttributesW(target.c_str());
    const std::wstring path = ExtendedLengthPath(FPath);
    const DWORD own = GetFileAttributesW(path.c_str());
    if (old == INVALID_FILE_ATTRIBUTES || own == INVALID_FILE_ATTRIBUTES || (old & kCarried) == 0) return;
    // Not checked: where it fails, the replace still keeps them on Windows.
    SetFileAttributesW(path.c_str(), own | (old & kCarried));
  }

  std::wstring FTarget;
  std::wstring FPath;
  FileHandle FFile{INVALID_HANDLE_VALUE};
  bool FKept = false;
};

std::wstring RunningProgramPath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) break;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    // Cut short: the path is longer than the buffer.
    if (buffer.size() >= LongestPath) break;
    buffer.resize(buffer.size() * 2);
  }
  throw Exception("プログラムの場所を取得できませんでした（エラー " + std::to_string(GetLastError()) + "）");
}

std::string ErrorText(const char* what, const std::wstring& path, DWORD error) {
  return std::string("設定ファイル「") + WideToUtf8(path) + "」" + what + "（エラー " + std::to_string(error) +
         "）";
}

// The file's bytes; empty when it does not exist.
std::string ReadSettingsFile(const std::wstring& path) {
  // No sharing with a writer: a file being written is not read half-done.
  FileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::string();
    throw Exception(ErrorText("を読み込めませんでした", path, error));
  }
  std::string bytes;
  char chunk[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr)) {
      throw Exception(ErrorText("を読み込めませんでした", path, GetLastError()));
    }
    if (read == 0) return bytes;
    bytes.append(chunk, read);
  }
}

// Replaces the whole file, or leaves it exactly as it was.
DWORD WriteSettingsFile(const std::wstring& path, const std::string& bytes) {
  // Checked here: under Wine as root a read-only file would be replaced.
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  TemporaryFile temporary(path);
  DWORD error = temporary.Create();
  if (error == ERROR_SUCCESS) error = temporary.Write(bytes);
  if (error == ERROR_SUCCESS) error = temporary.ReplaceTarget(attributes != INVALID_FILE_ATTRIBUTES);
  return error;
}

// The probe: whatever goes wrong only means that the file cannot be written.
bool CanWriteBack(const std::wstring& path, const std::string& bytes) noexcept {
  try {
    return WriteSettingsFile(path, bytes) == ERROR_SUCCESS;
  } catch (...) {
    return false;
  }
}

void ShowDriveWarning(MessageBoxSink& box, const std::wstring& programPath) {
  box.MsgBox(KindError, ButtonsOk, 0, LanguageJapanese, DriveWarningText(WideToUtf8(SettingsDrive(programPath))));
}

}  // namespace

void LoadSettings(IdList& commPort, MessageBoxSink& box) {
  const std::wstring program = RunningProgramPath();
  const std::wstring path = SettingsFilePath(program);
  const IniDocument document = IniDocument::Parse(ReadSettingsFile(path));
  commPort.SetItemIndex(document.ReadInteger(SettingsSection, SettingsPortKey, 0));
  if (!CanWriteBack(path, document.Serialize())) ShowDriveWarning(box, program);
}

void SaveSettings(const IdList& commPort, MessageBoxSink& box) {
  const std::wstring program = RunningProgramPath();
  const std::wstring path = SettingsFilePath(program);
  IniDocument document = IniDocument::Parse(ReadSettingsFile(path));
  if (!CanWriteBack(path, document.Serialize())) {
    ShowDriveWarning(box, program);
    return;
  }
  document.WriteInteger(SettingsSection, SettingsPortKey, commPort.ItemIndex());
  const DWORD error = WriteSettingsFile(path, document.Serialize());
  if (error != ERROR_SUCCESS) throw Exception(ErrorText("に書き込めませんでした", path, error));
}

}  // namespace zefa
