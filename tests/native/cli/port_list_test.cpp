#include "PosixPortList.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

TEST(PortNameLess, OrdersNumbersByValue) {
  EXPECT_TRUE(PortNameLess("/dev/ttyS2", "/dev/ttyS10"));
  EXPECT_FALSE(PortNameLess("/dev/ttyS10", "/dev/ttyS2"));
  EXPECT_TRUE(PortNameLess("/dev/ttyACM5", "/dev/ttyS0"));
  EXPECT_TRUE(PortNameLess("/dev/ttyS01", "/dev/ttyS1"));  // equal numbers: by text
  EXPECT_FALSE(PortNameLess("/dev/ttyS1", "/dev/ttyS1"));
}

}  // namespace
}  // namespace zefa::cli
