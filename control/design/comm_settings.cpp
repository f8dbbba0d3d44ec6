// control/design: design time: persistence, property page, view, in-place, data object, browsing.
// The property page CommSettings: dialog 114, which shows twelve settings of
// the first selected control and writes the ones the user changed to every
// selected control.
//
// Apply writes only changed fields: a field the user did not touch may show
// another control's value (several controls selected) or a value the page
// cannot show (a list with nothing selected for COM11 and above), and writing
// it back would overwrite a setting nobody edited. A field counts as changed
// when the user edited it or when it no longer holds what the page showed; a
// list with nothing selected writes nothing.
//
// Selections the page cannot edit: objects without IQLRCom are skipped, both
// when the page is filled (the first object that has it is shown) and when it
// is applied; with no such object the page shows empty, disabled fields and
// Apply changes nothing. Values edited and then deactivated (the frame
// switched pages) are kept, shown again at the next activation and applied.
#include "control/design/comm_settings.h"

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <bitset>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/com/object.h"
#include "control/com/module.h"
#include "platform/com_ptr.h"
#include "platform/unique.h"
#include "platform/port_devices.h"
#include "port/line_settings.h"
#include "port/port_list.h"
#include "qlrcom32_h.h"
#include "resources/resource_ids.h"

namespace qlr {

int32_t ParsePageNumber(const wchar_t* text) {
    if (!text) return 0;
    const wchar_t* p = text;
    while (*p == L' ' || (*p >= L'\t' && *p <= L'\r')) ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-') negative = *p++ == L'-';
    // Unsigned, so that overflow wraps instead of being undefined.
    uint32_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - L'0');
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

namespace {

constexpr int kListIds[] = {IDC_PAGE_PORT,   IDC_PAGE_BAUD,     IDC_PAGE_BYTESIZE,
                            IDC_PAGE_PARITY, IDC_PAGE_STOPBITS, IDC_PAGE_FLOW};
constexpr int kEditIds[] = {IDC_PAGE_RECVQ,       IDC_PAGE_SENDQ,       IDC_PAGE_RECVTIMEOUT,
                            IDC_PAGE_SENDTIMEOUT, IDC_PAGE_NOTIFYCHARS, IDC_PAGE_PARITYREPLACE};
constexpr int kTypingLimits[] = {4, 4, 5, 5, 2, 1};
constexpr size_t kLists = std::size(kListIds);
constexpr size_t kEdits = std::size(kEditIds);
constexpr size_t kReplaceBox = kEdits - 1;
constexpr size_t kFields = kLists + kEdits;  // lists first, then the boxes
using FieldSet = std::bitset<kFields>;
constexpr int kNumberTextLimit = 31;  // characters of a number box that are read
constexpr DWORD kHelpContext = 1;

const wchar_t* const kByteSizeItems[] = {L"7", L"8"};
const wchar_t* const kParityItems[] = {L"\u306A\u3057", L"\u5947\u6570", L"\u5076\u6570"};
const wchar_t* const kStopBitsItems[] = {L"1", L"1.5", L"2"};
const wchar_t* const kFlowItems[] = {L"\u306A\u3057", L"Xon/Xoff", L"\u30CF\u30FC\u30C9"};

// What the page's fields hold: list positions (-1: nothing selected) and the
// texts of the edit boxes.
struct PageValues {
    long lists[kLists] = {-1, -1, -1, -1, -1, -1};
    std::wstring texts[kEdits];
};

FieldSet FieldsThatDiffer(const PageValues& a, const PageValues& b) {
    FieldSet differ;
    for (size_t i = 0; i < kLists; ++i) differ[i] = a.lists[i] != b.lists[i];
    for (size_t i = 0; i < kEdits; ++i) differ[kLists + i] = a.texts[i] != b.texts[i];
    return differ;
}

// The field of a dialog item, or kFields for any other item.
size_t FieldOf(int id) {
    for (size_t i = 0; i < kLists; ++i)
        if (kListIds[i] == id) return i;
    for (size_t i = 0; i < kEdits; ++i)
        if (kEditIds[i] == id) return kLists + i;
    return kFields;
}

using TaskString = platform::UniqueTaskMemory<wchar_t>;

// The text as the system's ANSI code page holds it, back as Unicode: the box
// shows what the ANSI form of the string is, whatever its length.
std::wstring ThroughAnsiCodePage(const wchar_t* text, size_t length) {
    if (!text || length == 0) return std::wstring();
    const int units = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::wstring();
    std::string ansi(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, units, &ansi[0], bytes, nullptr, nullptr);
    const int back = MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, nullptr, 0);
    if (back <= 0) return std::wstring();
    std::wstring result(static_cast<size_t>(back), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, &result[0], back);
    return result;
}

TaskString LoadTaskString(UINT id) {
    wchar_t buffer[256];
    const int length =
        LoadStringW(ModuleInstance(), id, buffer, static_cast<int>(std::size(buffer)));
    const size_t bytes = (static_cast<size_t>(length) + 1) * sizeof(wchar_t);
    TaskString copy(static_cast<wchar_t*>(CoTaskMemAlloc(bytes)));
    if (copy) {
        buffer[length] = L'\0';
        std::memcpy(copy.get(), buffer, bytes);
    }
    return copy;
}

void FillListItems(HWND dialog) {
    const auto add = [dialog](int id, const wchar_t* text) {
        SendDlgItemMessageW(dialog, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    };
    // COM1 to COM10, then every higher COM port that the machine has (as the
    // port list object reports them); each item's data is its QcDeviceName.
    std::vector<long> devices;
    for (long device = 0; device < 10; ++device) devices.push_back(device);
    for (const port::PortInfo& info : port::ListPorts(platform::CurrentPortDeviceSource()))
        if (info.deviceNumber >= 10) devices.push_back(info.deviceNumber);
    std::sort(devices.begin() + 10, devices.end());
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
    for (long device : devices) {
        const LRESULT item = SendDlgItemMessageW(
            dialog, IDC_PAGE_PORT, CB_ADDSTRING, 0,
            reinterpret_cast<LPARAM>((L"COM" + std::to_wstring(device + 1)).c_str()));
        SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_SETITEMDATA, static_cast<WPARAM>(item),
                            static_cast<LPARAM>(device));
    }
    for (int i = 0; i < port::kBaudTableSize; ++i)
        add(IDC_PAGE_BAUD, std::to_wstring(port::kBaudTable[i]).c_str());
    for (const wchar_t* item : kByteSizeItems) add(IDC_PAGE_BYTESIZE, item);
    for (const wchar_t* item : kParityItems) add(IDC_PAGE_PARITY, item);
    for (const wchar_t* item : kStopBitsItems) add(IDC_PAGE_STOPBITS, item);
    for (const wchar_t* item : kFlowItems) add(IDC_PAGE_FLOW, item);
}

PageValues ReadControl(IQLRCom& control) {
    PageValues v;
    enumDeviceName port{};
    enumBaudRate baud{};
    enumByteSize byteSize{};
    enumParity parity{};
    enumStopBits stopBits{};
    enumFlowControl flow{};
    if (SUCCEEDED(control.get_QcDeviceName(&port))) v.lists[0] = port;
    if (SUCCEEDED(control.get_QcBaudRate(&baud))) v.lists[1] = baud;
    if (SUCCEEDED(control.get_QcByteSize(&byteSize))) v.lists[2] = byteSize;
    if (SUCCEEDED(control.get_QcParity(&parity))) v.lists[3] = parity;
    if (SUCCEEDED(control.get_QcStopBits(&stopBits))) v.lists[4] = stopBits;
    if (SUCCEEDED(control.get_QcFlowControl(&flow))) v.lists[5] = flow;

    short recvQ = 0, sendQ = 0;
    long recvTimeOut = 0, sendTimeOut = 0, notifyChars = 0;
    if (SUCCEEDED(control.get_QcRecvQSize(&recvQ))) v.texts[0] = std::to_wstring(recvQ);
    if (SUCCEEDED(control.get_QcSendQSize(&sendQ))) v.texts[1] = std::to_wstring(sendQ);
    if (SUCCEEDED(control.get_QcRecvTimeOut(&recvTimeOut)))
        v.texts[2] = std::to_wstring(recvTimeOut);
    if (SUCCEEDED(control.get_QcSendTimeOut(&sendTimeOut)))
        v.texts[3] = std::to_wstring(sendTimeOut);
    if (SUCCEEDED(control.get_QcNotifyRecvChars(&notifyChars)))
        v.texts[4] = std::to_wstring(notifyChars);
    com::Bstr replace;
    if (SUCCEEDED(control.get_QcParityReplace(replace.put())))
        v.texts[kReplaceBox] = ThroughAnsiCodePage(replace.get(), replace.length());
    return v;
}

// The changed fields go through the control's own puts, in this order; a
// list with nothing selected puts nothing. The results are not examined.
void WriteControl(IQLRCom& control, const PageValues& v, const FieldSet& changed) {
    const auto list = [&](size_t i) { return changed[i] && v.lists[i] >= 0; };
    if (list(0)) control.put_QcDeviceName(static_cast<enumDeviceName>(v.lists[0]));
    if (list(1)) control.put_QcBaudRate(static_cast<enumBaudRate>(v.lists[1]));
    if (list(2)) control.put_QcByteSize(static_cast<enumByteSize>(v.lists[2]));
    if (list(3)) control.put_QcParity(static_cast<enumParity>(v.lists[3]));
    if (list(4)) control.put_QcStopBits(static_cast<enumStopBits>(v.lists[4]));
    if (list(5)) control.put_QcFlowControl(static_cast<enumFlowControl>(v.lists[5]));
    const auto box = [&](size_t i) { return changed[kLists + i]; };
    const auto number = [&](size_t i) { return ParsePageNumber(v.texts[i].c_str()); };
    const auto low16 = [&](size_t i) {
        return static_cast<short>(static_cast<uint16_t>(number(i)));
    };
    if (box(0)) control.put_QcRecvQSize(low16(0));
    if (box(1)) control.put_QcSendQSize(low16(1));
    if (box(2)) control.put_QcRecvTimeOut(number(2));
    if (box(3)) control.put_QcSendTimeOut(number(3));
    if (box(4)) control.put_QcNotifyRecvChars(number(4));
    if (box(kReplaceBox)) {
        const std::wstring& replace = v.texts[kReplaceBox];
        com::Bstr text(replace.data(), static_cast<UINT>(replace.size()));
        control.put_QcParityReplace(text.get());
    }
}

// The port list's item for a device number; -1 (no selection) for a port
// the list does not offer.
WPARAM PortItemOf(HWND dialog, long device) {
    const LRESULT count = SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETCOUNT, 0, 0);
    for (LRESULT item = 0; device >= 0 && item < count; ++item)
        if (SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETITEMDATA, static_cast<WPARAM>(item),
                                0) == device)
            return static_cast<WPARAM>(item);
    return static_cast<WPARAM>(-1);
}

void ShowValues(HWND dialog, const PageValues& v) {
    for (size_t i = 0; i < kLists; ++i) {
        const LRESULT count = SendDlgItemMessageW(dialog, kListIds[i], CB_GETCOUNT, 0, 0);
        WPARAM position = v.lists[i] >= 0 && v.lists[i] < count ? static_cast<WPARAM>(v.lists[i])
                                                                : static_cast<WPARAM>(-1);
        if (kListIds[i] == IDC_PAGE_PORT) position = PortItemOf(dialog, v.lists[i]);
        SendDlgItemMessageW(dialog, kListIds[i], CB_SETCURSEL, position, 0);
    }
    for (size_t i = 0; i < kEdits; ++i) {
        SetDlgItemTextW(dialog, kEditIds[i], v.texts[i].c_str());
        SendDlgItemMessageW(dialog, kEditIds[i], EM_LIMITTEXT, kTypingLimits[i], 0);
    }
}

PageValues ReadDialog(HWND dialog) {
    PageValues v;
    for (size_t i = 0; i < kLists; ++i)
        v.lists[i] =
            static_cast<long>(SendDlgItemMessageW(dialog, kListIds[i], CB_GETCURSEL, 0, 0));
    // The port list's items carry their device numbers.
    if (v.lists[0] >= 0)
        v.lists[0] = static_cast<long>(SendDlgItemMessageW(dialog, IDC_PAGE_PORT, CB_GETITEMDATA,
                                                           static_cast<WPARAM>(v.lists[0]), 0));
    for (size_t i = 0; i < kReplaceBox; ++i) {
        wchar_t text[kNumberTextLimit + 1];
        const UINT length = GetDlgItemTextW(dialog, kEditIds[i], text, kNumberTextLimit + 1);
        v.texts[i].assign(text, length);
    }
    // The replacement text is read whole: the page may show more than one
    // can type, and applying must not cut it.
    const HWND box = GetDlgItem(dialog, kEditIds[kReplaceBox]);
    std::wstring replace(static_cast<size_t>(GetWindowTextLengthW(box)) + 1, L'\0');
    replace.resize(
        static_cast<size_t>(GetWindowTextW(box, &replace[0], static_cast<int>(replace.size()))));
    v.texts[kReplaceBox] = ThroughAnsiCodePage(replace.data(), replace.size());
    return v;
}

void EnableFields(HWND dialog, bool enable) {
    for (int id : kListIds) EnableWindow(GetDlgItem(dialog, id), enable);
    for (int id : kEditIds) EnableWindow(GetDlgItem(dialog, id), enable);
}

INT_PTR CALLBACK MeasureProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Template 114 in pixels: the dialog manager's own conversion, on a hidden
// instance that is never filled.
SIZE TemplateSizeInPixels() {
    const platform::UniqueWindow probe(CreateDialogParamW(
        ModuleInstance(), MAKEINTRESOURCEW(IDD_COMMSETTINGS), HWND_MESSAGE, MeasureProc, 0));
    RECT client{};
    if (!probe || !GetClientRect(probe.get(), &client)) return SIZE{0, 0};
    return SIZE{client.right - client.left, client.bottom - client.top};
}

class CommSettings final : public com::Object, public IPropertyPage {
public:
    explicit CommSettings(IUnknown* outer) : com::Object(outer) {}
    ~CommSettings() override {
        if (dialog_) DestroyWindow(dialog_);
    }
    QLR_COM_DELEGATING_IUNKNOWN

    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
        site_ = com::ComPtr<IPropertyPageSite>(site);
        return S_OK;
    }

    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
        if (!rect) return E_POINTER;
        if (dialog_) return E_UNEXPECTED;
        const HWND dialog = CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_COMMSETTINGS),
                                               parent, DialogProc, reinterpret_cast<LPARAM>(this));
        if (!dialog) {
            const DWORD error = GetLastError();
            return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
        }
        dialog_ = dialog;
        SetWindowPos(dialog_, nullptr, rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
        return S_OK;
    }

    STDMETHODIMP Deactivate() override {
        if (!dialog_) return S_OK;
        if (shownFromControl_) kept_ = ReadDialog(dialog_);
        const HWND dialog = dialog_;
        dialog_ = nullptr;
        DestroyWindow(dialog);
        return S_OK;
    }

    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
        if (!info) return E_POINTER;
        TaskString title = LoadTaskString(IDS_PAGE_TITLE);
        TaskString docString = LoadTaskString(IDS_PAGE_DOCSTRING);
        TaskString helpFile = LoadTaskString(IDS_PAGE_HELPFILE);
        if (!title || !docString || !helpFile) return E_OUTOFMEMORY;
        info->cb = sizeof(PROPPAGEINFO);
        info->size = TemplateSizeInPixels();
        info->dwHelpContext = kHelpContext;
        info->pszTitle = title.release();
        info->pszDocString = docString.release();
        info->pszHelpFile = helpFile.release();
        return S_OK;
    }

    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        if (count && !objects) return E_POINTER;
        std::vector<com::ComPtr<IUnknown>> selection;
        for (ULONG i = 0; i < count; ++i) selection.emplace_back(objects[i]);
        objects_.swap(selection);
        // Edits of the previous selection.
        kept_.reset();
        shown_.reset();
        edited_.reset();
        return S_OK;
    }

    STDMETHODIMP Show(UINT command) override {
        if (!dialog_) return E_UNEXPECTED;
        ShowWindow(dialog_, static_cast<int>(command));
        return S_OK;
    }

    STDMETHODIMP Move(LPCRECT rect) override {
        if (!rect) return E_POINTER;
        if (!dialog_) return E_UNEXPECTED;
        MoveWindow(dialog_, rect->left, rect->top, rect->right - rect->left,
                   rect->bottom - rect->top, TRUE);
        return S_OK;
    }

    STDMETHODIMP IsPageDirty() override { return dirty_ ? S_OK : S_FALSE; }

    STDMETHODIMP Apply() override {
        std::optional<PageValues> values = kept_;
        if (dialog_ && shownFromControl_) values = ReadDialog(dialog_);
        if (values) {
            FieldSet changed = edited_;
            if (shown_) changed |= FieldsThatDiffer(*values, *shown_);
            // What the fields hold now is what the controls hold after the
            // puts: the base of the next Apply.
            shown_ = values;
            edited_.reset();
            // The selection may change under a put's notification.
            const std::vector<com::ComPtr<IUnknown>> selection = objects_;
            for (const com::ComPtr<IUnknown>& object : selection) {
                com::ComPtr<IQLRCom> control;
                if (SUCCEEDED(object.As(control)) && control)
                    WriteControl(*control.get(), *values, changed);
            }
        }
        // The frame keeps its own Apply button state; the site is not told.
        dirty_ = false;
        return S_OK;
    }

    STDMETHODIMP Help(LPCOLESTR) override {
        TaskString helpFile = LoadTaskString(IDS_PAGE_HELPFILE);
        if (helpFile) WinHelpW(dialog_, helpFile.get(), HELP_CONTENTS, 0);
        return S_OK;
    }

    STDMETHODIMP TranslateAccelerator(MSG* message) override {
        if (!message) return E_POINTER;
        const UINT m = message->message;
        const bool input =
            (m >= WM_KEYFIRST && m <= WM_KEYLAST) || (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST);
        if (!input || !dialog_) return S_FALSE;
        return IsDialogMessageW(dialog_, message) ? S_OK : S_FALSE;
    }

private:
    void* FindInterface(REFIID iid) override {
        return IsEqualIID(iid, IID_IPropertyPage) ? static_cast<IPropertyPage*>(this) : nullptr;
    }

    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wp, LPARAM lp) {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrW(dialog, DWLP_USER, lp);
            reinterpret_cast<CommSettings*>(lp)->Fill(dialog);
            return FALSE;  // the focus was not set
        }
        auto* page = reinterpret_cast<CommSettings*>(GetWindowLongPtrW(dialog, DWLP_USER));
        if (!page) return FALSE;
        switch (message) {
        case WM_COMMAND: page->OnCommand(LOWORD(wp), HIWORD(wp)); return TRUE;
        case WM_NCDESTROY:
            // Destroyed with its parent, without Deactivate.
            if (page->dialog_ == dialog) page->dialog_ = nullptr;
            return FALSE;
        default: return FALSE;
        }
    }

    com::ComPtr<IQLRCom> FirstControl() const {
        for (const com::ComPtr<IUnknown>& object : objects_) {
            com::ComPtr<IQLRCom> control;
            if (SUCCEEDED(object.As(control)) && control) return control;
        }
        return com::ComPtr<IQLRCom>();
    }

    void Fill(HWND dialog) {
        // Changes made while filling are not the user's.
        filled_ = false;
        FillListItems(dialog);
        std::optional<PageValues> values;
        bool fromControl = false;
        if (dirty_ && kept_) {
            values = kept_;
        } else if (com::ComPtr<IQLRCom> control = FirstControl()) {
            values = ReadControl(*control.get());
            fromControl = true;
        }
        shownFromControl_ = values.has_value();
        ShowValues(dialog, values ? *values : PageValues());
        // What the user sees unchanged, as Apply will read it back; edits of
        // a dialog that went without Deactivate went with it.
        if (fromControl) {
            shown_ = ReadDialog(dialog);
            edited_.reset();
        }
        EnableFields(dialog, shownFromControl_);
        filled_ = true;
    }

    void OnCommand(int id, int code) {
        if (!filled_) return;
        const size_t field = FieldOf(id);
        if (field == kFields) return;
        const bool list = field < kLists && code == CBN_SELCHANGE;
        const bool edit = field >= kLists && code == EN_CHANGE;
        if (!list && !edit) return;
        edited_.set(field);
        SetDirty(true);
    }

    void SetDirty(bool dirty) {
        if (dirty == dirty_) return;
        dirty_ = dirty;
        if (com::ComPtr<IPropertyPageSite> site = site_)
            site->OnStatusChange(dirty ? PROPPAGESTATUS_DIRTY : PROPPAGESTATUS_CLEAN);
    }

    com::ComPtr<IPropertyPageSite> site_;
    std::vector<com::ComPtr<IUnknown>> objects_;
    HWND dialog_ = nullptr;
    bool dirty_ = false;
    bool filled_ = false;              // the current dialog has been filled
    bool shownFromControl_ = false;    // ... with a control's values
    std::optional<PageValues> kept_;   // values of a deactivated dialog
    std::optional<PageValues> shown_;  // what was shown from the control, as read back
    FieldSet edited_;                  // fields the user changed since the last Apply
};

}  // namespace

HRESULT CreateCommSettings(IUnknown* outer, REFIID iid, void** out) {
    return com::Object::Create<CommSettings>(outer, iid, out);
}

}  // namespace qlr
