#include "Help.h"

#include <algorithm>

#include "Report.h"
#include "board_protocol.h"

namespace zefa::cli {
namespace {

const char Usage[] =
    "Usage:\n"
    "  zefa1id read --port PORT [--json] [--log FILE]\n"
    "  zefa1id write ID --port PORT [--verify] [--json] [--log FILE]\n"
    "  zefa1id scan [--ports PORT...] [--list] [--json] [--log FILE]\n"
    "  zefa1id station --ids FIRST-LAST --port PORT [--quiet] [--json] [--log FILE]\n"
    "  zefa1id --help | --version\n";

const char About[] =
    "\n"
    "Reads and sets the ID (0 to 31) of a ZEFA-1 board on a serial port, the way\n"
    "the ZEFA1 ID Programmer window does: 115200 baud, 8 data bits, no parity,\n"
    "1 stop bit, no flow control; each request is tried up to 10 times, waiting\n"
    "at most 30 ms for each byte of the answer; a write is sent three times and\n"
    "the ID in the board's third answer must be the ID written. The board must\n"
    "be the only device on the line.\n"
    "\n"
    "Unlike the window, zefa1id sends each request only once the line has been\n"
    "quiet for 30 ms, and sets aside what arrives until then: an answer that\n"
    "comes too late for its own request counts as none and is never taken for\n"
    "the answer of a later request, nor of a later run (a read with no board\n"
    "takes about 0.6 s instead of 0.3 s). Bytes that follow an answer (a second\n"
    "board, an echo) are counted and warned about; the outcome stays. A line\n"
    "that does not go quiet within 32 bytes gets no more requests.\n"
    "\n"
    "Commands:\n"
    "  read             print the board's ID\n"
    "  write ID         set the board's ID (0 to 31)\n"
    "  scan             probe every serial port with one read and list each:\n"
    "                   PORT, the ID (or -) and the message, a tab between them\n"
    "  station          number a batch of boards one after another (below)\n"
    "\n"
    "Options:\n";

const char PosixPortOption[] =
    "  --port PORT      the port's device path, such as /dev/ttyUSB0\n";
const char ComPortOption[] =
    "  --port PORT      the COM port: COM1, COM2, ... (COM10 and above too)\n";

const char CommonOptions[] =
    "  --verify         write: read the ID back afterwards; the write fails\n"
    "                   unless it is the ID written\n";

const char PosixPortsOption[] =
    "  --ports PORT...  scan: probe these ports instead of the machine's; a\n"
    "                   quoted pattern such as '/dev/ttyUSB*' is expanded\n";
const char ComPortsOption[] =
    "  --ports PORT...  scan: probe these COM ports instead of the machine's\n";

const char OutputOptions[] =
    "  --list           scan: list the ports without probing them\n"
    "  --ids FIRST-LAST station: the IDs to give, in order, 0 to 31 (5 alone is\n"
    "                   5-5)\n"
    "  --quiet          station: no terminal bell\n"
    "  --json           print one JSON object on standard output instead of text\n"
    "  --log FILE       append one CSV line for each read, write or probe to\n"
    "                   FILE: time,port,command,id,outcome,exit (id: the ID read\n"
    "                   or written; outcome: the message). A new file gets that\n"
    "                   header line first.\n"
    "  -h, --help       show this text\n"
    "  --version        show the version\n"
    "\n"
    "Output: read prints the ID on standard output; messages go to standard\n"
    "error, with a warning for surplus bytes. With --json, standard output\n"
    "carries one object: command, port, exit, outcome, message, id, requests,\n"
    "surplus_bytes (bytes that followed the board's answers); reason and\n"
    "detail for a port that cannot be used; for write also answer_id, verify,\n"
    "verified_id, acknowledged_passes (0 to 3: the passes that the board\n"
    "acknowledged) and board_may_have_changed (true when a write request went\n"
    "out and the write did not succeed); interrupted when a stop cut the run\n"
    "short; for scan a list of ports, each with status board, no-board or\n"
    "unavailable.\n"
    "\n"
    "When board_may_have_changed is true, the message line and the log's\n"
    "outcome end with:\n";

const char ExitIntro[] = "Exit status, outcome and message (the window's texts), with its meaning:\n";

const char MayHaveChangedGloss[] =
    "      the board's ID may have been changed: a write request reached the\n"
    "      line, so the board may hold the new ID or not; read it to see which\n"
    "\n";

const char ScanAndStop[] =
    "  scan exits 0 when a board answered on some port, 4 when ports opened but\n"
    "  none had a board, 3 when no port could be opened or there was none.\n"
    "\n";

const char StationNotes[] =
    "Station: waits for a board with a read at most 4 times a second, sending\n"
    "nothing else while no board answers, and says so on standard error:\n"
    "  次のボードを接続してください (board 1 of 8: ID 1)\n"
    "  (please connect the next board)\n"
    "A board that answers a read (an ID of 32 to 255 too) gets the next ID\n"
    "with the three-pass write and a read-back, and standard output gets one\n"
    "line: the board's position in the batch, the ID it had, the ID it has\n"
    "now (- when it did not say) and the message of the write, a tab between\n"
    "them; the terminal bell rings on each success and failure. The station\n"
    "then reads on, writing nothing, until reads have had no answer for a\n"
    "second (\"board 1 removed\"), and waits for the next board. A board is\n"
    "told from the next by that silence alone: take each board off before the\n"
    "next is connected. A board that fails keeps the ID it was to get: that\n"
    "ID is not given to another board, since the failed board may hold it;\n"
    "the next board gets the next ID, and a later run with --ids gives the\n"
    "failed ones. The run ends after the last ID, or on Ctrl+C, with a\n"
    "summary: numbered N of M; failed: IDS; left: IDS (such as 3-5,7).\n"
    "With --json, one object per board (kind \"board\": board, id,\n"
    "previous_id, current_id, exit, outcome, message and the write's own\n"
    "report as write) and one for the summary (kind \"summary\": exit,\n"
    "numbered, failed, left as lists of IDs). --log gets one line per board,\n"
    "command station, id the ID it was to get. Exit 0 when every ID was\n"
    "given, 4 when any failed, 3 when the port cannot be used; ended by a\n"
    "signal, it ends by it, and the summary's exit is the status it ends with.\n"
    "\n";

const char PosixNotes[] =
    "Ctrl+C, SIGTERM or SIGHUP: nothing more is sent, the port is put back, and\n"
    "a run that was cut short ends by that signal; its JSON exit and its log\n"
    "line say the status a shell then sees: 130 (SIGINT), 143 (SIGTERM) or 129\n"
    "(SIGHUP).\n"
    "\n"
    "Ports: scan looks for ttyUSB*, ttyACM*, ttyS* and ttyAMA* in /dev. A ttyS*\n"
    "node with no UART behind it is left out; a port that is the system console\n"
    "or the terminal zefa1id runs on is listed as busy and not probed, in the\n"
    "ports that a --ports pattern finds too. A path is opened only when it is a\n"
    "character device of a serial or pseudo-terminal driver that the system\n"
    "lists (/proc/tty/drivers); anything else (a file, a FIFO, /dev/null, the\n"
    "console device) is not-serial without being opened.\n"
    "\n"
    "Line errors: parity and framing errors are checked and marked, and a BREAK\n"
    "is reported rather than read as a NUL byte (INPCK, PARMRK); an attempt that\n"
    "received such a byte counts as one without an answer and is tried again.\n"
    "\n"
    "Exclusive use: while zefa1id uses a port it holds an flock(2) lock on it\n"
    "and sets TIOCEXCL. Another zefa1id, or any program that locks ports with\n"
    "flock, is kept out and zefa1id is kept out by them (busy, exit 3), also\n"
    "when run as root. TIOCEXCL keeps out programs that are not run as root,\n"
    "and zefa1id reports busy when another program has set it. A program that\n"
    "opens the port with neither is not kept out. The port's terminal settings\n"
    "are restored when zefa1id ends, after Ctrl+C or SIGTERM too.\n"
    "\n"
    "The exclusive flag stays set until the port's last user closes it. A\n"
    "zefa1id killed with SIGKILL cannot clear it: while any other program keeps\n"
    "the port open, the port is then busy, \"exclusive flag set (TIOCEXCL)\"\n"
    "(for a user other than root: \"Device or resource busy\"). Close every\n"
    "program using the port to clear it.\n";

const char WindowsNotes[] =
    "Ctrl+C: nothing more is sent, the port is closed, and a run that was cut\n"
    "short ends with the status of an interrupted program (0xC000013A), which\n"
    "its JSON exit and its log line give as %ERRORLEVEL% shows it\n"
    "(-1073741510).\n"
    "\n"
    "Ports: scan probes the COM ports that Windows lists. A port is opened for\n"
    "exclusive use: a port that another program holds is busy (exit 3).\n";

const char GlossIndent[] = "                           ";

// "  4  communication-failed  通信に失敗しました", then the meaning below it,
// one indented line for each line of meaning.
std::string ExitLine(int code, const char* outcome, const std::string& message, const std::string& meaning) {
  std::string name = outcome;
  name.resize(22, ' ');
  std::string text = "  " + (code < 0 ? std::string(" ") : std::to_string(code)) + "  " + name + message + "\n";
  size_t start = 0;
  while (start < meaning.size()) {
    const size_t end = std::min(meaning.find('\n', start), meaning.size());
    text += GlossIndent + meaning.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return text;
}

std::string ExitTable() {
  const std::string writeFailed = OutcomeText(WriteOutcome::WriteFailed);
  return ExitLine(0, "completed", OutcomeText(ReadOutcome::Completed), "reading complete") +
         ExitLine(-1, "succeeded", OutcomeText(WriteOutcome::Succeeded), "writing succeeded") +
         ExitLine(2, "usage", "bad arguments; nothing was sent", "") +
         ExitLine(3, "port-unavailable", PortUnusableMessage("PORT"),
                  "PORT cannot be used; the reason follows: missing,\n"
                  "busy, denied, not-serial, settings-refused or failed") +
         ExitLine(4, "communication-failed", OutcomeText(ReadOutcome::CommunicationFailed),
                  "communication failed: no complete answer in 10\n"
                  "attempts, a read answer of two different bytes, or\n"
                  "a write that the board did not acknowledge") +
         ExitLine(5, "set-again", OutcomeText(ReadOutcome::SetAgain),
                  "please set the ID again: the board reports an ID\n"
                  "of 32 to 255") +
         ExitLine(6, "write-failed", writeFailed,
                  "writing failed: the ID in the board's third answer\n"
                  "is not the ID written") +
         ExitLine(-1, "verify-failed", writeFailed, "writing failed: --verify read another ID back");
}

}  // namespace

std::string HelpText(PortSyntax syntax) {
  const bool com = syntax == PortSyntax::ComName;
  return std::string(Usage) + About + (com ? ComPortOption : PosixPortOption) + CommonOptions +
         (com ? ComPortsOption : PosixPortsOption) + OutputOptions +
         "  " + BoardMayHaveChangedText + "\n" + MayHaveChangedGloss + ExitIntro + ExitTable() +
         ScanAndStop + StationNotes + (com ? WindowsNotes : PosixNotes);
}

std::string UsageError(const std::string& error) {
  return "zefa1id: " + error + "\n" + Usage + "Try 'zefa1id --help' for more.\n";
}

}  // namespace zefa::cli
