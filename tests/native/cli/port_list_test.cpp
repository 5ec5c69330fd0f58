#include "PosixPortList.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PosixSerialPort.h"

namespace zefa::cli {
namespace {

namespace fs = std::filesystem;

// A /dev and a /sys/class/tty made of plain files, removed at the end.
class PortTree : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zefa-ports-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FRoot = pattern;
    fs::create_directories(Dev());
    fs::create_directories(Sys());
  }
  void TearDown() override { fs::remove_all(FRoot); }

  std::string Dev() const { return (FRoot / "dev").string(); }
  std::string Sys() const { return (FRoot / "sys").string(); }

  void Node(const std::string& name) { std::ofstream(fs::path(Dev()) / name); }
  void SysFile(const std::string& path, const std::string& text) {
    const fs::path file = fs::path(Sys()) / path;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  std::vector<std::string> Names(const std::vector<PortEntry>& entries) const {
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(fs::path(entry.name).filename().string());
    return names;
  }

  fs::path FRoot;
};

TEST_F(PortTree, ListsSerialKindsInNaturalOrderAndLeavesOutUartsThatAreNotThere) {
  for (const char* name : {"ttyUSB10", "ttyUSB9", "ttyUSB0", "ttyACM0", "ttyS10", "ttyS2", "ttyS1", "ttyS0",
                           "ttyAMA0", "tty0", "tty", "ttyUSB", "ttyUSBx", "ttyprintk", "console", "null"}) {
    Node(name);
  }
  SysFile("ttyS0/type", "4\n");
  SysFile("ttyS1/type", "0\n");  // registered, but no UART
  SysFile("ttyS2/type", "4\n");
  // ttyS10 has no type to read: kept, its probe will tell.

  const std::vector<PortEntry> entries = ListSerialPorts(Dev(), Sys());
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"ttyACM0", "ttyAMA0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0",
                                                      "ttyUSB9", "ttyUSB10"}));
  EXPECT_EQ(entries.front().name, Dev() + "/ttyACM0");
  for (const auto& entry : entries) EXPECT_EQ(entry.skip.problem, PortProblem::None) << entry.name;
}

TEST_F(PortTree, ListsTheSystemConsoleAsBusyWithoutProbingIt) {
  Node("ttyS0");
  Node("ttyUSB0");
  SysFile("ttyS0/type", "4");
  SysFile("console/active", "tty0 ttyS0\n");

  const std::vector<PortEntry> entries = ListSerialPorts(Dev(), Sys());
  ASSERT_EQ(Names(entries), (std::vector<std::string>{"ttyS0", "ttyUSB0"}));
  EXPECT_EQ(entries[0].skip.problem, PortProblem::Busy);
  EXPECT_EQ(entries[0].skip.detail, "the system console");
  EXPECT_EQ(entries[1].skip.problem, PortProblem::None);
}

TEST_F(PortTree, AMissingDevFolderListsNothing) {
  EXPECT_TRUE(ListSerialPorts(Dev() + "/nothing", Sys()).empty());
}

TEST_F(PortTree, ExpandsPatternsAndKeepsOtherNamesAsGiven) {
  for (const char* name : {"a10", "a2", "a1", "b"}) Node(name);
  const std::string dev = Dev() + "/";
  const std::vector<PortEntry> entries =
      ExpandPortNames({dev + "b", dev + "a*", dev + "missing", dev + "z*", dev + "a1", dev + "a[12]"});
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"b", "a1", "a2", "a10", "missing"}));
}

// As this machine's kernel lists them.
const char TtyDrivers[] =
    "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
    "/dev/console         /dev/console    5       1 system:console\n"
    "/dev/ptmx            /dev/ptmx       5       2 system\n"
    "/dev/vc/0            /dev/vc/0       4       0 system:vtmaster\n"
    "usbserial            /dev/ttyUSB   188 0-511 serial\n"
    "serial               /dev/ttyS       4 64-111 serial\n"
    "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
    "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
    "unknown              /dev/tty        4 1-63 console\n"
    "a line that is not one\n";

TEST(TerminalDrivers, ParsesTheSystemsList) {
  const std::vector<TerminalDriver> drivers = ParseTerminalDrivers(TtyDrivers);
  ASSERT_EQ(drivers.size(), 9u);
  EXPECT_EQ(drivers[5].major, 4u);
  EXPECT_EQ(drivers[5].firstMinor, 64u);
  EXPECT_EQ(drivers[5].lastMinor, 111u);
  EXPECT_EQ(drivers[5].type, "serial");
  EXPECT_EQ(drivers[1].firstMinor, drivers[1].lastMinor);
  EXPECT_EQ(drivers[1].type, "system:console");
}

struct stat Device(unsigned major, unsigned minor) {
  struct stat status {};
  status.st_mode = S_IFCHR | 0660;
  status.st_rdev = makedev(major, minor);
  return status;
}

TEST(SerialDeviceProblem, OpensOnlySerialAndPseudoTerminals) {
  const std::vector<TerminalDriver> drivers = ParseTerminalDrivers(TtyDrivers);
  const struct {
    struct stat status;
    PortProblem problem;
    std::string detail;
  } cases[] = {
      {Device(4, 64), PortProblem::None, ""},       // ttyS0
      {Device(188, 3), PortProblem::None, ""},      // ttyUSB3
      {Device(136, 12), PortProblem::None, ""},     // pts/12
      {Device(4, 112), PortProblem::NotSerial, "not a terminal device"},  // past ttyS's minors
      {Device(1, 3), PortProblem::NotSerial, "not a terminal device"},    // /dev/null
      {Device(10, 130), PortProblem::NotSerial, "not a terminal device"},  // a watchdog
      {Device(5, 1), PortProblem::NotSerial, "a system terminal device (system:console), not a serial port"},
      {Device(5, 0), PortProblem::NotSerial, "a system terminal device (system:/dev/tty), not a serial port"},
      {Device(4, 0), PortProblem::NotSerial, "a system terminal device (system:vtmaster), not a serial port"},
      {Device(4, 2), PortProblem::NotSerial, "a virtual console, not a serial port"},
      {Device(128, 0), PortProblem::NotSerial, "a pseudo-terminal master, not a serial port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.detail);
    const PortError error = SerialDeviceProblem(c.status, drivers);
    EXPECT_EQ(error.problem, c.problem);
    EXPECT_EQ(error.detail, c.detail);
  }
  EXPECT_EQ(SerialDeviceProblem(Device(4, 64), {}).problem, PortProblem::NotSerial);  // no list: no port
}

TEST_F(PortTree, FilesThatAreNoDevicesAreNamedForWhatTheyAre) {
  const std::string file = Dev() + "/file";
  const std::string fifo = Dev() + "/fifo";
  Node("file");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string detail;
  } cases[] = {{file, "a regular file"}, {fifo, "a FIFO"}, {Dev(), "a directory"}};
  for (const auto& c : cases) {
    struct stat status {};
    ASSERT_EQ(stat(c.path.c_str(), &status), 0);
    const PortError error = SerialDeviceProblem(status, ParseTerminalDrivers(TtyDrivers));
    EXPECT_EQ(error.problem, PortProblem::NotSerial);
    EXPECT_EQ(error.detail, c.detail);
  }
}

TEST(MarkDecoder, GivesBackTheLinesBytesAndMarksErrors) {
  using Step = MarkDecoder::Step;
  const struct {
    std::vector<uint8_t> raw;
    std::vector<std::pair<Step, int>> out;  // each step that gave a byte, with the byte
  } cases[] = {
      {{0x07, 0x07}, {{Step::Byte, 0x07}, {Step::Byte, 0x07}}},
      {{0xFF, 0xFF}, {{Step::Byte, 0xFF}}},                      // FF doubled
      {{0xFF, 0x00, 0x00}, {{Step::Marked, 0x00}}},              // a BREAK
      {{0xFF, 0x00, 0x41, 0x42}, {{Step::Marked, 0x41}, {Step::Byte, 0x42}}},  // a framing error
      {{0xFF, 0x00, 0xFF}, {{Step::Marked, 0xFF}}},
      {{0xFF, 0x13}, {{Step::Marked, 0x13}}},                    // a mark lost
      {{0x00, 0xFF, 0xFF, 0x00}, {{Step::Byte, 0x00}, {Step::Byte, 0xFF}, {Step::Byte, 0x00}}},
  };
  for (const auto& c : cases) {
    MarkDecoder decoder;
    std::vector<std::pair<Step, int>> out;
    for (uint8_t raw : c.raw) {
      uint8_t byte = 0;
      const Step step = decoder.Take(raw, byte);
      if (step != Step::NeedMore) out.push_back({step, byte});
    }
    EXPECT_EQ(out, c.out);
    EXPECT_FALSE(decoder.Pending());
  }
  MarkDecoder decoder;
  uint8_t byte = 0;
  EXPECT_EQ(decoder.Take(0xFF, byte), Step::NeedMore);
  EXPECT_TRUE(decoder.Pending());
  decoder.Reset();
  EXPECT_EQ(decoder.Take(0x05, byte), Step::Byte);
  EXPECT_EQ(byte, 0x05);
}

TEST(PortNameLess, OrdersNumbersByValue) {
  EXPECT_TRUE(PortNameLess("/dev/ttyS2", "/dev/ttyS10"));
  EXPECT_FALSE(PortNameLess("/dev/ttyS10", "/dev/ttyS2"));
  EXPECT_TRUE(PortNameLess("/dev/ttyACM5", "/dev/ttyS0"));
  EXPECT_TRUE(PortNameLess("/dev/ttyS01", "/dev/ttyS1"));  // equal numbers: by text
  EXPECT_FALSE(PortNameLess("/dev/ttyS1", "/dev/ttyS1"));
}

}  // namespace
}  // namespace zefa::cli
