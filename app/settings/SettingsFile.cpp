#include "SettingsFile.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Exception.h"
#include "WideText.h"
#include "ini_document.h"
#include "message_tables.h"
#include "settings_path.h"

namespace zefa {
namespace {

// The system's limit for a path, with room for the terminating NUL.
constexpr size_t LongestPath = 32768;

// Far more than a settings file holds: a larger file is not one, so it is
// read only this far and never written.
constexpr size_t LargestSettingsFile = 4 << 20;

SaveStepHook StepHook = nullptr;

void Step(const char* name) {
  if (StepHook != nullptr) StepHook(name);
}

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

DWORD WriteAll(HANDLE file, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    done += written;
  }
  return ERROR_SUCCESS;
}

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
      // Not shared: while it is open, a start-up of another run cannot take
      // it for a leftover and remove it.
      HANDLE handle = CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle != INVALID_HANDLE_VALUE) {
        FPath = path;
        FFile.Reset(handle);
        Step("temporary-created");
        return ERROR_SUCCESS;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
    }
    return ERROR_FILE_EXISTS;
  }

  DWORD Write(const std::string& bytes) {
    DWORD error = WriteAll(FFile.Get(), bytes);
    if (error != ERROR_SUCCESS) return error;
    Step("temporary-written");
    if (!FlushFileBuffers(FFile.Get())) return GetLastError();
    Step("temporary-flushed");
    if (!FFile.Close()) return GetLastError();
    Step("temporary-closed");
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
    Step("renamed");
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
      Step("replaced");
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

// The settings file as found: where its content lies (a link's target)
// and its bytes, up to the limit.
struct StoredFile {
  std::wstring path;
  bool exists = false;
  bool tooLarge = false;
  std::string bytes;
};

// The path the handle's file really has; the given one if the system
// cannot tell.
std::wstring FinalPath(HANDLE file, const std::wstring& path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(file, &buffer[0], static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= LongestPath) return path;
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length + 1);
  }
}

StoredFile ReadSettingsFile(const std::wstring& path) {
  StoredFile stored;
  stored.path = path;
  // No sharing with a writer: a file being written is not read half-done.
  FileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return stored;
    throw Exception(ErrorText("を読み込めませんでした", path, error));
  }
  stored.exists = true;
  // A link stays a link: its target is what gets written.
  stored.path = FinalPath(file.Get(), path);
  std::string& bytes = stored.bytes;
  char chunk[4096];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr)) {
      throw Exception(ErrorText("を読み込めませんでした", path, GetLastError()));
    }
    if (read == 0) return stored;
    bytes.append(chunk, read);
    if (bytes.size() > LargestSettingsFile) {
      bytes.resize(LargestSettingsFile);
      stored.tooLarge = true;
      return stored;
    }
  }
}

// The plain write, where no new file can be made beside the old one (a
// folder that refuses new entries, the file alone granted to its users):
// the whole content over the old, flushed. On failure the old content is
// put back as far as the file takes it.
DWORD WriteInPlace(const std::wstring& path, const std::string& bytes, const std::string& old) {
  FileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return GetLastError();
  Step("in-place-opened");
  const auto write = [&](const std::string& content) -> DWORD {
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN)) return GetLastError();
    const DWORD error = WriteAll(file.Get(), content);
    if (error != ERROR_SUCCESS) return error;
    if (!SetEndOfFile(file.Get())) return GetLastError();
    return FlushFileBuffers(file.Get()) ? ERROR_SUCCESS : GetLastError();
  };
  DWORD error = write(bytes);
  if (error != ERROR_SUCCESS) {
    write(old);
    return error;
  }
  Step("in-place-written");
  if (!file.Close()) return GetLastError();
  return ERROR_SUCCESS;
}

// Replaces the whole file, or leaves it exactly as it was; writes it in
// place only where no temporary file can be made.
DWORD WriteSettingsFile(const StoredFile& stored, const std::string& bytes) {
  const std::wstring& path = stored.path;
  // Checked here: under Wine as root a read-only file would be replaced.
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return ERROR_ACCESS_DENIED;
  }
  TemporaryFile temporary(path);
  DWORD error = temporary.Create();
  if (error != ERROR_SUCCESS) {
    return attributes != INVALID_FILE_ATTRIBUTES ? WriteInPlace(path, bytes, stored.bytes) : error;
  }
  error = temporary.Write(bytes);
  if (error == ERROR_SUCCESS) error = temporary.ReplaceTarget(attributes != INVALID_FILE_ATTRIBUTES);
  return error;
}

// Whether the file could be written, found out without writing it.
bool CanOpenForWriting(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  FileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.Valid();
}

// The probe: whatever goes wrong only means that the file cannot be
// written. A file the document cannot hold whole (too large, or with bytes
// after a NUL) is not rewritten by it.
bool CanWriteBack(const StoredFile& stored, const IniFileText& text, const IniDocument& document) noexcept {
  try {
    if (stored.tooLarge) return false;
    if (!text.tail.empty()) return CanOpenForWriting(stored.path);
    IniFileText written = text;
    written.text = document.Serialize();
    return WriteSettingsFile(stored, written.Encode()) == ERROR_SUCCESS;
  } catch (...) {
    return false;
  }
}

bool IsDigits(const std::wstring& text, size_t begin, size_t end) {
  if (begin >= end) return false;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

// "ZEFA_ID.ini.<process>.<attempt>.tmp" and its ".bak": what a save makes.
bool IsSaveLeftover(const std::wstring& name, const std::wstring& fileName, bool& backup) {
  if (name.size() <= fileName.size() + 1 || CompareStringOrdinal(name.c_str(), static_cast<int>(fileName.size()),
                                                                  fileName.c_str(), -1, TRUE) != CSTR_EQUAL) {
    return false;
  }
  std::wstring rest = name.substr(fileName.size());
  backup = rest.size() > 4 && rest.compare(rest.size() - 4, 4, L".bak") == 0;
  if (backup) rest.resize(rest.size() - 4);
  if (rest.size() < 4 || rest.compare(rest.size() - 4, 4, L".tmp") != 0 || rest[0] != L'.') return false;
  const size_t dot = rest.find(L'.', 1);
  return dot != std::wstring::npos && IsDigits(rest, 1, dot) && IsDigits(rest, dot + 1, rest.size() - 4);
}

// What a save that was cut short left beside the file: a kill inside the
// replace can leave the old file under its backup name only, which then
// gets its name back; every leftover goes. A temporary file still open in
// a save of another run cannot be removed and is left to it.
void RecoverInterruptedSave(const std::wstring& path) {
  const size_t cut = path.find_last_of(L"\\/");
  const std::wstring folder = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  const std::wstring fileName = path.substr(folder.size());
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(ExtendedLengthPath(path + L".*.tmp*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> leftovers;
  std::wstring newestBackup;
  FILETIME newest = {};
  do {
    bool backup = false;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IsSaveLeftover(found.cFileName, fileName, backup)) {
      continue;
    }
    leftovers.push_back(folder + found.cFileName);
    if (backup && (newestBackup.empty() || CompareFileTime(&found.ftLastWriteTime, &newest) > 0)) {
      newestBackup = leftovers.back();
      newest = found.ftLastWriteTime;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);

  if (!newestBackup.empty() && GetFileAttributesW(ExtendedLengthPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    // Not over a file that has appeared meanwhile.
    if (MoveFileExW(ExtendedLengthPath(newestBackup).c_str(), ExtendedLengthPath(path).c_str(),
                    MOVEFILE_WRITE_THROUGH)) {
      Step("recovered");
    }
  }
  for (const std::wstring& leftover : leftovers) DeleteFileW(ExtendedLengthPath(leftover).c_str());
}

// The path of the file's content: a link's target, or the path itself.
std::wstring ContentPath(const std::wstring& path) {
  FileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.Valid() ? FinalPath(file.Get(), path) : path;
}

void ShowDriveWarning(MessageBoxSink& box, const std::wstring& programPath) {
  box.MsgBox(KindError, ButtonsOk, 0, LanguageJapanese, DriveWarningText(WideToUtf8(SettingsDrive(programPath))));
}

}  // namespace

void SetSaveStepHook(SaveStepHook hook) {
  StepHook = hook;
}

void LoadSettings(IdList& commPort, MessageBoxSink& box) {
  const std::wstring program = RunningProgramPath();
  const std::wstring path = SettingsFilePath(program);
  RecoverInterruptedSave(ContentPath(path));
  const StoredFile stored = ReadSettingsFile(path);
  const IniFileText text = IniFileText::Decode(stored.bytes);
  const IniDocument document = IniDocument::Parse(text.text);
  commPort.SetItemIndex(document.ReadInteger(SettingsSection, SettingsPortKey, 0));
  if (!CanWriteBack(stored, text, document)) ShowDriveWarning(box, program);
}

void SaveSettings(const IdList& commPort, MessageBoxSink& box) {
  const std::wstring program = RunningProgramPath();
  const std::wstring path = SettingsFilePath(program);
  const StoredFile stored = ReadSettingsFile(path);
  IniFileText text = IniFileText::Decode(stored.bytes);
  IniDocument document = IniDocument::Parse(text.text);
  if (!CanWriteBack(stored, text, document)) {
    ShowDriveWarning(box, program);
    return;
  }
  const std::string value = std::to_string(commPort.ItemIndex());
  if (text.tail.empty()) {
    document.Set(SettingsSection, SettingsPortKey, value);
    text.text = document.Serialize();
  } else {
    // What follows the NUL is not the document's to drop: only the line
    // of the setting changes.
    text.text = SetInText(text.text, SettingsSection, SettingsPortKey, value);
  }
  // Read again after the probe's write: the file the save replaces.
  StoredFile current = stored;
  if (current.exists) current.bytes = ReadSettingsFile(path).bytes;
  const DWORD error = WriteSettingsFile(current, text.Encode());
  if (error != ERROR_SUCCESS) throw Exception(ErrorText("に書き込めませんでした", path, error));
}

}  // namespace zefa
