// Opening, watching and closing the port against the fake platform.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "control/automation/state.h"
#include "port/line_settings.h"
#include "port/open_port.h"
#include "port/line_control.h"
#include "port/session.h"
#include "transfer/send.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/recording_reporter.h"

namespace qlr::test {
namespace {

std::pair<short, long> Error(short major, long minor) { return {major, minor}; }

HWND TestWindow() { return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x4242)); }

class PortSessionTest : public ::testing::Test {
protected:
    PortSessionTest() : session(state, reporter) { state.notifyWindow = TestWindow(); }
    ~PortSessionTest() override {
        if (state.portOpen.load()) session.CloseComm();
    }

    FakePlatform& fake() { return scope.fake; }
    std::string CallWith(const std::string& prefix) {
        for (const std::string& c : fake().Calls())
            if (c.compare(0, prefix.size(), prefix) == 0) return c;
        return {};
    }
    size_t IndexOf(const std::string& entry) {
        auto calls = fake().Calls();
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i] == entry) return i;
        return SIZE_MAX;
    }

    FakePlatformScope scope;
    ControlState state;
    RecordingReporter reporter;
    port::Session session;
};

TEST_F(PortSessionTest, OpenConfiguresThePortInOrder) {
    ASSERT_EQ(session.OpenComm(), 0);
    EXPECT_TRUE(session.IsOpen());
    EXPECT_TRUE(reporter.list.empty());
    EXPECT_EQ(CallWith("CreateFileA"),
              "CreateFileA COM1 access=0xC0000000 share=0x0 disp=0x3 flags=0x40000000");
    EXPECT_EQ(CallWith("SetupComm"), "SetupComm 1024 1024");
    EXPECT_EQ(CallWith("PurgeComm"), "PurgeComm 15");
    EXPECT_EQ(CallWith("SetCommTimeouts"), "SetCommTimeouts 0xFFFFFFFF 0 0 0 5000");
    EXPECT_EQ(CallWith("BuildCommDCBA"), "BuildCommDCBA COM1:9600,n,8,1");
    EXPECT_LT(IndexOf("SetCommMask 0x1"), IndexOf("CreateThread"));
    EXPECT_LT(IndexOf("CreateThread"), IndexOf("EscapeCommFunction 5"));  // SETDTR after the thread
    EXPECT_LT(IndexOf("EscapeCommFunction 5"), IndexOf("BuildCommDCBA COM1:9600,n,8,1"));
    EXPECT_EQ(state.hComm.load(), FakePlatform::PortHandle());
    ASSERT_TRUE(state.port);
    EXPECT_EQ(state.port->sendCapacity, 1024);
    EXPECT_EQ(state.port->recvCapacity, 1024);
    ASSERT_TRUE(state.port->sendBuffer && state.port->recvBuffer);

    const DCB dcb = fake().AppliedDcb();
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
}

TEST_F(PortSessionTest, SecondOpenAndDoubleCloseReportWithoutDisturbingTheSession) {
    ASSERT_EQ(session.OpenComm(), 0);
    EXPECT_EQ(session.OpenComm(), 112);
    EXPECT_TRUE(session.IsOpen());
    EXPECT_EQ(fake().CountCalls("CreateFileA"), 1u);
    EXPECT_EQ(session.CloseComm(), 0);
    EXPECT_EQ(session.CloseComm(), 111);
    ASSERT_EQ(reporter.list.size(), 2u);
    EXPECT_EQ(reporter.list[0], Error(112, 0));
    EXPECT_EQ(reporter.list[1], Error(111, 0));
}

TEST_F(PortSessionTest, CloseStopsTheWatcherThenLowersDtrPurgesAndReleasesEverything) {
    ASSERT_EQ(session.OpenComm(), 0);
    ASSERT_TRUE(fake().WaitForCalls("WaitCommEvent", 1));
    ASSERT_EQ(session.CloseComm(), 0);
    EXPECT_FALSE(session.IsOpen());
    const size_t maskOff = IndexOf("SetCommMask 0x0");
    const size_t dtrDown = IndexOf("EscapeCommFunction 6");
    const size_t closed = IndexOf("CloseHandle port");
    ASSERT_NE(maskOff, SIZE_MAX);
    EXPECT_LT(maskOff, dtrDown);
    EXPECT_LT(dtrDown, closed);
    EXPECT_LT(IndexOf("PurgeComm 15"), closed);
    EXPECT_FALSE(fake().PortOpen());
    EXPECT_EQ(fake().LiveThreads(), 0);
    EXPECT_EQ(fake().LiveEvents(), 0);
    EXPECT_FALSE(state.port);                                   // no buffers, no handle
    EXPECT_EQ(state.hComm.load(), FakePlatform::PortHandle());  // keeps its last value
}

TEST_F(PortSessionTest, EveryFailedOpenReportsItsCodeAndLeavesNothingBehind) {
    struct Case {
        const char* call;
        DWORD error;
        int skip;  // successful calls of that name before the failing one
        short major;
        long minor;
    };
    const Case cases[] = {
        {"CreateEventA", 8, 0, 116, 0},   {"CreateEventA", 8, 1, 116, 0},
        {"CreateFileA", 2, 0, 100, 2},    {"CreateThread", 8, 0, 118, 8},
        {"BuildCommDCBA", 87, 0, 101, 0}, {"SetCommState", 87, 0, 102, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " after " + std::to_string(c.skip));
        FakePlatform local;
        platform::Install(&local);
        local.FailNext(c.call, c.error, c.skip);
        ControlState s;
        s.notifyWindow = TestWindow();
        RecordingReporter r;
        port::Session sess(s, r);
        EXPECT_EQ(sess.OpenComm(), c.major);
        ASSERT_EQ(r.list.size(), 1u);
        EXPECT_EQ(r.list[0], std::make_pair(c.major, c.minor));
        EXPECT_FALSE(sess.IsOpen());
        EXPECT_FALSE(local.PortOpen());
        EXPECT_EQ(local.LiveThreads(), 0);
        EXPECT_EQ(local.LiveEvents(), 0);
        if (c.major == 100) {
            EXPECT_EQ(s.hComm.load(), INVALID_HANDLE_VALUE);
        }
        platform::Install(&fake());
    }
}

TEST_F(PortSessionTest, DeviceNamesAndSettingsStrings) {
    EXPECT_EQ(port::DeviceName(0), "COM1");
    EXPECT_EQ(port::DeviceName(8), "COM9");
    EXPECT_EQ(port::DeviceName(9), "\\\\.\\COM10");
    EXPECT_EQ(port::DeviceName(19), "\\\\.\\COM20");

    std::string text;
    state.QcDeviceName = 9;
    state.QcBaudRate = 12;
    state.QcByteSize = 0;
    ASSERT_TRUE(port::SettingsString(state, text));
    EXPECT_EQ(text, "\\\\.\\COM10:38400,n,7,1");
    state.QcCustomBaudRate = 250000;
    ASSERT_TRUE(port::SettingsString(state, text));
    EXPECT_EQ(text, "\\\\.\\COM10:250000,n,7,1");
    state.QcCustomBaudRate = 0;
    state.QcBaudRate = 15;  // outside the baud table
    EXPECT_FALSE(port::SettingsString(state, text));
    state.QcBaudRate = -1;
    EXPECT_FALSE(port::SettingsString(state, text));
}

TEST_F(PortSessionTest, OutOfTableSpeedIsRefusedAsRejectedSettings) {
    state.QcBaudRate = 99;
    EXPECT_EQ(session.OpenComm(), 101);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_FALSE(fake().Called("BuildCommDCBA"));
    EXPECT_EQ(fake().LiveThreads(), 0);
}

TEST_F(PortSessionTest, QueueSizesOfZeroOrLessUseTheDefault) {
    state.QcRecvQSize = 0;
    state.QcSendQSize = -5;
    ASSERT_EQ(session.OpenComm(), 0);
    EXPECT_EQ(CallWith("SetupComm"), "SetupComm 1024 1024");
    EXPECT_EQ(state.port->recvCapacity, 1024);
    EXPECT_EQ(state.port->sendCapacity, 1024);
}

TEST(LineSettings, ParityStopBitsAndFlowControlFields) {
    ControlState s;
    DCB dcb{};
    dcb.ByteSize = 8;
    s.QcParity = 1;
    port::ApplyLineProperties(s, dcb);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.Parity, ODDPARITY);
    s.QcParity = 7;  // any other nonzero value means even
    port::ApplyLineProperties(s, dcb);
    EXPECT_EQ(dcb.Parity, EVENPARITY);

    s.QcStopBits = 1;
    port::ApplyLineProperties(s, dcb);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.ByteSize, 5);

    DCB soft{};
    ControlState softState;
    softState.QcFlowControl = 1;
    softState.QcDTREnable = 0;
    port::ApplyLineProperties(softState, soft);
    EXPECT_EQ(soft.fOutX, 1u);
    EXPECT_EQ(soft.fInX, 1u);
    EXPECT_EQ(soft.XonChar, 0x11);
    EXPECT_EQ(soft.XoffChar, 0x13);
    EXPECT_EQ(soft.XonLim, 100);
    EXPECT_EQ(soft.XoffLim, 100);
    EXPECT_EQ(soft.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(soft.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));

    DCB hard{};
    ControlState h;
    h.QcFlowControl = 2;
    h.QcDTREnable = 0;
    h.QcRTSEnable = 0;
    h.QcNullDiscard = 1;
    port::ApplyLineProperties(h, hard);
    EXPECT_EQ(hard.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(hard.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(hard.fOutxCtsFlow, 1u);
    EXPECT_EQ(hard.fOutxDsrFlow, 1u);
    EXPECT_EQ(hard.fNull, 1u);
    EXPECT_EQ(hard.fErrorChar, 0u);  // no parity: no error character
    EXPECT_EQ(hard.fOutX, 0u);

    DCB hardParity{};
    h.QcParity = 2;
    h.QcParityReplace = com::Bstr(L"#x");
    port::ApplyLineProperties(h, hardParity);
    EXPECT_EQ(hardParity.fErrorChar, 1u);
    EXPECT_EQ(hardParity.ErrorChar, '#');
    h.QcParityReplace = com::Bstr(L"");
    port::ApplyLineProperties(h, hardParity);
    EXPECT_EQ(hardParity.ErrorChar, 0);
}

TEST(LineSettings, PriorityMapAndWatchMask) {
    EXPECT_EQ(port::ThreadPriority(0), THREAD_PRIORITY_LOWEST);
    EXPECT_EQ(port::ThreadPriority(4), THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(port::ThreadPriority(2), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(port::ThreadPriority(15), 15);                                 // passed on unchanged
    EXPECT_EQ(port::ThreadPriority(0x10003), THREAD_PRIORITY_ABOVE_NORMAL);  // low 16 bits

    ControlState s;
    EXPECT_EQ(port::WatchMask(s), 0x1B8u);
    s.QcNotifyRecvChars = -2;
    EXPECT_EQ(port::WatchMask(s), 0x1B9u);
    s.QcNotifySendComplete = 1;
    EXPECT_EQ(port::WatchMask(s), 0x1BDu);
}

// ---- the watch thread ----

class WatchThreadTest : public PortSessionTest {
protected:
    void Open() {
        const size_t waits = fake().CountCalls("WaitCommEvent");
        ASSERT_EQ(session.OpenComm(), 0);
        ASSERT_TRUE(fake().WaitForCalls("WaitCommEvent", waits + 1));
    }
    // Waits until the watcher is waiting again after n waits, so that what it
    // posted for the previous wake-up is complete.
    void AwaitWaits(size_t n) { ASSERT_TRUE(fake().WaitForCalls("WaitCommEvent", n)); }
    size_t CountPosted(UINT message) {
        size_t n = 0;
        for (const PostedMessage& m : fake().Posted()) n += m.message == message;
        return n;
    }
};

TEST_F(WatchThreadTest, ReceiveThresholdIsComparedUnsigned) {
    state.QcNotifyRecvChars = 10;
    Open();
    EXPECT_EQ(fake().Mask(), 0x1B9u);
    fake().Receive(4);
    AwaitWaits(2);
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 0u);
    fake().Receive(8);
    auto posted = fake().WaitForPosts(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_RECV));
    EXPECT_EQ(posted[0].window, TestWindow());

    session.CloseComm();
    fake().Posted();
    state.QcNotifyRecvChars = -2;  // armed, but never reached
    Open();
    EXPECT_EQ(fake().Mask(), 0x1B9u);
    const size_t waits = fake().CountCalls("WaitCommEvent");
    fake().SetQueues(0, 0);
    fake().Receive(5000);
    AwaitWaits(waits + 1);
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 1u);  // still only the first session's
}

TEST_F(WatchThreadTest, DefaultThresholdNeverArmsReceivedCharacters) {
    Open();
    EXPECT_EQ(fake().Mask(), 0x1B8u);
    fake().Receive(3);
    fake().RaiseEvents(EV_DSR);
    auto posted = fake().WaitForPosts(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_NOTIFY));
    EXPECT_EQ(posted[0].lp & EV_DSR, static_cast<LPARAM>(EV_DSR));
}

TEST_F(WatchThreadTest, ErrorWinsOverDataAndTheDataComesNextTime) {
    state.QcNotifyRecvChars = 0;
    Open();
    fake().SetLineErrors(CE_FRAME | CE_OVERRUN);
    fake().SetQueues(6, 0);
    fake().RaiseEvents(EV_ERR | EV_RXCHAR);
    auto posted = fake().WaitForPosts(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_ERROR));
    EXPECT_EQ(posted[0].wp, 124u);
    EXPECT_EQ(posted[0].lp, static_cast<LPARAM>(CE_FRAME | CE_OVERRUN));
    AwaitWaits(2);
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 0u);
    fake().RaiseEvents(EV_RXCHAR);
    posted = fake().WaitForPosts(2);
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].message, static_cast<UINT>(WM_COMM_RECV));
    // Errors that the look at received data finds (their own EV_ERR still to
    // come) are reported, not cleared away; their EV_ERR then posts nothing.
    fake().SetLineErrors(CE_RXPARITY);
    fake().SetQueues(9, 0);
    fake().RaiseEvents(EV_RXCHAR);
    posted = fake().WaitForPosts(4);
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[2].message, static_cast<UINT>(WM_COMM_ERROR));
    EXPECT_EQ(posted[2].lp, static_cast<LPARAM>(CE_RXPARITY));
    EXPECT_EQ(posted[3].message, static_cast<UINT>(WM_COMM_RECV));
    const size_t waits = fake().CountCalls("WaitCommEvent");
    fake().RaiseEvents(EV_ERR);
    AwaitWaits(waits + 1);
    EXPECT_EQ(fake().Posted().size(), 4u);
}

TEST_F(WatchThreadTest, ModemLinesRingAndTransmitEmpty) {
    state.QcNotifySendComplete = 1;
    Open();
    EXPECT_EQ(fake().Mask(), 0x1BCu);
    fake().RaiseEvents(EV_RING);
    fake().WaitForPosts(1);
    fake().RaiseEvents(EV_TXEMPTY);
    fake().WaitForPosts(2);
    state.QcNotifySendComplete = 0;  // cleared meanwhile: no more transmit-empty posts
    fake().RaiseEvents(EV_TXEMPTY);
    AwaitWaits(4);
    auto posted = fake().Posted();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_NOTIFY));
    EXPECT_EQ(posted[0].lp, static_cast<LPARAM>(EV_RING));
    EXPECT_EQ(posted[1].message, static_cast<UINT>(WM_COMM_SENDEMPTY));
}

TEST_F(WatchThreadTest, DuringAFileTransferReceivedDataIsNotAnnounced) {
    state.QcNotifyRecvChars = 1;
    Open();
    state.inFileTransfer = 1;
    fake().Receive(10);
    AwaitWaits(2);
    fake().SetLineErrors(CE_RXPARITY);
    fake().RaiseEvents(EV_ERR);
    auto posted = fake().WaitForPosts(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_ERROR));
    state.inFileTransfer = 0;
}

TEST_F(WatchThreadTest, PortWithoutEventWaitIsWatchedByLooking) {
    fake().SetWaitMode(FakePlatform::WaitMode::kUnsupported);
    state.QcNotifyRecvChars = 4;
    state.QcNotifySendComplete = 1;
    Open();
    // The watcher gives up waiting and looks at the port's status instead.
    ASSERT_TRUE(fake().WaitForCalls("ClearCommError", 3));
    fake().SetQueues(2, 0);
    ASSERT_TRUE(fake().WaitForCalls("ClearCommError", 6));
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 0u);
    fake().SetQueues(5, 0);
    auto posted = fake().WaitForPosts(1);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_COMM_RECV));
    // Bytes that stay queued are not announced again...
    const size_t looks = fake().CountCalls("ClearCommError");
    ASSERT_TRUE(fake().WaitForCalls("ClearCommError", looks + 5));
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 1u);
    // ...but new ones after a read are.
    state.readGeneration++;
    posted = fake().WaitForPosts(2);
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].message, static_cast<UINT>(WM_COMM_RECV));
    // A write that drained is reported as an emptied transmit queue.
    state.writeGeneration++;
    posted = fake().WaitForPosts(3);
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[2].message, static_cast<UINT>(WM_COMM_SENDEMPTY));
    // Line errors it can see are still reported.
    fake().SetLineErrors(CE_BREAK);
    posted = fake().WaitForPosts(4);
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[3].message, static_cast<UINT>(WM_COMM_ERROR));
    EXPECT_EQ(posted[3].lp, static_cast<LPARAM>(CE_BREAK));
    ASSERT_EQ(session.CloseComm(), 0);
    EXPECT_EQ(fake().LiveThreads(), 0);
}

TEST_F(WatchThreadTest, LevelTriggeredDataIsAnnouncedOnceAndDoesNotSpin) {
    fake().SetWaitMode(FakePlatform::WaitMode::kLevelTriggered);
    state.QcNotifyRecvChars = 1;
    Open();
    fake().Receive(3);
    fake().WaitForPosts(1);
    const DWORD start = GetTickCount();
    const size_t waitsBefore = fake().CountCalls("WaitCommEvent");
    while (GetTickCount() - start < 200) Sleep(20);
    const size_t waits = fake().CountCalls("WaitCommEvent") - waitsBefore;
    EXPECT_EQ(CountPosted(WM_COMM_RECV), 1u);
    // A spinning watcher would wait tens of thousands of times in 200 ms.
    EXPECT_LT(waits, 200u);
}

TEST_F(PortSessionTest, BaudRatePutIsReappliedOnlyToAnOpenPortInRunMode) {
    session.ReapplyBaudRate();
    EXPECT_FALSE(fake().Called("SetCommState"));
    ASSERT_EQ(session.OpenComm(), 0);
    const size_t applied = fake().CountCalls("SetCommState");
    reporter.runMode = false;
    state.QcBaudRate = 14;
    session.ReapplyBaudRate();
    EXPECT_EQ(fake().CountCalls("SetCommState"), applied);
    reporter.runMode = true;
    session.ReapplyBaudRate();
    EXPECT_EQ(fake().AppliedDcb().BaudRate, 115200u);
    EXPECT_TRUE(reporter.list.empty());
    fake().FailNext("SetCommState", 31);
    session.ReapplyBaudRate();
    ASSERT_EQ(reporter.list.size(), 1u);
    EXPECT_EQ(reporter.list[0], Error(102, 31));
    state.QcBaudRate = 40;  // outside the table: the port keeps its rate
    session.ReapplyBaudRate();
    EXPECT_EQ(fake().AppliedDcb().BaudRate, 115200u);
}

TEST_F(PortSessionTest, FlushPassesItsFlagsToTheOpenPortOnly) {
    EXPECT_EQ(session.FlushComm(10), 0);  // closed: nothing of ours to empty
    ASSERT_EQ(session.OpenComm(), 0);
    EXPECT_EQ(session.FlushComm(10), 0);
    EXPECT_EQ(fake().CountCalls("PurgeComm 10"), 1u);
    EXPECT_TRUE(reporter.list.empty());
}

// After CloseComm the control owns no handle: hComm keeps its last value, but
// the line, modem and flush calls never pass it (the system may have handed it
// to another object) and fail as on a closed handle.
TEST_F(PortSessionTest, ClosedPortPassesNoHandleToTheSystem) {
    ASSERT_EQ(session.OpenComm(), 0);
    ASSERT_EQ(session.CloseComm(), 0);
    const size_t before = fake().Calls().size();
    EXPECT_EQ(port::SetDTR(state, reporter), 120);
    EXPECT_EQ(port::ClearDTR(state, reporter), 119);
    EXPECT_EQ(port::SetRTS(state, reporter), 122);
    EXPECT_EQ(port::ClearRTS(state, reporter), 121);
    EXPECT_FALSE(port::ModemLine(state, reporter, MS_CTS_ON));
    EXPECT_EQ(session.FlushComm(PURGE_RXCLEAR), 0);
    EXPECT_EQ(reporter.list, (ErrorList{E(120, ERROR_INVALID_HANDLE), E(119, ERROR_INVALID_HANDLE),
                                        E(122, ERROR_INVALID_HANDLE), E(121, ERROR_INVALID_HANDLE),
                                        E(123, ERROR_INVALID_HANDLE)}));
    EXPECT_EQ(fake().Calls().size(), before);  // nothing reached the platform
    EXPECT_EQ(fake().StaleHandleCalls(), 0u);
    EXPECT_EQ(state.hComm.load(), FakePlatform::PortHandle());
}

// A pulled-out adapter: 130 once (minor: the system's error) through the
// window, the thread ends, CloseComm succeeds and frees everything, and the
// port opens again once the device is back.
TEST_F(PortSessionTest, VanishedDeviceIsReportedOnceAndThePortClosesAndReopens) {
    for (const auto mode :
         {FakePlatform::WaitMode::kWindows, FakePlatform::WaitMode::kUnsupported}) {
        SCOPED_TRACE(mode == FakePlatform::WaitMode::kWindows ? "event wait" : "polling");
        FakePlatform local;
        platform::Install(&local);
        local.SetWaitMode(mode);
        ControlState s;
        s.notifyWindow = TestWindow();
        RecordingReporter r;
        port::Session sess(s, r);
        ASSERT_EQ(sess.OpenComm(), 0);
        ASSERT_TRUE(local.WaitForCalls(
            mode == FakePlatform::WaitMode::kWindows ? "WaitCommEvent" : "ClearCommError", 1));
        local.Vanish(ERROR_BAD_COMMAND);
        auto posts = local.WaitForPosts(1);
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_EQ(posts[0].message, static_cast<UINT>(WM_COMM_ERROR));
        EXPECT_EQ(posts[0].wp, static_cast<WPARAM>(130));
        EXPECT_EQ(posts[0].lp, static_cast<LPARAM>(ERROR_BAD_COMMAND));
        // The thread has ended: no further look at the dead port.
        const size_t looks = local.CountCalls("ClearCommError");
        EXPECT_FALSE(local.WaitForCalls("ClearCommError", looks + 3, 300));
        com::Bstr text(L"x");
        EXPECT_EQ(transfer::SendString(s, r, text.get()), 106);
        EXPECT_EQ(sess.CloseComm(), 0);
        EXPECT_EQ(local.Posted().size(), 1u);
        EXPECT_EQ(local.LiveThreads(), 0);
        EXPECT_EQ(local.LiveEvents(), 0);
        EXPECT_EQ(sess.OpenComm(), 100);  // still away
        local.Back();
        EXPECT_EQ(sess.OpenComm(), 0);
        EXPECT_EQ(sess.CloseComm(), 0);
        platform::Install(&fake());
    }
}

// After FlushComm (or a transfer's reads) a message of the length last
// announced is announced again: no data waits in the queue unannounced.
TEST_F(PortSessionTest, MessageAfterAFlushIsAnnouncedEvenAtTheSameLength) {
    state.QcNotifyRecvChars = 1;
    ASSERT_EQ(session.OpenComm(), 0);
    ASSERT_TRUE(fake().WaitForCalls("WaitCommEvent", 1));
    fake().Receive("abc");
    ASSERT_EQ(fake().WaitForPosts(1).size(), 1u);
    ASSERT_TRUE(fake().WaitForCalls("WaitCommEvent", 2));
    EXPECT_EQ(session.FlushComm(PURGE_RXCLEAR), 0);
    fake().Receive("xyz");
    const auto posts = fake().WaitForPosts(2);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].message, static_cast<UINT>(WM_COMM_RECV));
}

}  // namespace
}  // namespace qlr::test
