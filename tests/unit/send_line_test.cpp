// Sending and line control against the fake platform.
#include <gtest/gtest.h>

#include <olectl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "control/automation/state.h"
#include "port/line_control.h"
#include "port/session.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/recording_reporter.h"
#include "tests/unit/trace_recorder.h"
#include "transfer/send.h"
#include "transfer/trace.h"

namespace qlr::test {
namespace {

using Bytes = std::vector<unsigned char>;

class SendTest : public ::testing::Test {
protected:
    SendTest() : session(state, errors) {}
    void Open(short sendQueue = 1024) {
        state.QcSendQSize = sendQueue;
        ASSERT_EQ(session.OpenComm(), 0);
        errors.list.clear();
    }
    ~SendTest() override {
        if (state.portOpen.load()) session.CloseComm();
    }
    FakePlatform& fake() { return scope.fake; }

    FakePlatformScope scope;
    ControlState state;
    RecordingReporter errors;
    port::Session session;
};

TEST_F(SendTest, ClosedPortIsReportedByEverySendButAnEmptySendByte) {
    com::Bstr text(L"x");
    EXPECT_EQ(transfer::SendString(state, errors, text.get()), 111);
    EXPECT_EQ(transfer::SendUnicodeString(state, errors, text.get()), 111);
    EXPECT_EQ(transfer::SendByte(state, errors, 3), 111);
    EXPECT_EQ(transfer::SendChar(state, errors, nullptr), 111);  // even for an empty text
    EXPECT_EQ(transfer::SendByte(state, errors, 0), 0);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>(4, E(111, 0))));
    EXPECT_TRUE(fake().Written().empty());
}

TEST_F(SendTest, TextModeAppendsCrLfAndCapacityCountsTheTextAlone) {
    Open();
    state.QcMode = 1;
    std::wstring full(1024, L'a');
    com::Bstr text(full.c_str(), 1024);
    ASSERT_EQ(transfer::SendString(state, errors, text.get()), 0);
    Bytes written = fake().Written();
    ASSERT_EQ(written.size(), 1026u);
    EXPECT_EQ(written[1024], 0x0D);
    EXPECT_EQ(written[1025], 0x0A);
    std::wstring over(1025, L'a');
    com::Bstr tooLong(over.c_str(), 1025);
    EXPECT_EQ(transfer::SendString(state, errors, tooLong.get()), 104);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>{E(104, 0)}));
    com::Bstr crlf(L"ok\r\n");
    ASSERT_EQ(transfer::SendString(state, errors, crlf.get()), 0);
    com::Bstr empty(L"");
    ASSERT_EQ(transfer::SendString(state, errors, empty.get()), 0);
    written = fake().Written();
    EXPECT_EQ(Bytes(written.begin() + 1026, written.end()),
              (Bytes{'o', 'k', 0x0D, 0x0A, 0x0D, 0x0A}));
}

TEST_F(SendTest, TextFromTheAnsiCodePageWithEmbeddedNulls) {
    Open();
    com::Bstr text(L"A\0B\u00E9", 4);
    ASSERT_EQ(transfer::SendString(state, errors, text.get()), 0);
    // é is one byte in the Western code pages and two in the Japanese one.
    const Bytes written = fake().Written();
    ASSERT_GE(written.size(), 4u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 3), (Bytes{'A', 0, 'B'}));
}

TEST_F(SendTest, UnicodeIsSentLowByteFirstWhateverTheMode) {
    Open();
    state.QcMode = 1;
    com::Bstr text(L"AB\u3042");
    ASSERT_EQ(transfer::SendUnicodeString(state, errors, text.get()), 0);
    EXPECT_EQ(fake().Written(), (Bytes{0x41, 0, 0x42, 0, 0x42, 0x30}));
    std::wstring big(513, L'x');
    com::Bstr over(big.c_str(), 513);
    EXPECT_EQ(transfer::SendUnicodeString(state, errors, over.get()), 104);
}

TEST_F(SendTest, PriorityCharacter) {
    Open();
    com::Bstr one(L"Z");
    EXPECT_EQ(transfer::SendChar(state, errors, one.get()), 0);
    com::Bstr several(L"XY");
    EXPECT_EQ(transfer::SendChar(state, errors, several.get()), 110);  // and X is still sent
    fake().FailNext("TransmitCommChar", 1117);
    EXPECT_EQ(transfer::SendChar(state, errors, several.get()), 109);  // replaces the 110
    com::Bstr empty(L"");
    EXPECT_EQ(transfer::SendChar(state, errors, empty.get()), 0);
    EXPECT_EQ(fake().Transmitted(), (Bytes{'Z', 'X'}));
    EXPECT_EQ(errors.list,
              (std::vector<std::pair<short, long>>{E(110, 0), E(110, 0), E(109, 1117)}));
    EXPECT_TRUE(fake().Written().empty());
}

TEST_F(SendTest, SendBufferIndexesValuesAndTheClosedPort) {
    short value = 0;
    // No buffer exists while the port is closed.
    EXPECT_EQ(transfer::GetSendBufferByte(state, 0, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    EXPECT_EQ(transfer::PutSendBufferByte(state, 0, 1), CTL_E_INVALIDPROPERTYARRAYINDEX);
    Open(8);
    EXPECT_EQ(transfer::PutSendBufferByte(state, 0, 256), CTL_E_INVALIDPROPERTYVALUE);
    EXPECT_EQ(transfer::PutSendBufferByte(state, 0, -1), S_OK);
    EXPECT_EQ(transfer::PutSendBufferByte(state, 1, 0x41), S_OK);
    EXPECT_EQ(transfer::GetSendBufferByte(state, 0, &value), S_OK);
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(transfer::GetSendBufferByte(state, 8, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    EXPECT_EQ(transfer::GetSendBufferByte(state, -1, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    EXPECT_EQ(transfer::SendByte(state, errors, 2), 0);
    EXPECT_EQ(fake().Written(), (Bytes{0xFF, 0x41}));
    EXPECT_EQ(transfer::SendByte(state, errors, 9), 104);
    EXPECT_EQ(transfer::SendByte(state, errors, -3), 104);  // never reads outside the buffer
    EXPECT_EQ(fake().Written().size(), 2u);
    EXPECT_TRUE(errors.list.size() == 2u && errors.list[1] == E(104, 0));
}

SAFEARRAY* ByteArray(LONG lower, const Bytes& bytes) {
    SAFEARRAYBOUND bound{static_cast<ULONG>(bytes.size()), lower};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(array, &data);
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
    return array;
}

TEST_F(SendTest, ByteArraysDirectByReferenceAndRefused) {
    Open();
    VARIANT direct;
    direct.vt = VT_ARRAY | VT_UI1;
    direct.parray = ByteArray(5, {1, 2, 3, 4, 5});
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, direct), 0);
    SAFEARRAY* held = ByteArray(-2, {9, 8});
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    byRef.pparray = &held;
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, byRef), 0);
    EXPECT_EQ(fake().Written(), (Bytes{1, 2, 3, 4, 5, 9, 8}));

    VARIANT shorts;
    SAFEARRAYBOUND bound{2, 0};
    shorts.vt = VT_ARRAY | VT_I2;
    shorts.parray = SafeArrayCreate(VT_I2, 1, &bound);
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, shorts), 128);
    VARIANT flat;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    flat.vt = VT_ARRAY | VT_UI1;
    flat.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, flat), 128);
    VARIANT number;
    number.vt = VT_I4;
    number.lVal = 3;
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, number), 128);
    EXPECT_TRUE(errors.list.empty());

    session.CloseComm();
    EXPECT_EQ(transfer::SendBinaryBytes(state, errors, direct), 0);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>{E(111, 0)}));
    VariantClear(&direct);
    VariantClear(&shorts);
    VariantClear(&flat);
    SafeArrayDestroy(held);
}

TEST_F(SendTest, PendingPartialWritesFailuresAndTheTimeOut) {
    Open();
    fake().SetWritesPend(true);
    fake().SetWriteChunk(3);
    com::Bstr text(L"abcdefgh");
    ASSERT_EQ(transfer::SendString(state, errors, text.get()), 0);
    EXPECT_EQ(fake().Written(), (Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_EQ(fake().CountCalls("WriteFile"), 3u);

    fake().FailNext("GetOverlappedResult", ERROR_OPERATION_ABORTED);
    EXPECT_EQ(transfer::SendString(state, errors, text.get()), 106);
    fake().SetWritesPend(false);
    fake().FailNext("WriteFile", ERROR_GEN_FAILURE);
    EXPECT_EQ(transfer::SendString(state, errors, text.get()), 106);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>{E(106, ERROR_OPERATION_ABORTED),
                                                                E(106, ERROR_GEN_FAILURE)}));
    EXPECT_TRUE(state.portOpen.load());

    // The time-out is tested after every write, the last one included.
    errors.list.clear();
    fake().SetWriteChunk(0);
    state.QcSendTimeOut = 100;
    fake().SetTickStep(150);
    EXPECT_EQ(transfer::SendString(state, errors, text.get()), 127);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>{E(127, 0)}));
    state.QcSendTimeOut = 0;  // none
    EXPECT_EQ(transfer::SendString(state, errors, text.get()), 0);
}

TEST_F(SendTest, CompletedSendsAreTracedFailedOnesAreNot) {
    TraceRecorder recorder;
    trace::InstallEndpoints(&recorder);
    Open();
    state.QcMode = 1;
    com::Bstr text(L"hi");
    transfer::SendString(state, errors, text.get());  // trace still off
    state.QcDebugTrace = 1;
    transfer::SendString(state, errors, text.get());
    transfer::SendUnicodeString(state, errors, text.get());
    transfer::SendChar(state, errors, text.get());  // never traced
    fake().FailNext("WriteFile", ERROR_GEN_FAILURE);
    transfer::SendString(state, errors, text.get());
    state.QcSendTimeOut = 10;
    fake().SetTickStep(50);
    transfer::SendString(state, errors, text.get());
    trace::InstallEndpoints(nullptr);
    ASSERT_EQ(recorder.records.size(), 2u);
    EXPECT_EQ(recorder.records[0], std::make_pair(Bytes{'h', 'i', 0x0D, 0x0A}, LONG{115}));
    EXPECT_EQ(recorder.records[1], std::make_pair(Bytes{'h', 0, 'i', 0}, LONG{115}));
}

TEST_F(SendTest, BreakDtrRtsAndModemLines) {
    EXPECT_EQ(port::SendBreak(state, errors), 111);
    EXPECT_EQ(port::ClearBreak(state, errors), 111);
    EXPECT_EQ(port::SetDTR(state, errors), 120);  // no open check: the platform refuses
    EXPECT_EQ(errors.list.back(), E(120, ERROR_INVALID_HANDLE));
    EXPECT_FALSE(port::ModemLine(state, errors, MS_CTS_ON));
    EXPECT_EQ(errors.list.back(), E(123, ERROR_INVALID_HANDLE));

    Open();
    EXPECT_EQ(port::SendBreak(state, errors), 0);
    EXPECT_EQ(port::ClearBreak(state, errors), 0);
    EXPECT_EQ(port::SetDTR(state, errors), 0);
    EXPECT_EQ(port::ClearDTR(state, errors), 0);
    EXPECT_EQ(port::SetRTS(state, errors), 0);
    EXPECT_EQ(port::ClearRTS(state, errors), 0);
    EXPECT_TRUE(errors.list.empty());
    // Only the line calls: the watch thread logs its own calls meanwhile.
    std::vector<std::string> line;
    for (const std::string& c : fake().Calls())
        if (c.find("Break") != std::string::npos || c.rfind("EscapeCommFunction", 0) == 0)
            line.push_back(c);
    ASSERT_GE(line.size(), 6u);
    const std::vector<std::string> tail(line.end() - 6, line.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"SetCommBreak", "ClearCommBreak",
                                              "EscapeCommFunction 5", "EscapeCommFunction 6",
                                              "EscapeCommFunction 3", "EscapeCommFunction 4"}));
    fake().FailNext("SetCommBreak", 5);
    EXPECT_EQ(port::SendBreak(state, errors), 108);
    fake().FailNext("ClearCommBreak", 6);
    EXPECT_EQ(port::ClearBreak(state, errors), 107);
    fake().FailNext("EscapeCommFunction", 31);
    EXPECT_EQ(port::ClearRTS(state, errors), 121);
    EXPECT_EQ(errors.list, (std::vector<std::pair<short, long>>{E(108, 0), E(107, 6), E(121, 31)}));

    fake().SetModemStatus(MS_RING_ON | MS_DSR_ON);
    EXPECT_TRUE(port::ModemLine(state, errors, MS_RING_ON));
    EXPECT_TRUE(port::ModemLine(state, errors, MS_DSR_ON));
    EXPECT_FALSE(port::ModemLine(state, errors, MS_CTS_ON));
    fake().FailNext("GetCommModemStatus", 50);
    EXPECT_FALSE(port::ModemLine(state, errors, MS_RING_ON));
    EXPECT_EQ(errors.list.back(), E(123, 50));
}

// SendChar fires 110 before it sends: a handler that closes the port then
// leaves nothing to send to, and no stale handle reaches the system.
TEST_F(SendTest, SendCharWhoseHandlerClosesThePortSendsNothing) {
    HandlerReporter r;
    port::Session sess(state, r);
    ASSERT_EQ(sess.OpenComm(), 0);
    r.onError = [&](short major) {
        if (major == 110) sess.CloseComm();
    };
    com::Bstr several(L"XY");
    EXPECT_EQ(transfer::SendChar(state, r, several.get()), 110);
    EXPECT_EQ(r.list, (ErrorList{E(110, 0)}));
    EXPECT_FALSE(fake().Called("TransmitCommChar"));
    EXPECT_FALSE(sess.IsOpen());
}

}  // namespace
}  // namespace qlr::test
