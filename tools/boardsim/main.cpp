// boardsim: plays one ZEFA-1 board on a pseudo-terminal, for the tests and
// for trying the tool without a board.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "Files.h"
#include "Modes.h"
#include "Pty.h"
#include "Simulator.h"

namespace {

const char kUsage[] = R"(Usage: boardsim --link PATH [OPTION]...
Plays one ZEFA-1 board on a new pseudo-terminal (raw, 8-bit) and makes PATH
a symbolic link to its slave. Prints "ready SLAVE" on standard output once
it answers; removes PATH again when it ends (SIGTERM, SIGINT, SIGHUP).

Requests and answers:
  FE 7E                    read: answered "id id"
  FF 5A id chk             write, chk = (FF + 5A + id) mod 128: sets the ID
                           (0 to 255) and is answered "id 06"
  A wrong check byte or any other byte gets no answer; the scan goes on at
  the next byte, so noise before a request does not stop its answer.

Options:
  --link PATH       the link to make (required); an earlier link there is
                    replaced, anything else is left alone and an error
  --id N            the board's ID at start, 0 to 255 (default 0)
  --log FILE        log every event to FILE (truncated at start)
  --control FILE    read fault modes from FILE before each request and
                    at each sync
  --mode WORD       a fault mode (repeatable), as listed below
  --watch-stdin     also end when standard input reaches its end, so that
                    the simulator cannot outlive the program that feeds it;
                    each line read from it asks for a sync: what the pty
                    holds is taken in, the control file is read, due
                    answers are sent, the log is written, then "synced"
                    is printed on standard output
  --help            show this text

Fault modes (decimal numbers, or hexadecimal after 0x):
  normal               no fault (a word that says so)
  silent               no request is answered
  one-byte             only the first byte of each answer is sent (a write
                       still sets the ID)
  from-attempt=N       of a run of identical requests, only the Nth is
                       answered; the run ends with that answer or with a
                       different request (1 to 1000000)
  refuse-writes        writes are answered "id 15" with the ID unchanged
  read-mismatch        reads are answered "id id+1"
  extra=K              K bytes 55 follow each answer (0 to 4096)
  report-id=V          reads report V in both bytes (0 to 255)
  write-echo=V         write answers report V instead of the new ID ...
  write-echo-pass=P    ... on pass P (1, 2, 3) of each run of three answered
                       writes, or "always" (the default); a read request or
                       a change of modes starts the count again
  delay=MS             wait MS milliseconds before each answer, then send
                       its bytes together (0 to 60000)
  id=N                 set the ID to N (0 to 255) as the modes take effect
  board=N              board N (1 to 255, default 1) is on the line; each
                       board keeps its own ID, the --id value at start,
                       while another is on the line; id= sets the ID of
                       board N
  removed              no board on the line: nothing is answered
  unplug-after-writes=N  the board is removed once it has answered N
                       write requests (1 to 1000000)
  answers=N            only the first N requests are answered, the rest
                       not (1 to 1000000): a board that stops answering
  second-board=V       a second board of ID V (0 to 255) is on the line:
                       its answer follows each answer, in the same block;
                       it takes writes as the first board does
A request that a mode leaves unanswered has no effect on the board.

Control file: one or more words per line, '#' starts a comment. It is read
at start and before each request (only its status when that shows no
change since the last read); whenever its content has changed, the new
content replaces all modes in force (those of --mode too) and starts the
counts of from-attempt and write-echo-pass again. While it is missing or
empty at start, the --mode words hold; emptied or removed later, it means
normal. Content with a wrong word is ignored as a whole and logged.

Log lines (milliseconds since start on the monotonic clock), written just
after the answers they describe have gone out, each stamped with the time
of its event: an "rx" line when its bytes were read from the pty, a "tx"
line when its last byte was written to it; lines appear in time order:
  0.012 start id=7 normal         12.345 rx read fe 7e
  12.346 tx 07 07                 13.000 rx write ff 5a 03 5c
  13.100 rx bad fe 11             13.200 rx noise 41
  13.300 drop read (silent)       13.400 drop write (from-attempt 1/3)
  13.500 control delay=50         13.600 control rejected: REASON
  13.700 drop read (removed)      20.000 end board=1 id=12
At the end, one "end" line for each board that has been on the line.

Exit status: 0 after a stop signal or the end of a watched standard input,
1 when the pseudo-terminal, the link or the log fails, 2 on a usage error.
)";

struct Options {
  std::string Link;
  std::string LogPath;
  boardsim::Simulator::Settings Settings;
};

enum class ParseResult { Run, Help, Error };

bool ParseId(const std::string& text, uint8_t& id, std::string& error) {
  boardsim::Modes modes;
  if (!boardsim::ApplyModeWord("id=" + text, modes, error)) {
    error = "--id needs a number from 0 to 255: \"" + text + "\"";
    return false;
  }
  id = *modes.Id;
  return true;
}

// Takes the value of "--name VALUE" or "--name=VALUE".
bool TakeValue(int argc, char** argv, int& i, const std::string& name, std::string& value,
               std::string& error) {
  const std::string arg = argv[i];
  if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
    value = arg.substr(name.size() + 1);
    return true;
  }
  if (i + 1 >= argc) {
    error = name + " needs a value";
    return false;
  }
  value = argv[++i];
  return true;
}

bool Matches(const std::string& arg, const std::string& name) {
  return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
}

ParseResult ParseArguments(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string value;
    if (arg == "--help") return ParseResult::Help;
    if (arg == "--watch-stdin") {
      options.Settings.WatchStdin = true;
    } else if (Matches(arg, "--link")) {
      if (!TakeValue(argc, argv, i, "--link", options.Link, error)) return ParseResult::Error;
    } else if (Matches(arg, "--log")) {
      if (!TakeValue(argc, argv, i, "--log", options.LogPath, error)) return ParseResult::Error;
    } else if (Matches(arg, "--control")) {
      if (!TakeValue(argc, argv, i, "--control", options.Settings.ControlPath, error)) {
        return ParseResult::Error;
      }
    } else if (Matches(arg, "--id")) {
      if (!TakeValue(argc, argv, i, "--id", value, error) ||
          !ParseId(value, options.Settings.Id, error)) {
        return ParseResult::Error;
      }
    } else if (Matches(arg, "--mode")) {
      if (!TakeValue(argc, argv, i, "--mode", value, error) ||
          !boardsim::ApplyModeWord(value, options.Settings.CommandModes, error)) {
        return ParseResult::Error;
      }
    } else {
      error = "unknown argument \"" + arg + "\"";
      return ParseResult::Error;
    }
  }
  if (options.Link.empty()) {
    error = "--link PATH is required";
    return ParseResult::Error;
  }
  return ParseResult::Run;
}

// Turns the stop signals into a readable pipe, which the poll loop watches:
// the loop then ends where it is safe and the link is removed.
class StopSignals {
 public:
  StopSignals() {
    if (pipe(FFds) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    for (int fd : FFds) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    gWriteFd = FFds[1];
    struct sigaction action {};
    action.sa_handler = &StopSignals::OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    // A reader of our standard output that went away must not kill us.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
  }
  ~StopSignals() {
    close(FFds[0]);
    close(FFds[1]);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int ReadFd() const { return FFds[0]; }

 private:
  static void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    const ssize_t ignored = write(gWriteFd, &byte, 1);
    (void)ignored;
    errno = saved;
  }

  static int gWriteFd;
  int FFds[2] = {-1, -1};
};

int StopSignals::gWriteFd = -1;

class LinkGuard {
 public:
  LinkGuard(std::string path, std::string target)
      : FPath(std::move(path)), FTarget(std::move(target)) {}
  ~LinkGuard() { boardsim::RemoveLinkTo(FPath, FTarget); }
  LinkGuard(const LinkGuard&) = delete;
  LinkGuard& operator=(const LinkGuard&) = delete;

 private:
  std::string FPath;
  std::string FTarget;
};

void Serve(Options& options) {
  StopSignals stop;
  options.Settings.StopFd = stop.ReadFd();
  boardsim::EventLog log;
  if (!options.LogPath.empty()) log.Open(options.LogPath);
  boardsim::Pty pty;
  boardsim::Simulator simulator(options.Settings, log, pty.Master());

  boardsim::ReplaceSymlink(pty.SlavePath(), options.Link);
  LinkGuard link(options.Link, pty.SlavePath());
  std::printf("ready %s\n", pty.SlavePath().c_str());
  std::fflush(stdout);
  simulator.Run();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  switch (ParseArguments(argc, argv, options, error)) {
    case ParseResult::Help:
      std::fputs(kUsage, stdout);
      return 0;
    case ParseResult::Error:
      std::fprintf(stderr, "boardsim: %s\nTry 'boardsim --help'.\n", error.c_str());
      return 2;
    case ParseResult::Run:
      break;
  }
  try {
    Serve(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "boardsim: %s\n", e.what());
    return 1;
  }
  return 0;
}
