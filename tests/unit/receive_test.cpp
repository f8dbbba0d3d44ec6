// Receiving and the receive notification against the fake platform.
#include <gtest/gtest.h>

#include <olectl.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/automation/state.h"
#include "control/automation/dispatch.h"
#include "port/session.h"
#include "tests/unit/fake_platform.h"
#include "tests/unit/recording_reporter.h"
#include "tests/unit/trace_recorder.h"
#include "transfer/receive.h"
#include "transfer/trace.h"

namespace qlr::test {
namespace {

using Bytes = std::vector<unsigned char>;

std::wstring Take(BSTR text) {
    com::Bstr owned = com::Bstr::Attach(text);
    EXPECT_NE(text, nullptr);  // results are never null strings
    return std::wstring(owned.get() ? owned.get() : L"", owned.length());
}

class ReceiveTest : public ::testing::Test {
protected:
    ReceiveTest() : session(state, errors) {}
    ~ReceiveTest() override {
        if (state.portOpen.load()) session.CloseComm();
    }
    void Open(short recvQueue = 1024) {
        state.QcRecvQSize = recvQueue;
        ASSERT_EQ(session.OpenComm(), 0);
        errors.list.clear();
    }
    std::wstring Recv(short length) { return Take(transfer::RecvString(state, errors, length)); }
    FakePlatform& fake() { return scope.fake; }

    FakePlatformScope scope;
    ControlState state;
    RecordingReporter errors;
    port::Session session;
};

// ---- the read core ----

TEST_F(ReceiveTest, LengthIsCheckedBeforeThePortAndNegativeLengthsAreRefused) {
    state.QcRecvQSize = 1024;
    EXPECT_EQ(Recv(1025), L"");
    EXPECT_EQ(Recv(1024), L"");
    EXPECT_EQ(Recv(-1), L"");
    EXPECT_EQ(errors.list, (ErrorList{E(117, 0), E(111, 0), E(117, 0)}));
    Open(16);
    fake().Receive("abcdefghijklmnopq");
    errors.list.clear();
    EXPECT_EQ(Recv(17), L"");
    EXPECT_EQ(Take(transfer::RecvUnicodeString(state, errors, -2)), L"");
    EXPECT_EQ(transfer::ReadBytes(state, errors, static_cast<short>(-32768)), 0);
    EXPECT_EQ(errors.list, (ErrorList(3, E(117, 0))));
    EXPECT_FALSE(fake().Called("ReadFile"));
}

TEST_F(ReceiveTest, LineErrorsAreReportedAndTheQueuedBytesStay) {
    Open();
    fake().Receive("xy");
    fake().SetLineErrors(CE_FRAME | CE_OVERRUN);
    EXPECT_EQ(Recv(2), L"");
    EXPECT_EQ(errors.list, (ErrorList{E(105, CE_FRAME | CE_OVERRUN)}));
    EXPECT_EQ(Recv(2), L"xy");  // the errors were cleared by the first look
}

TEST_F(ReceiveTest, AFailingReadDropsWhatEarlierPassesGathered) {
    Open();
    fake().Receive("AB");
    fake().FailNext("ReadFile", ERROR_GEN_FAILURE, 1);
    EXPECT_EQ(Recv(4), L"");
    EXPECT_EQ(errors.list, (ErrorList{E(105, ERROR_GEN_FAILURE)}));
    EXPECT_TRUE(fake().Readable().empty());  // taken from the port all the same
}

TEST_F(ReceiveTest, ReadOfEverythingTakesTheQueueAsByteValuedCharacters) {
    Open();
    EXPECT_EQ(Recv(0), L"");  // nothing queued: no read, no error
    EXPECT_FALSE(fake().Called("ReadFile"));
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    fake().Receive(all);
    const std::wstring got = Recv(0);
    ASSERT_EQ(got.size(), 256u);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(got[b], static_cast<wchar_t>(b));
    state.QcMode = 1;
    fake().Receive("OK\r\n");
    EXPECT_EQ(Recv(0), L"OK\r\n");  // text mode is for counted reads only
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, AQueueCountBeyondTheCapacityIsReadOnlyUpToTheCapacity) {
    Open(16);
    fake().Receive(std::string(20, 'z'));
    fake().SetReportedInQueue(5000);
    EXPECT_EQ(Recv(0), std::wstring(16, L'z'));
    EXPECT_TRUE(fake().Called("ReadFile 16"));
    EXPECT_EQ(fake().Readable().size(), 4u);
}

TEST_F(ReceiveTest, ReadsLongerThanTheStringAreaComeWhole) {
    Open(8000);
    std::string big;
    for (int i = 0; i < 8000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    fake().Receive(big);
    const std::wstring got = Recv(8000);
    ASSERT_EQ(got.size(), 8000u);
    EXPECT_EQ(got[7999], static_cast<wchar_t>(big[7999]));
}

// ---- counted reads and the time-out ----

TEST_F(ReceiveTest, TimeOutReturnsThePartialBytesWithoutTextMode) {
    Open();
    state.QcRecvTimeOut = 200;
    state.QcMode = 1;
    fake().SetTickStep(50);
    fake().Receive("A\n");
    EXPECT_EQ(Recv(5), L"A\n");
    EXPECT_EQ(errors.list, (ErrorList{E(115, 0)}));
}

TEST_F(ReceiveTest, BytesCompletingAfterTheTimeOutStillReport115) {
    Open();
    state.QcRecvTimeOut = 200;
    fake().SetTickStep(150);  // start, then 150 and 300 ms after it
    fake().Receive("AB");
    fake().ReceiveAtRead(2, "CDE");
    EXPECT_EQ(Recv(5), L"ABCDE");
    EXPECT_EQ(errors.list, (ErrorList{E(115, 0)}));
}

TEST_F(ReceiveTest, CountedReadGathersOverPassesUntilComplete) {
    Open();
    fake().ReceiveAtRead(1, "ab");
    fake().ReceiveAtRead(3, "cd");
    EXPECT_EQ(Recv(4), L"abcd");
    EXPECT_EQ(fake().CountCalls("ReadFile"), 3u);
    EXPECT_TRUE(fake().Called("ReadFile 2"));  // the second pass asks only for what is missing
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, ADriverAnsweringAtOnceIsNotAskedInATightLoop) {
    Open();
    state.QcRecvTimeOut = 300;  // real ticks
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(Recv(1), L"");
    const DWORD spent = ::GetTickCount() - start;
    EXPECT_EQ(errors.list, (ErrorList{E(115, 0)}));
    EXPECT_GE(spent, 290u);
    EXPECT_LT(spent, 1000u);
    EXPECT_LT(fake().CountCalls("ReadFile"), 80u);
}

TEST_F(ReceiveTest, TextModeRemovesOnlyAFinalLineEnd) {
    Open();
    state.QcMode = 2;  // any mode but 0 counts as text
    const std::pair<std::string, std::wstring> cases[] = {
        {"OK\r\n", L"OK"}, {"OK\n", L"OK"},   {"OK\rX", L"OK\rX"}, {"OK\r", L"OK\r"},
        {"\nOK", L"\nOK"}, {"\r\r\n", L"\r"}, {"\n", L""},
    };
    for (const auto& c : cases) {
        fake().Receive(c.first);
        EXPECT_EQ(Recv(static_cast<short>(c.first.size())), c.second) << c.first;
    }
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, TheBytesAfterACompletedReadAndRemovedLineEndsAreZero) {
    Open();
    fake().Receive("12345");
    Recv(5);
    fake().Receive("abc");
    Recv(3);
    short value = -1;
    ASSERT_EQ(transfer::GetRecvBufferByte(state, 2, &value), S_OK);
    EXPECT_EQ(value, 'c');
    ASSERT_EQ(transfer::GetRecvBufferByte(state, 3, &value), S_OK);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(transfer::GetRecvBufferByte(state, 4, &value), S_OK);
    EXPECT_EQ(value, '5');  // untouched beyond
    state.QcMode = 1;
    fake().Receive("x\r\n");
    EXPECT_EQ(Recv(3), L"x");
    transfer::GetRecvBufferByte(state, 1, &value);
    EXPECT_EQ(value, 0);
    transfer::GetRecvBufferByte(state, 2, &value);
    EXPECT_EQ(value, 0);
}

// ---- reads that the driver leaves pending ----

TEST_F(ReceiveTest, APendingReadIsCompletedByArrivingBytes) {
    if (fake().WindowsSemantics())
        GTEST_SKIP() << "reads with the time-out record never pend on Windows";
    Open();
    fake().SetReadsPend(true);
    std::thread peer([this] {
        if (fake().WaitForCalls("ReadFile", 1)) fake().Receive("xyz");
    });
    EXPECT_EQ(Recv(3), L"xyz");
    peer.join();
    EXPECT_TRUE(errors.list.empty());
    EXPECT_FALSE(fake().Called("CancelIoEx"));
}

TEST_F(ReceiveTest, APendingReadIsCancelledAtTheTimeOutAndNeverLeftOutstanding) {
    if (fake().WindowsSemantics())
        GTEST_SKIP() << "reads with the time-out record never pend on Windows";
    Open();
    fake().SetReadsPend(true);
    state.QcRecvTimeOut = 100;  // real ticks
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(Recv(2), L"");
    EXPECT_LT(::GetTickCount() - start, 900u);  // the slice ends with the time-out
    EXPECT_EQ(errors.list, (ErrorList{E(115, 0)}));
    EXPECT_TRUE(fake().Called("CancelIoEx"));
    EXPECT_FALSE(fake().ReadPending());
    fake().Receive("ok");  // nothing outstanding takes these
    EXPECT_EQ(fake().Readable().size(), 2u);
    EXPECT_EQ(Recv(2), L"ok");
}

TEST_F(ReceiveTest, AfterASliceEndsTheNextPassStartsOnlyOnceTheReadIsCancelled) {
    if (fake().WindowsSemantics())
        GTEST_SKIP() << "reads with the time-out record never pend on Windows";
    Open();
    fake().SetReadsPend(true);  // no time-out: passes of a full slice
    std::thread peer([this] {
        if (fake().WaitForCalls("ReadFile", 2)) fake().Receive("late");
    });
    EXPECT_EQ(Recv(4), L"late");
    peer.join();
    EXPECT_TRUE(errors.list.empty());  // an overlapping read would fail in the fake
    EXPECT_EQ(fake().CountCalls("CancelIoEx"), 1u);
}

// ---- Unicode, the byte reader, binary arrays ----

TEST_F(ReceiveTest, UnicodePairsBytesLowFirstAndDropsAnOddLastByte) {
    Open();
    fake().Receive("\x42\x30");
    EXPECT_EQ(Take(transfer::RecvUnicodeString(state, errors, 2)), std::wstring(1, L'\x3042'));
    fake().Receive("abc");
    EXPECT_EQ(Take(transfer::RecvUnicodeString(state, errors, 3)), std::wstring(1, L'\x6261'));
    EXPECT_TRUE(fake().Readable().empty());  // the odd byte was read all the same
    state.QcMode = 1;
    fake().Receive(std::string("\n\x00z", 3));
    EXPECT_EQ(Take(transfer::RecvUnicodeString(state, errors, 0)), std::wstring(1, L'\n'));
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, ByteReaderCountsWhatItPlaced) {
    Open();
    fake().Receive("ab");
    EXPECT_EQ(transfer::ReadBytes(state, errors, 0), 2);
    EXPECT_EQ(transfer::ReadBytes(state, errors, 0), 0);
    state.QcRecvTimeOut = 10;
    fake().SetTickStep(20);
    fake().Receive("c");
    EXPECT_EQ(transfer::ReadBytes(state, errors, 3), 1);
    EXPECT_EQ(errors.list, (ErrorList{E(115, 0)}));
}

class ByteArray {
public:
    explicit ByteArray(ULONG count, LONG lower = 0) {
        SAFEARRAYBOUND bound{count, lower};
        var_->vt = VT_ARRAY | VT_UI1;
        var_->parray = SafeArrayCreate(VT_UI1, 1, &bound);
        Fill('.');
    }
    void Fill(unsigned char b) {
        unsigned char* data = nullptr;
        SafeArrayAccessData(var_->parray, reinterpret_cast<void**>(&data));
        for (ULONG i = 0; i < var_->parray->rgsabound[0].cElements; ++i) data[i] = b;
        SafeArrayUnaccessData(var_->parray);
    }
    std::string Text() const {
        unsigned char* data = nullptr;
        SafeArrayAccessData(var_->parray, reinterpret_cast<void**>(&data));
        std::string out(data, data + var_->parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(var_->parray);
        return out;
    }
    VARIANT* get() { return var_.get(); }

private:
    com::Variant var_;
};

VARIANT Missing() {
    VARIANT v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

VARIANT I2(short n) {
    VARIANT v;
    v.vt = VT_I2;
    v.iVal = n;
    return v;
}

TEST_F(ReceiveTest, BinaryBytesRefusesWhatIsNotAByteArrayOrALength) {
    Open();
    fake().Receive("abc");
    com::Variant notArray;
    notArray->vt = VT_I2;
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, notArray.get(), Missing()), 128);
    com::Variant twoDims;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    twoDims->vt = VT_ARRAY | VT_UI1;
    twoDims->parray = SafeArrayCreate(VT_UI1, 2, bounds);
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, twoDims.get(), Missing()), 128);
    ByteArray array(4);
    com::Variant text;
    text->vt = VT_BSTR;
    text->bstrVal = SysAllocString(L"3");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), *text.get()), 128);
    VARIANT otherError = Missing();
    otherError.scode = E_FAIL;
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), otherError), 128);
    EXPECT_FALSE(fake().Called("ReadFile"));
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, BinaryBytesWithoutLengthReadsWhatTheArrayCanHold) {
    Open();
    ByteArray array(4, 1);  // any lower bound
    fake().Receive("0123456789");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), Missing()), 0);
    EXPECT_TRUE(fake().Called("ReadFile 4"));  // a counted read of the array's size
    EXPECT_EQ(array.Text(), "0123");
    fake().PurgeComm(FakePlatform::PortHandle(), PURGE_RXCLEAR);
    fake().Receive("xyz");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), Missing()), 0);
    EXPECT_EQ(array.Text(), "xyz3");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), Missing()), 129);
    ByteArray empty(0);
    fake().Receive("q");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, empty.get(), Missing()), 129);
    EXPECT_EQ(fake().Readable().size(), 1u);  // left for a later read
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, BinaryBytesWithALengthReadsItWhateverTheArraySize) {
    Open();
    ByteArray array(4);
    fake().Receive("abcdefgh");
    VARIANT length;
    length.vt = VT_I4;
    length.lVal = 0x10008;  // taken as 16 bits: 8
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), length), 0);
    EXPECT_EQ(array.Text(), "abcd");
    EXPECT_TRUE(fake().Readable().empty());  // the other four are gone
    SAFEARRAY* inner = array.get()->parray;
    com::Variant byRef;
    byRef->vt = VT_BYREF | VT_ARRAY | VT_UI1;
    byRef->pparray = &inner;
    fake().Receive("zz");
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, byRef.get(), I2(2)), 0);
    byRef->vt = VT_EMPTY;  // the array stays owned by `array`
    EXPECT_EQ(array.Text(), "zzcd");
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(ReceiveTest, BinaryBytesOnAClosedPortReports111And129) {
    ByteArray array(4);
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), I2(5)), 129);
    EXPECT_EQ(transfer::RecvBinaryBytes(state, errors, array.get(), Missing()), 129);
    EXPECT_EQ(errors.list, (ErrorList{E(111, 0)}));  // the count of a closed port is just 0
    EXPECT_EQ(array.Text(), "....");
}

// ---- counts, RecvBuffer, trace ----

TEST_F(ReceiveTest, InBufferCountIsZeroWhenClosedOrAfterALineError) {
    EXPECT_EQ(transfer::InBufferCount(state, errors), 0);
    Open();
    fake().Receive("abc");
    EXPECT_EQ(transfer::InBufferCount(state, errors), 3);
    fake().SetLineErrors(CE_RXPARITY);
    EXPECT_EQ(transfer::InBufferCount(state, errors), 0);
    EXPECT_EQ(errors.list, (ErrorList{E(105, CE_RXPARITY)}));
}

TEST_F(ReceiveTest, RecvBufferIsBoundedByTheCapacityAndAbsentWhileClosed) {
    short value = 7;
    EXPECT_EQ(transfer::GetRecvBufferByte(state, 0, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    Open(16);
    state.QcRecvQSize = 2000;  // takes effect at the next open
    fake().Receive(std::string(1, '\xE9'));
    EXPECT_EQ(Recv(1), std::wstring(1, L'\xE9'));
    EXPECT_EQ(transfer::GetRecvBufferByte(state, 0, &value), S_OK);
    EXPECT_EQ(value, 0xE9);
    EXPECT_EQ(transfer::GetRecvBufferByte(state, 15, &value), S_OK);
    EXPECT_EQ(transfer::GetRecvBufferByte(state, 16, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    EXPECT_EQ(transfer::GetRecvBufferByte(state, -1, &value), CTL_E_INVALIDPROPERTYARRAYINDEX);
    EXPECT_EQ(Recv(17), L"");
    EXPECT_EQ(errors.list, (ErrorList{E(117, 0)}));
}

TEST_F(ReceiveTest, CompletedReadsAreTracedAfterTheLineEndPartialOnesAreNot) {
    TraceRecorder recorder;
    trace::InstallEndpoints(&recorder);
    Open();
    state.QcDebugTrace = 1;
    state.QcMode = 1;
    fake().Receive("ab\r\n");
    Recv(4);
    fake().Receive("cd\n");
    Recv(0);
    fake().Receive("e");
    state.QcRecvTimeOut = 10;
    fake().SetTickStep(20);
    Recv(2);
    trace::InstallEndpoints(nullptr);
    ASSERT_EQ(recorder.records.size(), 2u);
    EXPECT_EQ(recorder.records[0], std::make_pair(Bytes{'a', 'b'}, LONG{114}));
    EXPECT_EQ(recorder.records[1], std::make_pair(Bytes{'c', 'd', '\n'}, LONG{114}));
}

TEST_F(ReceiveTest, ReadsBumpTheGenerationTheWatchThreadCompares) {
    Open();
    const unsigned before = state.readGeneration.load();
    Recv(0);  // nothing read
    EXPECT_EQ(state.readGeneration.load(), before);
    fake().Receive("a");
    Recv(1);
    EXPECT_NE(state.readGeneration.load(), before);
}

// ---- the receive notification ----

struct Delivered {
    bool var;
    VARTYPE vt;
    std::wstring text;
    unsigned char byte;
};

class Recorder final : public dispatch::ReceiveEvents {
public:
    void CommRecv(BSTR* text) override {
        list.push_back(Delivered{false, *text ? VT_BSTR : VT_EMPTY,
                                 *text ? std::wstring(*text, SysStringLen(*text)) : L"", 0});
        if (replace) {  // what the sink leaves is the handler's to free
            SysFreeString(*text);
            *text = SysAllocString(L"replaced");
        }
        if (onEvent) onEvent();
    }
    void CommRecvVar(const VARIANT& data) override {
        Delivered d{true, data.vt, L"", 0};
        if (data.vt == VT_BSTR) d.text.assign(data.bstrVal, SysStringLen(data.bstrVal));
        if (data.vt == VT_UI1) d.byte = data.bVal;
        list.push_back(d);
        if (onEvent) onEvent();
    }
    std::vector<Delivered> list;
    bool replace = false;
    std::function<void()> onEvent;
};

class NotificationTest : public ReceiveTest {
protected:
    void Notify() { dispatch::ReceiveNotification(state, errors, events); }
    void Set(VARIANT_BOOL notifyOnly, long chars, long type) {
        state.QcRecvNotifyOnly = notifyOnly;
        state.QcNotifyRecvChars = chars;
        state.QcRecvEventType = type;
    }
    Recorder events;
};

TEST_F(NotificationTest, NotifyOnlyFiresOnceWithNothingAndLeavesTheData) {
    Open();
    fake().Receive("abc");
    Set(1, 1, dispatch::kAsString);
    Notify();
    Set(1, -1, dispatch::kAsVariantBinary);
    Notify();
    ASSERT_EQ(events.list.size(), 2u);
    EXPECT_FALSE(events.list[0].var);
    EXPECT_EQ(events.list[0].vt, VT_EMPTY);  // a null string
    EXPECT_TRUE(events.list[1].var);
    EXPECT_EQ(events.list[1].vt, VT_EMPTY);
    EXPECT_EQ(fake().Readable().size(), 3u);
}

TEST_F(NotificationTest, OneCharacterThresholdDeliversEachByteAlone) {
    Open();
    fake().Receive("abc");
    Set(0, 1, dispatch::kAsString);
    events.replace = true;
    Notify();
    fake().Receive("de");
    Set(0, 1, dispatch::kAsVariantString);
    Notify();
    ASSERT_EQ(events.list.size(), 5u);
    const wchar_t* expected = L"abcde";
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(events.list[i].var, i >= 3);
        EXPECT_EQ(events.list[i].vt, VT_BSTR);
        EXPECT_EQ(events.list[i].text, std::wstring(1, expected[i]));
    }
    EXPECT_TRUE(errors.list.empty());
}

TEST_F(NotificationTest, BinaryDeliveryIsByteByByteWhateverTheThreshold) {
    Open();
    fake().Receive(std::string("\x01\x00\xFF\x7F\x80", 5));
    Set(0, 10, dispatch::kAsVariantBinary);
    Notify();
    ASSERT_EQ(events.list.size(), 5u);
    const unsigned char expected[] = {0x01, 0x00, 0xFF, 0x7F, 0x80};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(events.list[i].vt, VT_UI1);
        EXPECT_EQ(events.list[i].byte, expected[i]);
    }
}

TEST_F(NotificationTest, OtherThresholdsDeliverOneBlock) {
    Open();
    fake().Receive("twelve bytes");
    Set(0, 10, dispatch::kAsString);
    Notify();
    fake().Receive("more\n");
    state.QcMode = 1;  // a read of everything keeps its line end
    Set(0, -2, dispatch::kAsVariantString);
    Notify();
    ASSERT_EQ(events.list.size(), 2u);
    EXPECT_EQ(events.list[0].text, L"twelve bytes");
    EXPECT_FALSE(events.list[0].var);
    EXPECT_EQ(events.list[1].text, L"more\n");
    EXPECT_EQ(events.list[1].vt, VT_BSTR);
}

TEST_F(NotificationTest, UnknownEventTypesDoNothing) {
    Open();
    fake().Receive("abc");
    Set(0, 1, 3);
    Notify();
    Set(0, -1, -1);
    Notify();
    EXPECT_TRUE(events.list.empty());
    EXPECT_EQ(fake().Readable().size(), 3u);
}

TEST_F(NotificationTest, AfterCloseBlockDeliveryFiresEmptyAndByteDeliveryNothing) {
    Set(0, -1, dispatch::kAsString);
    Notify();
    Set(0, 1, dispatch::kAsString);
    Notify();
    Set(0, 1, dispatch::kAsVariantBinary);
    Notify();
    ASSERT_EQ(events.list.size(), 1u);
    EXPECT_EQ(events.list[0].text, L"");
    EXPECT_EQ(errors.list, (ErrorList{E(111, 0)}));
}

TEST_F(NotificationTest, ASinkThatClosesThePortEndsByteDelivery) {
    Open();
    fake().Receive("abcd");
    Set(0, 1, dispatch::kAsVariantBinary);
    events.onEvent = [this] { session.CloseComm(); };
    Notify();
    EXPECT_EQ(events.list.size(), 1u);
    EXPECT_TRUE(errors.list.empty());
}

// A CommError handler that closes or reopens the port inside a read that
// timed out: the read's result is built before the event, from its own bytes.
TEST_F(ReceiveTest, TimeOutHandlerThatClosesOrReopensThePortGetsTheBytesRead) {
    for (const bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "reopen" : "close");
        FakePlatform local;
        platform::Install(&local);
        ControlState s;
        HandlerReporter r;
        port::Session sess(s, r);
        ASSERT_EQ(sess.OpenComm(), 0);
        r.onError = [&](short major) {
            if (major != 115) return;
            sess.CloseComm();
            if (reopen) {
                s.QcRecvQSize = 8;  // other queue sizes: other buffers
                sess.OpenComm();
            }
        };
        s.QcRecvTimeOut = 100;
        local.SetTickStep(60);
        local.Receive("ab");
        EXPECT_EQ(Take(transfer::RecvString(s, r, 5)), L"ab");
        EXPECT_EQ(sess.IsOpen(), reopen);
        if (!sess.IsOpen()) {
            ASSERT_EQ(sess.OpenComm(), 0);
        }
        local.Receive("cd");
        com::Variant array;
        array->vt = VT_ARRAY | VT_UI1;
        array->parray = SafeArrayCreateVector(VT_UI1, 0, 4);
        com::Variant length;
        length->vt = VT_I2;
        length->iVal = 5;
        EXPECT_EQ(transfer::RecvBinaryBytes(s, r, array.get(), *length.get()), 0);
        const auto* data = static_cast<const unsigned char*>(array->parray->pvData);
        EXPECT_EQ(std::string(data, data + 2), "cd");
        EXPECT_EQ(r.list, (ErrorList{E(115, 0), E(115, 0)}));
        EXPECT_EQ(sess.IsOpen(), reopen);
        if (sess.IsOpen()) sess.CloseComm();
        platform::Install(&fake());
    }
}

}  // namespace
}  // namespace qlr::test
