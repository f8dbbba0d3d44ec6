// SendFile, RecvFile and AbortTransfer: preconditions, questions and codes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "control/state.h"
#include "tests/unit/fake_platform.h"
#include "xmodem/engine.h"
#include "xmodem/transfer_control.h"

namespace qlr::test {
namespace {

struct Box {
    std::wstring text;
    UINT type;
};
std::vector<Box> g_boxes;
int g_answer = IDOK;
bool g_fileExists = false;

int RecordBox(const wchar_t* text, UINT type) {
    g_boxes.push_back(Box{text, type});
    return g_answer;
}
bool Probe(const wchar_t*) { return g_fileExists; }

class Reporter final : public qlr::Reporter {
public:
    void CommError(short major, long minor) override { errors.emplace_back(major, minor); }
    bool InRunMode() override { return true; }
    std::vector<std::pair<short, long>> errors;
};

class TransferControlTest : public ::testing::Test {
protected:
    TransferControlTest() {
        g_boxes.clear();
        g_answer = IDOK;
        g_fileExists = false;
        xmodem::SetMessageBoxFunction(&RecordBox);
        xmodem::SetFileProbeFunction(&Probe);
        state.notifyWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x4242));
    }
    ~TransferControlTest() override {
        xmodem::SetMessageBoxFunction(nullptr);
        xmodem::SetFileProbeFunction(nullptr);
    }

    FakePlatformScope scope;
    ControlState state;
    Reporter reporter;
};

using Errors = std::vector<std::pair<short, long>>;

TEST_F(TransferControlTest, ClosedPortGives111WithCommErrorAndNoBox) {
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 111);
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 111);
    EXPECT_EQ(reporter.errors, (Errors{{111, 0}, {111, 0}}));
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(TransferControlTest, RunningTransferGives125AndCanBeAborted) {
    state.portOpen = 1;
    state.inFileTransfer = 1;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 125);
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 125);
    EXPECT_EQ(reporter.errors, (Errors{{125, 0}, {125, 0}}));
    EXPECT_EQ(state.abortRequested.load(), 0);
    EXPECT_EQ(xmodem::AbortTransfer(state), 0);
    EXPECT_EQ(state.abortRequested.load(), 1);
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

TEST_F(TransferControlTest, AbortWithoutTransferGives126) {
    EXPECT_EQ(xmodem::AbortTransfer(state), 126);
    EXPECT_EQ(state.abortRequested.load(), 0);
    EXPECT_TRUE(reporter.errors.empty());
}

TEST_F(TransferControlTest, DeclinedOverwriteGivesMinusOneAndStartsNothing) {
    state.portOpen = 1;
    g_fileExists = true;
    g_answer = IDCANCEL;
    state.abortRequested = 1;
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), -1);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text,
              L"QE4005 \u30d5\u30a1\u30a4\u30eb a.bin \u304c\u5b58\u5728\u3057\u307e\u3059\u3002"
              L"\u4e0a\u66f8\u304d\u3057\u307e\u3059\u304b\uff1f");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OKCANCEL));
    EXPECT_EQ(state.abortRequested.load(), 1);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_TRUE(reporter.errors.empty());
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

TEST_F(TransferControlTest, MissingFileIsReportedEvenWithMessagesOff) {
    state.portOpen = 1;
    state.QcShowErrorMessage = 0;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 100);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text,
              L"QE4006 \u30d5\u30a1\u30a4\u30eb a.bin \u306f\u5b58\u5728\u3057\u307e\u305b\u3093\u3002");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(reporter.errors.empty());
}

TEST_F(TransferControlTest, OutOfRangeProtocolStartsNothing) {
    state.portOpen = 1;
    g_fileExists = true;
    state.QcProtocol = 7;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 0);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

TEST_F(TransferControlTest, WorkerRunsAtMappedPriorityAndPostsTheEndCode) {
    state.portOpen = 1;
    g_fileExists = true;  // the fake's disk cannot open it: the engine ends with 2102
    state.QcFileTransferPriority = 0;
    ASSERT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 0);
    auto posts = scope.fake.WaitForPosts(1);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].message, static_cast<UINT>(WM_COMM_TRANSFEREND));
    EXPECT_EQ(posts[0].wp, static_cast<WPARAM>(xmodem::kFileOpenFailed));
    EXPECT_EQ(posts[0].lp, 0);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_TRUE(scope.fake.Called("SetThreadPriority -2"));
    EXPECT_TRUE(g_boxes.empty());  // 2102 shows nothing
    EXPECT_EQ(xmodem::AbortTransfer(state), 126);
}

TEST_F(TransferControlTest, WorkerStoppedByCloseReportsNothing) {
    state.portOpen = 1;
    g_fileExists = true;
    state.transferClosing = 1;  // as CloseComm sets it while it stops the worker
    ASSERT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 0);
    HANDLE worker = state.transferThread.get();
    ASSERT_NE(worker, nullptr);
    ASSERT_EQ(WaitForSingleObject(worker, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(scope.fake.Posted().empty());
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(TransferControlTest, CreateThreadFailureGives118) {
    state.portOpen = 1;
    g_fileExists = true;
    scope.fake.FailNext("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 118);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0].text.compare(0, 7, L"QE4003 "), 0);
    EXPECT_TRUE(reporter.errors.empty());
}

}  // namespace
}  // namespace qlr::test
