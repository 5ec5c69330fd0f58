// Mode words, mode texts and the control file's changes.
#include "Modes.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace boardsim {
namespace {

struct WordCase {
  const char* Text;
  const char* Described;  // nullptr: refused
};

void PrintTo(const WordCase& c, std::ostream* out) { *out << '"' << c.Text << '"'; }

class ModeText : public ::testing::TestWithParam<WordCase> {};

TEST_P(ModeText, ParsesOrRefuses) {
  const WordCase& c = GetParam();
  Modes modes;
  std::string error;
  const bool ok = ApplyModeText(c.Text, modes, error);
  if (c.Described == nullptr) {
    EXPECT_FALSE(ok) << c.Text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(DescribeModes(modes), "normal") << "a refused text must change nothing";
  } else {
    EXPECT_TRUE(ok) << c.Text << ": " << error;
    EXPECT_EQ(DescribeModes(modes), c.Described);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Words, ModeText, ::testing::Values(
    WordCase{"", "normal"},
    WordCase{"normal", "normal"},
    WordCase{"silent", "silent"},
    WordCase{"one-byte", "one-byte"},
    WordCase{"refuse-writes", "refuse-writes"},
    WordCase{"read-mismatch", "read-mismatch"},
    WordCase{"from-attempt=10", "from-attempt=10"},
    WordCase{"extra=3", "extra=3"},
    WordCase{"report-id=32", "report-id=32"},
    WordCase{"report-id=0xff", "report-id=255"},
    WordCase{"write-echo=9", "write-echo=9 write-echo-pass=always"},
    WordCase{"write-echo=9 write-echo-pass=2", "write-echo=9 write-echo-pass=2"},
    WordCase{"write-echo-pass=3 write-echo=0x1F", "write-echo=31 write-echo-pass=3"},
    WordCase{"delay=50", "delay=50"},
    WordCase{"id=0", "id=0"},
    // Decimal even with a leading zero, never octal.
    WordCase{"id=010", "id=10"},
    WordCase{"delay=60000", "delay=60000"},
    WordCase{"from-attempt=1", "normal"},
    WordCase{"board=2 removed", "removed board=2"},
    WordCase{"board=1", "normal"},
    WordCase{"unplug-after-writes=1", "unplug-after-writes=1"},
    WordCase{"answers=2 second-board=9", "answers=2 second-board=9"}));

INSTANTIATE_TEST_SUITE_P(Refused, ModeText, ::testing::Values(
    WordCase{"loud", nullptr},
    WordCase{"silent=1", nullptr},
    WordCase{"extra", nullptr},
    WordCase{"extra=", nullptr},
    WordCase{"extra=-1", nullptr},
    WordCase{"extra=4097", nullptr},
    WordCase{"from-attempt=0", nullptr},
    WordCase{"id=256", nullptr},
    WordCase{"report-id=0x100", nullptr},
    WordCase{"report-id=7x", nullptr},
    WordCase{"delay=60001", nullptr},
    WordCase{"delay=99999999999999999999", nullptr},
    WordCase{"write-echo-pass=0", nullptr},
    WordCase{"write-echo-pass=4", nullptr},
    WordCase{"write-echo-pass=never", nullptr},
    WordCase{"0x", nullptr},
    WordCase{"board=0", nullptr},
    WordCase{"board=256", nullptr},
    WordCase{"removed=1", nullptr},
    WordCase{"unplug-after-writes=0", nullptr},
    // All or nothing: the good words before a bad one are not applied.
    WordCase{"silent extra=2 bogus", nullptr}));

INSTANTIATE_TEST_SUITE_P(Texts, ModeText, ::testing::Values(
    WordCase{"silent\nextra=2\n", "silent extra=2"},
    WordCase{"  silent   extra=2  \n\n", "silent extra=2"},
    WordCase{"# written by a test\nsilent # no answers\n#extra=2\n", "silent"},
    // A control file written with Windows line ends.
    WordCase{"silent\r\nextra=2\r\n", "silent extra=2"}));
// clang-format on

TEST(ControlTracker, OnlyAChangeOfContentCounts) {
  ControlTracker tracker;
  Modes modes;
  modes.Silent = true;  // as the command line gave them
  std::string error;

  // Missing or empty at start: the command-line modes stay.
  EXPECT_EQ(tracker.Update("", modes, error), ControlTracker::Change::None);
  EXPECT_TRUE(modes.Silent);

  // New content replaces every mode; it does not add to them.
  ASSERT_EQ(tracker.Update("extra=1\n", modes, error), ControlTracker::Change::Applied);
  EXPECT_EQ(DescribeModes(modes), "extra=1");
  EXPECT_EQ(tracker.Update("extra=1\n", modes, error), ControlTracker::Change::None);

  // A wrong word leaves the modes in force, and is reported once.
  EXPECT_EQ(tracker.Update("extra=1\nbogus\n", modes, error), ControlTracker::Change::Rejected);
  EXPECT_NE(error.find("bogus"), std::string::npos) << error;
  EXPECT_EQ(DescribeModes(modes), "extra=1");
  EXPECT_EQ(tracker.Update("extra=1\nbogus\n", modes, error), ControlTracker::Change::None);

  // Going back to earlier content is a change again.
  EXPECT_EQ(tracker.Update("extra=1\n", modes, error), ControlTracker::Change::Applied);

  // Emptied later, the file means normal.
  EXPECT_EQ(tracker.Update("", modes, error), ControlTracker::Change::Applied);
  EXPECT_EQ(DescribeModes(modes), "normal");
}

}  // namespace
}  // namespace boardsim
