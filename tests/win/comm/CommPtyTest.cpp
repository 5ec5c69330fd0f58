// The component on the system's own serial calls: COM11 of the Wine prefix
// is a pseudo-terminal with the board simulator behind it (ID 7), COM12 has
// no device. Each test runs in its own process with its own simulator (see
// CMakeLists.txt), whose log the tests read through ZEFA_BOARD_LOG_WIN.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "CommSeam.h"
#include "CommTestSupport.h"

namespace {

constexpr int32_t kBoardPort = 11;
constexpr int32_t kEmptyPort = 12;
const std::string kReadRequest("\xFE\x7E", 2);

std::string BoardLog() {
  const char* path = std::getenv("ZEFA_BOARD_LOG_WIN");
  if (path == nullptr) return "";
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CommPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(&CommApi(), &SystemCommApi()) << "the system's serial calls";
    ASSERT_NE(std::getenv("ZEFA_BOARD_LOG_WIN"), nullptr) << "run under with-boardsim";
    comm.reset(new TCommX(nullptr));
    ApplyProgramSettings(*comm);
    comm->SetPortNo(kBoardPort);
  }
  void TearDown() override { comm.reset(); }

  // One exchange as the board protocol runs it: purge, request, then the
  // answer one byte at a time.
  std::string Exchange(const std::string& request, int answerBytes) {
    comm->PurgeReceive();
    EXPECT_TRUE(comm->SendString(request));
    std::string answer;
    for (int i = 0; i < answerBytes; ++i) {
      char byte = 0;
      const int32_t got = comm->ReceiveData(&byte, 1);
      if (got != 1) break;
      answer.push_back(byte);
    }
    return answer;
  }

  std::unique_ptr<TCommX> comm;
};

}  // namespace

TEST_F(CommPtyTest, AReadRequestIsAnsweredOneByteAtATime) {
  comm->Open();
  comm->SetDtr(true);  // a pseudo-terminal has no modem lines: nothing is reported
  comm->SetDtr(false);
  comm->PurgeSend();
  EXPECT_EQ(Exchange(kReadRequest, 2), "\x07\x07");
  EXPECT_NE(BoardLog().find("rx read fe 7e"), std::string::npos) << BoardLog();
  EXPECT_NE(BoardLog().find("tx 07 07"), std::string::npos) << BoardLog();
}

TEST_F(CommPtyTest, AWriteRequestSetsTheIdAndIsAcknowledged) {
  comm->Open();
  const std::string write("\xFF\x5A\x03\x5C", 4);
  EXPECT_EQ(Exchange(write, 2), "\x03\x06");
  EXPECT_EQ(Exchange(kReadRequest, 2), "\x03\x03");
}

TEST_F(CommPtyTest, NothingReceivedReturnsZeroAfterTheReceiveTimeOut) {
  comm->Open();
  PostedProbe probe;
  probe.Post();
  char byte = 0x55;
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), 0);
  const double took = NowMs() - start;
  EXPECT_GE(took, 25.0);
  EXPECT_LT(took, 500.0);
  EXPECT_EQ(probe.Handled(), 1);
  EXPECT_EQ(byte, 0x55);
}

TEST_F(CommPtyTest, APortWithoutADeviceCannotBeOpened) {
  comm->SetPortNo(kEmptyPort);
  try {
    comm->Open();
    ADD_FAILURE() << "no exception";
  } catch (const ECommError& e) {
    EXPECT_EQ(e.Message(), "ポートをオープンできませんでした");
  }
  EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(comm->TransThread(), nullptr);
}

TEST_F(CommPtyTest, ManyOpenCloseCyclesEachWithAnExchange) {
  const int threads = ProcessThreadCount();
  for (int i = 0; i < 6; ++i) {
    comm->Open();
    EXPECT_EQ(Exchange(kReadRequest, 2), "\x07\x07") << "cycle " << i;
    comm->Close();
    EXPECT_EQ(comm->Handle(), INVALID_HANDLE_VALUE);
  }
  EXPECT_EQ(ProcessThreadCount(), threads);
}

TEST_F(CommPtyTest, ANestedExchangeEndsTheWaitingRead) {
  // The system's purge does not end a pending read here; the component
  // ends it itself before the record is used again.
  comm->SetTimeOutReceive(3000);
  comm->Open();
  std::string inner;
  PostedProbe probe([&] { inner = Exchange(kReadRequest, 2); });
  probe.Post();
  char outer = '-';
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&outer, 1), -1);
  EXPECT_LT(NowMs() - start, 2500.0);
  EXPECT_EQ(inner, "\x07\x07");
  EXPECT_EQ(outer, '-');
}

TEST_F(CommPtyTest, CloseInsideTheWaitEndsTheRead) {
  comm->SetTimeOutReceive(3000);
  comm->Open();
  PostedProbe probe([&] { comm->Close(); });
  probe.Post();
  char byte = '-';
  const double start = NowMs();
  EXPECT_EQ(comm->ReceiveData(&byte, 1), -1);
  EXPECT_LT(NowMs() - start, 2500.0);
  EXPECT_EQ(byte, '-');
  comm->Open();
  EXPECT_EQ(Exchange(kReadRequest, 2), "\x07\x07");
}
