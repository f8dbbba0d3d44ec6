// The property page CommSettings driven as a frame drives it, through a test
// page site, with its dialog created under the headless graphics driver; and
// how the control advertises the page.
#include <gtest/gtest.h>

#include <ocidl.h>
#include <olectl.h>

#include <array>
#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/port_devices.h"
#include "control/com/module.h"
#include "control/automation/qlrcom.h"
#include "resources/resource_ids.h"
#include "tests/unit/fake_site.h"

namespace qlr::test {
namespace {

using com::ComPtr;

class FakePageSite final : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPropertyPageSite))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IPropertyPageSite*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        statuses.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* locale) override {
        *locale = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** container) override {
        *container = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    std::vector<DWORD> statuses;
};

// The twelve settings the page edits, in the order Apply puts them.
const char* const kPageProperties[] = {"QcDeviceName",  "QcBaudRate",        "QcByteSize",
                                       "QcParity",      "QcStopBits",        "QcFlowControl",
                                       "QcRecvQSize",   "QcSendQSize",       "QcRecvTimeOut",
                                       "QcSendTimeOut", "QcNotifyRecvChars", "QcParityReplace"};
using Settings = std::array<std::wstring, 12>;

Settings ReadSettings(IQLRCom* c) {
    enumDeviceName port{};
    enumBaudRate baud{};
    enumByteSize size{};
    enumParity parity{};
    enumStopBits stop{};
    enumFlowControl flow{};
    short recvQ = 0, sendQ = 0;
    long recvTo = 0, sendTo = 0, notify = 0;
    com::Bstr replace;
    c->get_QcDeviceName(&port);
    c->get_QcBaudRate(&baud);
    c->get_QcByteSize(&size);
    c->get_QcParity(&parity);
    c->get_QcStopBits(&stop);
    c->get_QcFlowControl(&flow);
    c->get_QcRecvQSize(&recvQ);
    c->get_QcSendQSize(&sendQ);
    c->get_QcRecvTimeOut(&recvTo);
    c->get_QcSendTimeOut(&sendTo);
    c->get_QcNotifyRecvChars(&notify);
    c->get_QcParityReplace(replace.put());
    using std::to_wstring;
    return {
        to_wstring(port),   to_wstring(baud),
        to_wstring(size),   to_wstring(parity),
        to_wstring(stop),   to_wstring(flow),
        to_wstring(recvQ),  to_wstring(sendQ),
        to_wstring(recvTo), to_wstring(sendTo),
        to_wstring(notify), std::wstring(replace.get() ? replace.get() : L"", replace.length())};
}

// On each change notification, names the settings that changed since the
// previous one: the order in which the puts reached the control.
class ChangeRecorder final : public IPropertyNotifySink {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IPropertyNotifySink))
            return *out = nullptr, E_NOINTERFACE;
        *out = static_cast<IPropertyNotifySink*>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnChanged(DISPID) override {
        const Settings now = ReadSettings(control_);
        for (size_t i = 0; i < now.size(); ++i)
            if (now[i] != last_[i]) changed.push_back(kPageProperties[i]);
        last_ = now;
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    void Watch(IQLRCom* control) {
        control_ = control;
        last_ = ReadSettings(control);
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        ASSERT_EQ(ComPtr<IQLRCom>(control).As(container), S_OK);
        ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.put()), S_OK);
        ASSERT_EQ(point->Advise(this, &cookie), S_OK);
    }

    std::vector<std::string> changed;

private:
    IQLRCom* control_ = nullptr;
    Settings last_;
};

// An object that is no control.
class Stranger final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!IsEqualIID(iid, IID_IUnknown)) return *out = nullptr, E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

// The ports the machine reports to the page (none unless a test adds some).
class ListedPorts final : public platform::PortDeviceSource {
public:
    std::vector<std::wstring> names;
    std::vector<platform::PortDeviceNode> DeviceNodes() override { return {}; }
    std::vector<std::wstring> SerialCommNames() override { return names; }
};

class PageTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::InstallPortDeviceSource(&ports);
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(CreateCommSettings(nullptr, IID_IPropertyPage, page.put_void()), S_OK);
        ASSERT_EQ(page->SetPageSite(&site), S_OK);
        for (auto& c : controls) ASSERT_EQ(CreateQLRCom(nullptr, IID_IQLRCom, c.put_void()), S_OK);
        frame = CreateWindowExW(0, L"STATIC", L"frame", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr,
                                nullptr, nullptr);
        ASSERT_NE(frame, nullptr);
    }
    void TearDown() override {
        if (page) page->Deactivate();
        page.reset();
        DestroyWindow(frame);
        for (auto& c : controls) c.reset();
        CoUninitialize();
        platform::InstallPortDeviceSource(nullptr);
    }

    // Selects the objects and activates the page; the page's dialog.
    HWND Open(std::vector<IUnknown*> objects) {
        EXPECT_EQ(page->SetObjects(static_cast<ULONG>(objects.size()), objects.data()), S_OK);
        const RECT area{10, 10, 410, 260};
        EXPECT_EQ(page->Activate(frame, &area, TRUE), S_OK);
        EXPECT_EQ(page->Show(SW_SHOW), S_OK);
        return PageDialog();
    }
    HWND Open() { return Open({controls[0].get()}); }
    HWND PageDialog() const { return FindWindowExW(frame, nullptr, L"#32770", nullptr); }

    static std::wstring Text(HWND dialog, int id) {
        wchar_t text[128] = L"";
        GetDlgItemTextW(dialog, id, text, 128);
        return text;
    }
    static std::wstring ListItem(HWND dialog, int id, LRESULT index) {
        wchar_t text[64] = L"";
        if (index < 0 || SendDlgItemMessageW(dialog, id, CB_GETLBTEXTLEN, index, 0) >= 64)
            return L"<none>";
        SendDlgItemMessageW(dialog, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
        return text;
    }
    static std::wstring Selected(HWND dialog, int id) {
        return ListItem(dialog, id, SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
    }
    // As the user picks an item: the list tells its parent.
    static void Choose(HWND dialog, int id, int index) {
        SendDlgItemMessageW(dialog, id, CB_SETCURSEL, index, 0);
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    }
    static void Type(HWND dialog, int id, const wchar_t* text) {
        SetDlgItemTextW(dialog, id, text);
    }

    ListedPorts ports;
    FakePageSite site;
    ChangeRecorder recorders[2];
    Stranger stranger;
    ComPtr<IQLRCom> controls[2];
    ComPtr<IPropertyPage> page;
    HWND frame = nullptr;
};

TEST_F(PageTest, DefaultControlShowsTheTablesAndFillingIsNoChange) {
    const HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    const LONG style = GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_CAPTION | DS_CONTROL), WS_CHILD | DS_CONTROL);

    EXPECT_EQ(Selected(dialog, IDC_PAGE_PORT), L"COM1");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_BAUD), L"9600");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_BYTESIZE), L"8");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_PARITY), L"\u306A\u3057");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_STOPBITS), L"1");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_FLOW), L"\u306A\u3057");
    const wchar_t* const shown[] = {L"1024", L"1024", L"0", L"0", L"-1", L"?"};
    const int limits[] = {4, 4, 5, 5, 2, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(Text(dialog, IDC_PAGE_RECVQ + i), shown[i]) << "box " << IDC_PAGE_RECVQ + i;
        EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_RECVQ + i, EM_GETLIMITTEXT, 0, 0),
                  limits[i]);
    }

    // The lists hold the page's own texts, position = value.
    const LRESULT counts[] = {10, 15, 2, 3, 3, 3};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_PORT + i, CB_GETCOUNT, 0, 0), counts[i]);
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_PORT, 9), L"COM10");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_BAUD, 14), L"115200");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_BYTESIZE, 0), L"7");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_STOPBITS, 1), L"1.5");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_FLOW, 1), L"Xon/Xoff");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_FLOW, 2), L"\u30CF\u30FC\u30C9");
    ComPtr<IPerPropertyBrowsing> browsing;
    ASSERT_EQ(controls[0].As(browsing), S_OK);
    controls[0]->put_QcFlowControl(HardFlowControl);
    com::Bstr display;
    ASSERT_EQ(browsing->GetDisplayString(kDispQcFlowControl, display.put()), S_OK);
    EXPECT_STREQ(display.get(), L"\u30CF\u30FC\u30C9\u30A6\u30A7\u30A2");

    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_TRUE(site.statuses.empty());
}

TEST_F(PageTest, FirstUserChangeTellsTheSiteOnceAndApplyCleansSilently) {
    const HWND dialog = Open();
    Choose(dialog, IDC_PAGE_PORT, 2);
    EXPECT_EQ(site.statuses, std::vector<DWORD>{PROPPAGESTATUS_DIRTY});
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    Type(dialog, IDC_PAGE_RECVTIMEOUT, L"100");
    Choose(dialog, IDC_PAGE_FLOW, 1);
    EXPECT_EQ(site.statuses.size(), 1u);

    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(site.statuses.size(), 1u);
    enumDeviceName port{};
    controls[0]->get_QcDeviceName(&port);
    EXPECT_EQ(port, Com3);
    // A text change counts as much as a selection.
    Type(dialog, IDC_PAGE_PARITYREPLACE, L"*");
    EXPECT_EQ(site.statuses, (std::vector<DWORD>{PROPPAGESTATUS_DIRTY, PROPPAGESTATUS_DIRTY}));
}

TEST_F(PageTest, ApplyPutsAllTwelveToEverySelectedControlInOrder) {
    controls[0]->put_QcDeviceName(Com4);
    controls[0]->put_QcRecvTimeOut(77);
    com::Bstr star(L"*");
    controls[0]->put_QcParityReplace(star.get());
    const HWND dialog = Open({controls[0].get(), controls[1].get()});
    EXPECT_EQ(Selected(dialog, IDC_PAGE_PORT), L"COM4");
    EXPECT_EQ(Text(dialog, IDC_PAGE_RECVTIMEOUT), L"77");
    EXPECT_EQ(Text(dialog, IDC_PAGE_PARITYREPLACE), L"*");

    // Every field differs from both controls, so that every put is seen.
    Choose(dialog, IDC_PAGE_PORT, 5);
    Choose(dialog, IDC_PAGE_BAUD, 14);
    Choose(dialog, IDC_PAGE_BYTESIZE, 0);
    Choose(dialog, IDC_PAGE_PARITY, 2);
    Choose(dialog, IDC_PAGE_STOPBITS, 2);
    Choose(dialog, IDC_PAGE_FLOW, 2);
    Type(dialog, IDC_PAGE_RECVQ, L"70000");  // low 16 bits: 4464
    Type(dialog, IDC_PAGE_SENDQ, L"\t +512 ");
    Type(dialog, IDC_PAGE_RECVTIMEOUT, L" -5x");
    Type(dialog, IDC_PAGE_SENDTIMEOUT, L"4294967297");  // wraps to 1
    Type(dialog, IDC_PAGE_NOTIFYCHARS, L"-");           // no digits: 0
    Type(dialog, IDC_PAGE_PARITYREPLACE, L"");
    for (int i = 0; i < 2; ++i) recorders[i].Watch(controls[i].get());

    ASSERT_EQ(page->Apply(), S_OK);
    const std::vector<std::string> order(std::begin(kPageProperties), std::end(kPageProperties));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(recorders[i].changed, order) << "control " << i;
        const Settings expected = {L"5",    L"14",  L"0",  L"2", L"2", L"2",
                                   L"4464", L"512", L"-5", L"1", L"0", L""};
        EXPECT_EQ(ReadSettings(controls[i].get()), expected) << "control " << i;
        com::Bstr replace;
        controls[i]->get_QcParityReplace(replace.put());
        EXPECT_EQ(replace.length(), 0u);
    }
}

TEST_F(PageTest, PortListOffersTheMachinesPortsAboveCom10) {
    ports.names = {L"COM13", L"COM3", L"CNCA0", L"COM12"};
    controls[0]->put_QcDeviceName(static_cast<enumDeviceName>(12));  // COM13
    controls[1]->put_QcDeviceName(Com2);
    const HWND dialog = Open({controls[0].get(), controls[1].get()});
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETCOUNT, 0, 0), 12);
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_PORT, 9), L"COM10");
    EXPECT_EQ(ListItem(dialog, IDC_PAGE_PORT, 10), L"COM12");
    EXPECT_EQ(Selected(dialog, IDC_PAGE_PORT), L"COM13");

    // Picking COM12 puts its device number into every selected control.
    Choose(dialog, IDC_PAGE_PORT, 10);
    ASSERT_EQ(page->Apply(), S_OK);
    for (auto& control : controls) {
        enumDeviceName port{};
        control->get_QcDeviceName(&port);
        EXPECT_EQ(port, 11);
    }
}

TEST_F(PageTest, OutOfRangeAndOverlongValuesAreShownAsTheyAreAndKept) {
    controls[0]->put_QcDeviceName(static_cast<enumDeviceName>(12));  // COM13
    controls[0]->put_QcBaudRate(static_cast<enumBaudRate>(-3));
    const std::wstring longText = L"0123456789abcdefghijklmnopqrstuvwxyz-ABCDE";  // 42 characters
    com::Bstr text(longText.c_str());
    controls[0]->put_QcParityReplace(text.get());
    const HWND dialog = Open();
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_BAUD, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(Text(dialog, IDC_PAGE_PARITYREPLACE), longText);

    // Only a time-out changed: the port the list cannot show stays, so the
    // next OpenComm still opens COM13.
    Type(dialog, IDC_PAGE_RECVTIMEOUT, L"250");
    // A list the user left empty puts nothing, even when told of a change.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_PAGE_BAUD, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_PAGE_BAUD)));
    recorders[0].Watch(controls[0].get());
    ASSERT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(recorders[0].changed, std::vector<std::string>{"QcRecvTimeOut"});
    const Settings after = ReadSettings(controls[0].get());
    EXPECT_EQ(after[0], L"12");
    EXPECT_EQ(after[1], L"-3");
    EXPECT_EQ(after[8], L"250");
    EXPECT_EQ(after[11], longText);
    // Nothing changed since: a second Apply puts nothing.
    recorders[0].changed.clear();
    ASSERT_EQ(page->Apply(), S_OK);
    EXPECT_TRUE(recorders[0].changed.empty());
}

TEST_F(PageTest, WithSeveralControlsUntouchedFieldsKeepEachControlsOwnValue) {
    controls[0]->put_QcDeviceName(Com4);
    controls[1]->put_QcDeviceName(Com2);
    controls[1]->put_QcBaudRate(Baud115200);
    controls[1]->put_QcSendQSize(4096);
    com::Bstr hash(L"#");
    controls[1]->put_QcParityReplace(hash.get());
    // Loaded, so that the edit is what makes them need saving.
    ComPtr<IPersistStreamInit> persist[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(controls[i].As(persist[i]), S_OK);
        ComPtr<IStream> stream;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
        ASSERT_EQ(persist[i]->Save(stream.get(), TRUE), S_OK);
        const LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        ASSERT_EQ(persist[i]->Load(stream.get()), S_OK);
        ASSERT_EQ(persist[i]->IsDirty(), S_FALSE);
    }
    const Settings before[2] = {ReadSettings(controls[0].get()), ReadSettings(controls[1].get())};
    const HWND dialog = Open({controls[0].get(), controls[1].get()});
    Type(dialog, IDC_PAGE_SENDTIMEOUT, L"3000");
    Choose(dialog, IDC_PAGE_PARITY, 2);
    ASSERT_EQ(page->Apply(), S_OK);
    for (int i = 0; i < 2; ++i) {
        Settings expected = before[i];
        expected[3] = L"2";
        expected[9] = L"3000";
        EXPECT_EQ(ReadSettings(controls[i].get()), expected) << "control " << i;
        EXPECT_EQ(persist[i]->IsDirty(), S_OK) << "control " << i;
    }
}

TEST_F(PageTest, SelectionWithoutAControlGivesAnInertPage) {
    for (std::vector<IUnknown*> objects :
         {std::vector<IUnknown*>{}, std::vector<IUnknown*>{&stranger}}) {
        const HWND dialog = Open(objects);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_EQ(Text(dialog, IDC_PAGE_RECVQ), L"");
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_PAGE_BAUD)));
        EXPECT_EQ(page->Apply(), S_OK);
        EXPECT_EQ(page->Deactivate(), S_OK);
    }
    // A stranger in the selection is passed over: the control is shown and written.
    const HWND dialog = Open({&stranger, controls[0].get()});
    EXPECT_EQ(Selected(dialog, IDC_PAGE_PORT), L"COM1");
    Choose(dialog, IDC_PAGE_PORT, 1);
    EXPECT_EQ(page->Apply(), S_OK);
    enumDeviceName port{};
    controls[0]->get_QcDeviceName(&port);
    EXPECT_EQ(port, Com2);
}

TEST_F(PageTest, DeactivatedEditsAreKeptAndReactivationIsNoChange) {
    HWND dialog = Open();
    ASSERT_EQ(page->Deactivate(), S_OK);
    const RECT area{0, 0, 300, 200};
    ASSERT_EQ(page->Activate(frame, &area, TRUE), S_OK);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);  // filling again is not the user's doing
    EXPECT_TRUE(site.statuses.empty());

    dialog = PageDialog();
    Choose(dialog, IDC_PAGE_BAUD, 3);
    ASSERT_EQ(page->Deactivate(), S_OK);
    ASSERT_EQ(page->Activate(frame, &area, TRUE), S_OK);
    dialog = PageDialog();
    EXPECT_EQ(Selected(dialog, IDC_PAGE_BAUD), L"300");
    ASSERT_EQ(page->Deactivate(), S_OK);
    ASSERT_EQ(page->Apply(), S_OK);
    enumBaudRate baud{};
    controls[0]->get_QcBaudRate(&baud);
    EXPECT_EQ(baud, Baud300);
}

TEST_F(PageTest, PageInfoAndKeyboardNavigation) {
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_STREQ(info.pszTitle, L"\u901A\u4FE1");
    EXPECT_STREQ(info.pszDocString, L"Quellor");
    EXPECT_STREQ(info.pszHelpFile, L"qlrcom32.hlp");
    EXPECT_EQ(info.dwHelpContext, 1u);
    CoTaskMemFree(info.pszTitle);
    CoTaskMemFree(info.pszDocString);
    CoTaskMemFree(info.pszHelpFile);

    const HWND dialog = Open();
    RECT units{0, 0, 236, 119};
    ASSERT_TRUE(MapDialogRect(dialog, &units));
    EXPECT_EQ(info.size.cx, units.right);
    EXPECT_EQ(info.size.cy, units.bottom);
    EXPECT_GT(units.right, 236);  // the page font's units, not pixels taken as units

    // Tab moves between the page's fields; messages other than input are the frame's.
    const HWND port = GetDlgItem(dialog, IDC_PAGE_PORT);
    SetFocus(port);
    MSG tab{port, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    EXPECT_EQ(page->TranslateAccelerator(&tab), S_OK);
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_PAGE_BAUD));
    MSG timer{port, WM_TIMER, 1, 0, 0, {0, 0}};
    EXPECT_EQ(page->TranslateAccelerator(&timer), S_FALSE);
}

// A client site that offers the container's own property frame.
class ControlSite final : public ClientSiteStubs, public IOleControlSite {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOleClientSite))
            *out = static_cast<IOleClientSite*>(this);
        else if (IsEqualIID(iid, IID_IOleControlSite))
            *out = static_cast<IOleControlSite*>(this);
        else
            return *out = nullptr, E_NOINTERFACE;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
    STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
    STDMETHODIMP GetExtendedControl(IDispatch**) override { return E_NOTIMPL; }
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    STDMETHODIMP OnFocus(BOOL) override { return S_OK; }
    STDMETHODIMP ShowPropertyFrame() override {
        ++frames;
        return S_OK;
    }
    int frames = 0;
};

TEST_F(PageTest, ControlAdvertisesThePageAndAsksTheContainerFirst) {
    CAUUID pages{};
    ComPtr<ISpecifyPropertyPages> specify;
    ASSERT_EQ(controls[0].As(specify), S_OK);
    ASSERT_EQ(specify->GetPages(&pages), S_OK);
    ASSERT_EQ(pages.cElems, 1u);
    EXPECT_TRUE(IsEqualCLSID(pages.pElems[0], CLSID_CommSettings));
    CoTaskMemFree(pages.pElems);

    ComPtr<IPerPropertyBrowsing> browsing;
    ASSERT_EQ(controls[0].As(browsing), S_OK);
    struct Case {
        DISPID id;
        HRESULT hr;
        bool onPage;
    };
    const Case cases[] = {{kDispQcRecvQSize, S_OK, true},
                          {kDispQcRecvTimeOut, S_OK, true},
                          {kDispQcParityReplace, S_OK, true},
                          {kDispQcNotifyRecvChars, S_OK, true},
                          {kDispQcDeviceName, S_OK, false},
                          {kDispQcSendTimeOut, E_INVALIDARG, false},
                          {kDispQcCustomBaudRate, E_NOTIMPL, false},
                          {kDispQcStatus, E_INVALIDARG, false},
                          {999, E_INVALIDARG, false}};
    for (const Case& c : cases) {
        CLSID clsid = CLSID_QLRCom;
        EXPECT_EQ(browsing->MapPropertyToPage(c.id, &clsid), c.hr) << "DISPID " << c.id;
        EXPECT_TRUE(IsEqualCLSID(clsid, c.onPage ? CLSID_CommSettings : CLSID_NULL))
            << "DISPID " << c.id;
    }
    CALPOLESTR strings{};
    CADWORD cookies{};
    EXPECT_EQ(browsing->GetPredefinedStrings(kDispQcParity, &strings, &cookies), E_NOTIMPL);
    EXPECT_EQ(browsing->GetPredefinedStrings(kDispQcParity, nullptr, &cookies), E_POINTER);
    EXPECT_EQ(browsing->GetPredefinedValue(kDispQcParity, 0, nullptr), E_POINTER);

    ControlSite container;
    ComPtr<IOleObject> object;
    ASSERT_EQ(controls[0].As(object), S_OK);
    ASSERT_EQ(object->SetClientSite(&container), S_OK);
    EXPECT_EQ(static_cast<QLRCom*>(controls[0].get())->ShowPropertyPages(), S_OK);
    EXPECT_EQ(container.frames, 1);
    object->SetClientSite(nullptr);
}

}  // namespace
}  // namespace qlr::test
