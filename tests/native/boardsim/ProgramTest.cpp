// The real boardsim program, driven over its pseudo-terminal as a client
// would drive it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using ::testing::ElementsAre;

constexpr int kWaitMs = 5000;  // for what must happen; generous on a loaded machine

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "boardsim-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return (FPath / name).string(); }

 private:
  fs::path FPath;
};

// One boardsim process; killed and reaped at the end whatever happened.
class Boardsim {
 public:
  explicit Boardsim(const std::vector<std::string>& args, bool quiet = false) {
    int out[2];
    int in[2];
    if (pipe(out) != 0 || pipe(in) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);

    std::vector<std::string> command = {BOARDSIM_PATH};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : command) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int result = posix_spawn(&FPid, BOARDSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    FStdin = in[1];
    FStdout = out[0];
    if (result != 0) {
      FPid = -1;
      throw std::runtime_error("posix_spawn failed");
    }
  }

  ~Boardsim() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    CloseStdin();
    close(FStdout);
  }
  Boardsim(const Boardsim&) = delete;
  Boardsim& operator=(const Boardsim&) = delete;

  // The slave named by the "ready" line; empty if none came.
  std::string WaitReady() {
    std::string output;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (output.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd fd = {FStdout, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char chunk[256];
      const ssize_t n = read(FStdout, chunk, sizeof chunk);
      if (n <= 0) break;
      output.append(chunk, static_cast<size_t>(n));
    }
    const std::string prefix = "ready ";
    if (output.compare(0, prefix.size(), prefix) != 0 || output.back() != '\n') return "";
    return output.substr(prefix.size(), output.size() - prefix.size() - 1);
  }

  void Signal(int signal) { kill(FPid, signal); }

  // Asks a simulator started with --watch-stdin to bring its log up to
  // date; true once it says it has.
  bool Sync() {
    if (write(FStdin, "\n", 1) != 1) return false;
    std::string reply;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (reply.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd fd = {FStdout, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      char chunk[64];
      const ssize_t n = read(FStdout, chunk, sizeof chunk);
      if (n <= 0) break;
      reply.append(chunk, static_cast<size_t>(n));
    }
    return reply == "synced\n";
  }

  void CloseStdin() {
    if (FStdin >= 0) close(FStdin);
    FStdin = -1;
  }

  // The exit status, or -1 if it did not end in time (it is then killed).
  int WaitExit() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(FPid, &status, WNOHANG);
      if (done == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  pid_t FPid = -1;
  int FStdin = -1;
  int FStdout = -1;
};

class Port {
 public:
  explicit Port(const std::string& path) : FFd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~Port() {
    if (FFd >= 0) close(FFd);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  bool IsOpen() const { return FFd >= 0; }

  void Send(const Bytes& bytes) { ASSERT_EQ(write(FFd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  // Reads until count bytes came or the time is up.
  Bytes Receive(size_t count, int timeoutMs = kWaitMs) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd fd = {FFd, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t chunk[64];
      const ssize_t n = read(FFd, chunk, std::min(sizeof chunk, count - got.size()));
      if (n > 0) got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }

  Bytes Exchange(const Bytes& request, size_t answerLength) {
    Send(request);
    return Receive(answerLength);
  }

 private:
  int FFd;
};

const Bytes kRead = {0xFE, 0x7E};
const Bytes kWrite3 = {0xFF, 0x5A, 0x03, 0x5C};

// The log's events without their time stamps; fails the test on a line
// that does not start with "milliseconds.3-decimals " or whose time runs
// backwards.
std::vector<std::string> LogEvents(const std::string& path) {
  static const std::regex kLine(R"(^(\d+\.\d{3}) (.+)$)");
  std::ifstream file(path);
  std::vector<std::string> events;
  std::string line;
  double last = 0;
  while (std::getline(file, line)) {
    // A line being written may be seen in part; it is complete next time.
    if (file.eof()) break;
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << line;
    if (match.empty()) continue;
    const double time = std::stod(match[1]);
    EXPECT_GE(time, last) << line;
    last = time;
    events.push_back(match[2]);
  }
  return events;
}

// Waits until the log holds the event, which the simulator writes just
// after the answers that it sent for the same read.
bool WaitForEvent(const std::string& path, const std::string& event, size_t occurrences = 1) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (Clock::now() < deadline) {
    const std::vector<std::string> events = LogEvents(path);
    if (static_cast<size_t>(std::count(events.begin(), events.end(), event)) >= occurrences) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void WriteFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  std::ofstream(temporary) << text;
  fs::rename(temporary, path);
}

// The "rx" and "tx" lines of a log, with their times.
struct Stamped {
  double Ms;
  std::string Event;
};

std::vector<Stamped> StampedFrames(const std::string& text) {
  std::istringstream lines(text);
  std::vector<Stamped> frames;
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const std::string event = line.substr(space + 1);
    if (event.compare(0, 3, "rx ") != 0 && event.compare(0, 3, "tx ") != 0) continue;
    frames.push_back({std::stod(line.substr(0, space)), event});
  }
  return frames;
}

class BoardsimProgram : public ::testing::Test {
 protected:
  std::vector<std::string> Args(std::vector<std::string> more) {
    std::vector<std::string> args = {"--link", Link, "--log", Log, "--watch-stdin"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  TempDir Dir;
  const std::string Link = Dir / "com1";
  const std::string Log = Dir / "board.log";
  const std::string Control = Dir / "board.control";
};

TEST_F(BoardsimProgram, AnswersOverItsLinkAndLogsEveryFrame) {
  Boardsim sim(Args({"--id", "7"}));
  const std::string slave = sim.WaitReady();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(fs::read_symlink(Link).string(), slave);

  Port port(Link);
  ASSERT_TRUE(port.IsOpen());
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x07, 0x07}));
  EXPECT_EQ(port.Exchange(kWrite3, 2), (Bytes{0x03, 0x06}));
  EXPECT_EQ(port.Exchange({0x41, 0xFE, 0x11, 0xFE, 0x7E}, 2), (Bytes{0x03, 0x03}));

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_THAT(LogEvents(Log),
              ElementsAre("start id=7 normal", "rx read fe 7e", "tx 07 07", "rx write ff 5a 03 5c",
                          "tx 03 06", "rx noise 41", "rx bad fe 11", "rx noise 11",
                          "rx read fe 7e", "tx 03 03", "end board=1 id=3"));
}

// The simulator holds the slave open, so a client's close is no hang-up.
TEST_F(BoardsimProgram, ClientsMayCloseAndReopenThePort) {
  Boardsim sim(Args({"--id", "9"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  for (int round = 0; round < 3; ++round) {
    Port port(Link);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x09, 0x09})) << "round " << round;
  }
}

TEST_F(BoardsimProgram, ControlFileReplacesModesWhileItRuns) {
  Boardsim sim(Args({"--control", Control, "--mode", "extra=1"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  Port port(Link);

  // No control file yet: the command line's modes hold.
  EXPECT_EQ(port.Exchange(kRead, 3), (Bytes{0x00, 0x00, 0x55}));

  WriteFile(Control, "silent\n");
  port.Send(kRead);
  ASSERT_TRUE(WaitForEvent(Log, "drop read (silent)"));
  EXPECT_TRUE(port.Receive(1, 50).empty());

  // A wrong word is refused as a whole: the board stays silent.
  WriteFile(Control, "read-mismatch\nbogus\n");
  port.Send(kRead);
  ASSERT_TRUE(WaitForEvent(Log, "drop read (silent)", 2));
  EXPECT_TRUE(port.Receive(1, 50).empty());

  WriteFile(Control, "read-mismatch\n");
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x00, 0x01}));

  // Emptied, the file means a sound board, without the command line's modes.
  WriteFile(Control, "");
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x00, 0x00}));
  EXPECT_TRUE(port.Receive(1, 50).empty());

  // A change of the control file that a request made the simulator read is
  // in force for that request, and logged before it.
  ASSERT_TRUE(sim.Sync());
  const std::vector<std::string> events = LogEvents(Log);
  EXPECT_THAT(std::vector<std::string>(events.begin() + 3, events.end()),
              ElementsAre("control silent", "rx read fe 7e", "drop read (silent)",
                          "control rejected: unknown mode \"bogus\"", "rx read fe 7e", "drop read (silent)",
                          "control read-mismatch", "rx read fe 7e", "tx 00 01", "control normal",
                          "rx read fe 7e", "tx 00 00"));
}

// A sync puts a control file written before it in force, so that the next
// request's answer does not wait for the file to be read.
TEST_F(BoardsimProgram, ASyncPutsTheControlFileInForce) {
  Boardsim sim(Args({"--control", Control, "--id", "4"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  Port port(Link);
  WriteFile(Control, "report-id=40\n");
  ASSERT_TRUE(sim.Sync());
  EXPECT_EQ(LogEvents(Log).back(), "control report-id=40");
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x28, 0x28}));
  ASSERT_TRUE(sim.Sync());
  const std::vector<std::string> events = LogEvents(Log);
  EXPECT_THAT(std::vector<std::string>(events.end() - 3, events.end()),
              ElementsAre("control report-id=40", "rx read fe 7e", "tx 28 28"));
}

// Rewritten in place within one tick of the file system's clock, the file
// keeps its size and times; the change must still count.
TEST_F(BoardsimProgram, ControlFileRewrittenInPlaceAtOnceStillCounts) {
  Boardsim sim(Args({"--control", Control}));
  ASSERT_FALSE(sim.WaitReady().empty());
  Port port(Link);
  const std::vector<std::pair<std::string, Bytes>> steps = {
      {"id=123\n", {123, 123}}, {"id=124\n", {124, 124}}, {"id=125\n", {125, 125}}};
  for (const auto& [content, answer] : steps) {
    std::ofstream(Control, std::ios::trunc) << content;
    EXPECT_EQ(port.Exchange(kRead, 2), answer) << content;
  }
}

// The log cannot hold the answer up: with the log's pipe full, so that
// the simulator cannot write a line, the answer still comes, and the lines
// written later carry the times of the events.
TEST_F(BoardsimProgram, AnswersBeforeItLogsAndStampsTheEventsTimes) {
  const std::string fifo = Dir / "log.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  Boardsim sim({"--link", Link, "--log", fifo, "--id", "7"});
  ASSERT_FALSE(sim.WaitReady().empty());
  const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(filler, 0);
  // Whole blocks first, then single bytes: a pipe takes a block only whole.
  const std::string junk(4096, '\n');
  for (size_t size : {junk.size(), size_t{1}}) {
    while (write(filler, junk.data(), size) > 0) {
    }
  }
  close(filler);

  Port port(Link);
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x07, 0x07}));
  constexpr int kHoldMs = 150;
  std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));

  // Drained, the pipe takes the held lines; a second exchange follows them.
  std::string text;
  auto drain = [&] {
    char chunk[4096];
    ssize_t n;
    while ((n = read(reader, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
  };
  drain();
  EXPECT_EQ(port.Exchange(kRead, 2), (Bytes{0x07, 0x07}));
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (StampedFrames(text).size() < 4 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    drain();
  }
  close(reader);

  const std::vector<Stamped> frames = StampedFrames(text);
  ASSERT_EQ(frames.size(), 4u) << text;
  EXPECT_EQ(frames[0].Event, "rx read fe 7e");
  EXPECT_EQ(frames[1].Event, "tx 07 07");
  EXPECT_LE(frames[0].Ms, frames[1].Ms);
  // Stamped when written, the first answer's line would be as late as the
  // second request, which came only after the hold.
  EXPECT_GE(frames[2].Ms - frames[1].Ms, kHoldMs - 1.0) << text;
}

// Requests that one read brings in arrived before the first answer left,
// and the log shows them so: that is how a late simulator shows.
TEST_F(BoardsimProgram, RequestsReadTogetherAreLoggedBeforeTheirAnswers) {
  Boardsim sim(Args({"--id", "7"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  Port port(Link);
  port.Send({0xFE, 0x7E, 0xFE, 0x7E});
  EXPECT_EQ(port.Receive(4), (Bytes{0x07, 0x07, 0x07, 0x07}));
  ASSERT_TRUE(sim.Sync());
  const std::vector<std::string> events = LogEvents(Log);
  EXPECT_THAT(std::vector<std::string>(events.begin() + 1, events.end()),
              ElementsAre("rx read fe 7e", "rx read fe 7e", "tx 07 07", "tx 07 07"));
}

TEST_F(BoardsimProgram, DelayHoldsTheWholeAnswer) {
  Boardsim sim(Args({"--mode", "delay=50"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  Port port(Link);
  const auto sent = Clock::now();
  port.Send(kRead);
  const Bytes first = port.Receive(1);
  const auto elapsed = Clock::now() - sent;
  ASSERT_EQ(first.size(), 1u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(45));
  EXPECT_EQ(port.Receive(1, 20).size(), 1u) << "the second byte follows at once";
}

class StopSignal : public BoardsimProgram, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignal, EndsCleanlyAndRemovesTheLink) {
  Boardsim sim(Args({}));
  ASSERT_FALSE(sim.WaitReady().empty());
  ASSERT_TRUE(fs::is_symlink(Link));
  sim.Signal(GetParam());
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link)));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM  ? "SIGTERM"
                                              : info.param == SIGINT ? "SIGINT"
                                                                     : "SIGHUP");
                         });

TEST_F(BoardsimProgram, EndsWhenAWatchedStdinCloses) {
  Boardsim sim(Args({"--watch-stdin"}));
  ASSERT_FALSE(sim.WaitReady().empty());
  sim.CloseStdin();
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link)));
}

TEST_F(BoardsimProgram, ReplacesAnOldLink) {
  fs::create_symlink("/nonexistent/tty", Link);
  Boardsim sim(Args({}));
  const std::string slave = sim.WaitReady();
  ASSERT_FALSE(slave.empty());
  EXPECT_EQ(fs::read_symlink(Link).string(), slave);
}

TEST_F(BoardsimProgram, NeverReplacesAFile) {
  WriteFile(Link, "keep me\n");
  Boardsim sim(Args({}), true);
  EXPECT_EQ(sim.WaitReady(), "");
  EXPECT_EQ(sim.WaitExit(), 1);
  std::ifstream file(Link);
  std::string text;
  std::getline(file, text);
  EXPECT_EQ(text, "keep me");
}

// Another simulator that took over the link keeps it.
TEST_F(BoardsimProgram, LeavesALinkThatIsNoLongerItsOwn) {
  Boardsim sim(Args({}));
  ASSERT_FALSE(sim.WaitReady().empty());
  fs::remove(Link);
  fs::create_symlink("/dev/null", Link);
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
  EXPECT_EQ(fs::read_symlink(Link).string(), "/dev/null");
}

class BadArguments : public BoardsimProgram,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(BadArguments, ExitWithUsageError) {
  std::vector<std::string> args = GetParam();
  for (std::string& arg : args) {
    if (arg == "LINK") arg = Link;
  }
  Boardsim sim(args, true);
  EXPECT_EQ(sim.WaitReady(), "");
  EXPECT_EQ(sim.WaitExit(), 2);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadArguments,
    ::testing::Values(std::vector<std::string>{},
                      std::vector<std::string>{"--id", "7"},
                      std::vector<std::string>{"--link", "LINK", "--mode", "bogus"},
                      std::vector<std::string>{"--link", "LINK", "--id", "256"},
                      std::vector<std::string>{"--link", "LINK", "--mode"},
                      std::vector<std::string>{"--link", "LINK", "--colour"}));

}  // namespace
