// The main window's exchange operations (AppendChecksum, Transact, ReadId,
// WriteId) over its own CommX1 and the system's serial calls: COM16 of the
// Wine prefix is a pseudo-terminal with the board simulator behind it (ID 7),
// one simulator per test process (see CMakeLists.txt). The window opens the
// port at its creation from a settings file beside this program, as at a
// start; the test removes the file again.
#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Application.h"
#include "BoxCloser.h"
#include "WideText.h"
#include "ZEFA1ID_u.h"

namespace {

constexpr int32_t kAttempts = 10;
// An answer is waited for long enough that a loaded machine's late one is
// not taken for silence; where nothing answers, the window's own 30 ms.
constexpr int32_t kPatientMs = 1000;
constexpr int32_t kWindowsMs = 30;
const std::string kReadRequest("\xFE\x7E", 2);

class ApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Application = new TApplication();
    Application->Initialize();
    Application->SetTitle("ZEFA1 ID Programmer");
  }
  void TearDown() override { delete Application; }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

std::wstring SettingsFileBesideProgram() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], MAX_PATH));
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"ZEFA_ID.ini";
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << "error " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

// The frames that the board received, as its log names them ("read fe 7e").
std::vector<std::string> ReceivedFrames() {
  std::ifstream in(Environment("ZEFA_BOARD_LOG_WIN"));
  std::vector<std::string> frames;
  std::string line;
  while (std::getline(in, line)) {
    const size_t at = line.find(" rx ");
    if (at != std::string::npos) frames.push_back(line.substr(at + 4));
  }
  return frames;
}

// The last request of an exchange may reach the log a moment after the
// exchange has given up on its answer.
std::vector<std::string> WaitForFrames(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<std::string> frames = ReceivedFrames();
  while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    frames = ReceivedFrames();
  }
  return frames;
}

void ClearBoardLog() {
  std::ofstream(Environment("ZEFA_BOARD_LOG_WIN"), std::ios::trunc);
}

// The simulator reads its control file before each frame; the rename lets
// it see the old content or the new, never half of it.
void SetBoardModes(const std::string& modes) {
  const std::wstring control = Utf8ToWide(Environment("ZEFA_BOARD_CONTROL_WIN"));
  const std::wstring temporary = control + L".new";
  WriteFileBytes(temporary, modes + "\n");
  ASSERT_TRUE(MoveFileExW(temporary.c_str(), control.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
}

class FormExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Environment("ZEFA_BOARD_LOG_WIN").empty()) << "run under with-boardsim";
    WriteFileBytes(SettingsFileBesideProgram(), "[ZEFA_ID]\r\nCommPort=16\r\n");
    {
      BoxCloser closer(GetCurrentThreadId());
      form.reset(new TForm1(Application));
      const auto boxes = closer.Boxes();
      ASSERT_EQ(1u, boxes.size());
      ASSERT_EQ("COM16 設定完了", boxes[0].second);
    }
    ASSERT_EQ(kWindowsMs, form->CommX1->TimeOutReceive());
    form->CommX1->SetTimeOutReceive(kPatientMs);
    ClearBoardLog();
  }
  void TearDown() override {
    form.reset();
    DeleteFileW(SettingsFileBesideProgram().c_str());
  }

  std::unique_ptr<TForm1> form;
};

TEST_F(FormExchange, AppendChecksumAddsTheLowSevenBitsOfTheSum) {
  const struct {
    std::string request;
    std::string framed;
  } cases[] = {
      {std::string("\xFE", 1), kReadRequest},
      {std::string("\xFF\x5A\x00", 3), std::string("\xFF\x5A\x00\x59", 4)},
      {std::string("\xFF\x5A\x05", 3), std::string("\xFF\x5A\x05\x5E", 4)},
      {std::string("\xFF\x5A\x1F", 3), std::string("\xFF\x5A\x1F\x78", 4)},
  };
  for (const auto& c : cases) {
    std::string request = c.request;
    form->AppendChecksum(request);
    EXPECT_EQ(c.framed, request);
  }
}

TEST_F(FormExchange, ReadAndWriteTheBoardThroughTheOpenPort) {
  int32_t attempts = kAttempts;
  int32_t id = -1;
  EXPECT_TRUE(form->ReadId(attempts, id));
  EXPECT_EQ(7, id);
  EXPECT_EQ(1, attempts);

  attempts = kAttempts;
  id = 12;
  EXPECT_TRUE(form->WriteId(attempts, id));
  EXPECT_EQ(12, id);
  EXPECT_EQ(1, attempts);

  attempts = kAttempts;
  id = -1;
  EXPECT_TRUE(form->ReadId(attempts, id));
  EXPECT_EQ(12, id);
  EXPECT_EQ((std::vector<std::string>{"read fe 7e", "write ff 5a 0c 65", "read fe 7e"}), WaitForFrames(3));
}

TEST_F(FormExchange, TransactSendsTheRequestAndReadsTheAnswer) {
  std::string request("\xFF\x5A\x05", 3);
  form->AppendChecksum(request);
  std::string answer = "left over";
  int32_t attempts = kAttempts;
  int32_t received = -1;
  form->Transact(request, answer, 2, attempts, received);
  EXPECT_EQ(std::string("\x05\x06", 2), answer);
  EXPECT_EQ(2, received);
  EXPECT_EQ(1, attempts);
  EXPECT_EQ((std::vector<std::string>{"write ff 5a 05 5e"}), WaitForFrames(1));
}

// Outcomes that the board decides: what the operation returns, the ID it
// leaves, the attempts it made and the requests that reached the line.
TEST_F(FormExchange, TheBoardsAnswerDecidesTheOutcome) {
  const struct {
    const char* modes;
    bool write;
    int32_t timeOutMs;
    bool result;
    int32_t id;
    int32_t attempts;
  } cases[] = {
      {"silent", false, kWindowsMs, false, -1, kAttempts},  // nothing received: the ID stays
      {"read-mismatch", false, kPatientMs, false, 7, 1},    // a whole answer ends it
      {"report-id=40", false, kPatientMs, true, 40, 1},     // valid; the window judges the range
      {"refuse-writes", true, kPatientMs, false, 7, 1},     // refused, not retried
      {"silent", true, kWindowsMs, false, 9, kAttempts},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.write ? "write, " : "read, ") + c.modes);
    SetBoardModes(c.modes);
    form->CommX1->SetTimeOutReceive(c.timeOutMs);
    ClearBoardLog();
    int32_t attempts = kAttempts;
    int32_t id = c.write ? 9 : -1;
    EXPECT_EQ(c.result, c.write ? form->WriteId(attempts, id) : form->ReadId(attempts, id));
    EXPECT_EQ(c.id, id);
    EXPECT_EQ(c.attempts, attempts);
    const std::string request = c.write ? "write ff 5a 09 62" : "read fe 7e";
    EXPECT_EQ(std::vector<std::string>(static_cast<size_t>(c.attempts), request),
              WaitForFrames(static_cast<size_t>(c.attempts)));
  }
}

TEST_F(FormExchange, AClosedPortSendsNothingAndFailsAtOnce) {
  form->CommX1->Close();
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    int32_t attempts = kAttempts;
    int32_t id = 3;
    EXPECT_FALSE(write ? form->WriteId(attempts, id) : form->ReadId(attempts, id));
    EXPECT_EQ(3, id);
    EXPECT_EQ(kAttempts, attempts);
  }
  // Time for a request that was sent after all to reach the log.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(ReceivedFrames().empty());
}

}  // namespace
