// SendFile, RecvFile and AbortTransfer: preconditions, questions and codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/automation/state.h"
#include "port/session.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/recording_reporter.h"
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
    RecordingReporter reporter;
};

using Errors = ErrorList;

TEST_F(TransferControlTest, ClosedPortGives111WithCommErrorAndNoBox) {
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 111);
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 111);
    EXPECT_EQ(reporter.list, (Errors{{111, 0}, {111, 0}}));
    EXPECT_TRUE(g_boxes.empty());
}

TEST_F(TransferControlTest, RunningTransferGives125AndCanBeAborted) {
    state.portOpen = 1;
    state.inFileTransfer = 1;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 125);
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 125);
    EXPECT_EQ(reporter.list, (Errors{{125, 0}, {125, 0}}));
    EXPECT_EQ(state.abortRequested.load(), 0);
    EXPECT_EQ(xmodem::AbortTransfer(state), 0);
    EXPECT_EQ(state.abortRequested.load(), 1);
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

TEST_F(TransferControlTest, AbortWithoutTransferGives126) {
    EXPECT_EQ(xmodem::AbortTransfer(state), 126);
    EXPECT_EQ(state.abortRequested.load(), 0);
    EXPECT_TRUE(reporter.list.empty());
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
    EXPECT_TRUE(reporter.list.empty());
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

TEST_F(TransferControlTest, MissingFileIsReportedEvenWithMessagesOff) {
    state.portOpen = 1;
    state.QcShowErrorMessage = 0;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 100);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(
        g_boxes[0].text,
        L"QE4006 \u30d5\u30a1\u30a4\u30eb a.bin \u306f\u5b58\u5728\u3057\u307e\u305b\u3093\u3002");
    EXPECT_EQ(g_boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(reporter.list.empty());
}

TEST_F(TransferControlTest, OutOfRangeProtocolStartsNothing) {
    state.portOpen = 1;
    g_fileExists = true;
    state.QcProtocol = 7;
    EXPECT_EQ(xmodem::SendFile(state, reporter, L"a.bin"), 0);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
}

long NeverRuns(ControlState&, const xmodem::BatchJob&, const xmodem::OverwriteQuestion&) {
    ADD_FAILURE() << "a batch started";
    return 0;
}

TEST_F(TransferControlTest, BatchSendChecksEveryNameBeforeAnythingStarts) {
    state.portOpen = 1;
    state.QcProtocol = 4;  // YModem
    {
        FILE* present = _wfopen(L"batch_present.bin", L"wb");
        ASSERT_NE(present, nullptr);
        fclose(present);
    }
    // Too long a piece anywhere in the list: 113, before any file is looked at.
    const std::wstring tooLong = L"batch_present.bin|" + std::wstring(300, L'a');
    EXPECT_EQ(xmodem::SendFile(state, reporter, tooLong.c_str(), &NeverRuns), 113);
    EXPECT_EQ(reporter.list, (Errors{{113, 0}}));
    EXPECT_TRUE(g_boxes.empty());
    // A later piece that names no file, or a pattern that matches none: its
    // name in the message and 100.
    for (const wchar_t* names :
         {L"batch_present.bin|batch_absent.bin", L"batch_present.bin|batch_none*.zz"}) {
        g_boxes.clear();
        EXPECT_EQ(xmodem::SendFile(state, reporter, names, &NeverRuns), 100) << names;
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_NE(g_boxes[0].text.find(std::wstring(names).substr(18)), std::wstring::npos);
    }
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
    _wremove(L"batch_present.bin");
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
    EXPECT_TRUE(reporter.list.empty());
}

// The host keeps pumping during the overwrite question: whatever it did
// meanwhile is seen before a worker starts.
std::function<void()> g_duringBox;
int BoxThatPumps(const wchar_t* text, UINT type) {
    if (g_duringBox) g_duringBox();
    return RecordBox(text, type);
}

TEST_F(TransferControlTest, PreconditionsHoldAgainAfterTheOverwriteQuestion) {
    xmodem::SetMessageBoxFunction(&BoxThatPumps);
    state.portOpen = 1;
    g_fileExists = true;
    // CloseComm during the question.
    g_duringBox = [this] { state.portOpen = 0; };
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 111);
    // Another transfer started during the question.
    state.portOpen = 1;
    g_duringBox = [this] { state.inFileTransfer = 1; };
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 125);
    EXPECT_EQ(reporter.list, (Errors{{111, 0}, {125, 0}}));
    // The control released during the question.
    state.inFileTransfer = 0;
    bool released = false;
    g_duringBox = [&released] { released = true; };
    EXPECT_EQ(xmodem::RecvFile(state, reporter, L"a.bin", [&released] { return released; }), -1);
    g_duringBox = nullptr;
    EXPECT_FALSE(scope.fake.Called("CreateThread"));
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_EQ(reporter.list.size(), 2u);
}

// A message the peer sends while the transfer is ending (here: while its
// failure message is up) raised its one event while the transfer owned the
// port. The transfer's end makes the watch thread look: it is announced.
TEST_F(TransferControlTest, BytesThatCameAsATransferEndedAreAnnouncedAfterIt) {
    xmodem::SetMessageBoxFunction(&BoxThatPumps);
    port::Session session(state, reporter);
    state.QcNotifyRecvChars = 1;
    ASSERT_EQ(session.OpenComm(), 0);
    ASSERT_TRUE(scope.fake.WaitForCalls("WaitCommEvent", 1));
    g_duringBox = [this] {
        scope.fake.Receive("hello");
        // Until the watch thread has passed it by (polled: the test's thread
        // waits on the fake's change signal meanwhile).
        for (int i = 0; i < 500 && scope.fake.CountCalls("WaitCommEvent") < 2; ++i) ::Sleep(10);
    };
    // The fake's disk creates nothing: the receive fails at once and shows QE4004.
    ASSERT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 0);
    const auto posts = scope.fake.WaitForPosts(2);
    g_duringBox = nullptr;
    size_t ends = 0, notices = 0;
    for (const PostedMessage& m : posts) {
        ends += m.message == WM_COMM_TRANSFEREND;
        notices += m.message == WM_COMM_RECV;
    }
    EXPECT_EQ(ends, 1u);
    EXPECT_EQ(notices, 1u);
    EXPECT_EQ(session.CloseComm(), 0);
}

BOOL CALLBACK FindDialog(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    if (GetClassNameW(window, name, 16) > 0 && std::wstring(name) == L"#32770") {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

TEST_F(TransferControlTest, CloseCommDoesNotWaitForAFailureBoxNobodySees) {
    xmodem::SetMessageBoxFunction(nullptr);  // the system's own, ownerless box
    port::Session session(state, reporter);
    ASSERT_EQ(session.OpenComm(), 0);
    state.QcShowErrorMessage = 1;
    // The fake's disk cannot create the file: the receive fails at once and
    // its worker shows QE4004.
    ASSERT_EQ(xmodem::RecvFile(state, reporter, L"a.bin"), 0);
    HWND box = nullptr;
    for (int i = 0; i < 200 && !box; ++i) {
        EnumThreadWindows(state.transferThreadId, &FindDialog, reinterpret_cast<LPARAM>(&box));
        if (!box) ::Sleep(50);
    }
    ASSERT_NE(box, nullptr) << "the worker shows no message box";
    short rc = -99;
    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread closer([&] {
        rc = session.CloseComm();
        SetEvent(closed);
    });
    const DWORD waited = WaitForSingleObject(closed, 20000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "CloseComm waits for the box";
    if (waited != WAIT_OBJECT_0) PostMessageW(box, WM_COMMAND, IDOK, 0);  // let it end
    closer.join();
    CloseHandle(closed);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(state.inFileTransfer.load(), 0);
    EXPECT_FALSE(state.transferThread);
    EXPECT_TRUE(scope.fake.Posted().empty());  // a transfer CloseComm stopped reports nothing
}

}  // namespace
}  // namespace qlr::test
