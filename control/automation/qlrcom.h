// control/automation: the control object, its automation surface, events, window; the port list.
// The control object QLRCom: its automation interface, event source and the
// small set of OLE interfaces that hosts query before anything else.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>

#include "control/com/connection_point.h"
#include "control/com/dispatch.h"
#include "control/com/object.h"
#include "control/automation/control_window.h"
#include "control/automation/events.h"
#include "control/automation/frames.h"
#include "control/automation/state.h"
#include "platform/com_ptr.h"
#include "port/session.h"
#include "qlrcom32_h.h"

namespace qlr {

// Holds a reference to a COM object for a scope: code that fires events runs
// host code that may release the host's last reference.
class KeepAlive {
public:
    explicit KeepAlive(IUnknown* self) : self_(self) {}

private:
    com::ComPtr<IUnknown> self_;
};

class QLRCom final : public com::Object,
                     public com::TypeInfoDispatch<IQLRCom>,
                     public IViewObjectEx,
                     public IOleInPlaceObjectWindowless,
                     public IOleInPlaceActiveObject,
                     public IOleControl,
                     public IOleObject,
                     public IQuickActivate,
                     public IPersistStorage,
                     public IPersistStreamInit,
                     public ISpecifyPropertyPages,
                     public IDataObject,
                     public IPersistPropertyBag,
                     public IProvideClassInfo2,
                     public IRunnableObject,
                     public IPerPropertyBrowsing,
                     public IConnectionPointContainer,
                     public IOleLink,
                     public IObjectSafety,
                     private Reporter,
                     private WindowOwner {
public:
    explicit QLRCom(IUnknown* outer);
    ~QLRCom() override;
    QLR_COM_DELEGATING_IUNKNOWN

    // IQLRCom.
    STDMETHODIMP About() override;
    STDMETHODIMP get_QcRecvQSize(short* pVal) override;
    STDMETHODIMP put_QcRecvQSize(short newVal) override;
    STDMETHODIMP get_QcSendQSize(short* pVal) override;
    STDMETHODIMP put_QcSendQSize(short newVal) override;
    STDMETHODIMP get_QcByteSize(enumByteSize* pVal) override;
    STDMETHODIMP put_QcByteSize(enumByteSize newVal) override;
    STDMETHODIMP get_QcStopBits(enumStopBits* pVal) override;
    STDMETHODIMP put_QcStopBits(enumStopBits newVal) override;
    STDMETHODIMP get_QcAutoOpen(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcAutoOpen(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcMode(enumCommMode* pVal) override;
    STDMETHODIMP put_QcMode(enumCommMode newVal) override;
    STDMETHODIMP get_QcRecvTimeOut(long* pVal) override;
    STDMETHODIMP put_QcRecvTimeOut(long newVal) override;
    STDMETHODIMP get_QcDTREnable(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcDTREnable(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcProtocol(enumProtocol* pVal) override;
    STDMETHODIMP put_QcProtocol(enumProtocol newVal) override;
    STDMETHODIMP get_QcProgress(short* pVal) override;
    STDMETHODIMP put_QcProgress(short newVal) override;
    STDMETHODIMP get_QcStatus(short* pVal) override;
    STDMETHODIMP put_QcStatus(short newVal) override;
    STDMETHODIMP get_QcNullDiscard(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcNullDiscard(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcRTSEnable(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcRTSEnable(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcParityReplace(BSTR* pVal) override;
    STDMETHODIMP put_QcParityReplace(BSTR newVal) override;
    STDMETHODIMP get_QcNotifyRecvChars(long* pVal) override;
    STDMETHODIMP put_QcNotifyRecvChars(long newVal) override;
    STDMETHODIMP get_QcLastMajorErrCode(short* pVal) override;
    STDMETHODIMP put_QcLastMajorErrCode(short newVal) override;
    STDMETHODIMP get_QcLastMinorErrCode(long* pVal) override;
    STDMETHODIMP put_QcLastMinorErrCode(long newVal) override;
    STDMETHODIMP get_QcProtocolNegd(short* pVal) override;
    STDMETHODIMP put_QcProtocolNegd(short newVal) override;
    STDMETHODIMP get_QcInBufferCount(short* pVal) override;
    STDMETHODIMP put_QcInBufferCount(short newVal) override;
    STDMETHODIMP get_QcBaudRate(enumBaudRate* pVal) override;
    STDMETHODIMP put_QcBaudRate(enumBaudRate newVal) override;
    STDMETHODIMP get_QcDeviceName(enumDeviceName* pVal) override;
    STDMETHODIMP put_QcDeviceName(enumDeviceName newVal) override;
    STDMETHODIMP get_QcParity(enumParity* pVal) override;
    STDMETHODIMP put_QcParity(enumParity newVal) override;
    STDMETHODIMP get_QcFlowControl(enumFlowControl* pVal) override;
    STDMETHODIMP put_QcFlowControl(enumFlowControl newVal) override;
    STDMETHODIMP get_QcDebugTrace(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcDebugTrace(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_hComm(OLE_HANDLE* pVal) override;
    STDMETHODIMP put_hComm(OLE_HANDLE newVal) override;
    STDMETHODIMP get_Input(BSTR* pVal) override;
    STDMETHODIMP put_Input(BSTR newVal) override;
    STDMETHODIMP get_Output(BSTR* pVal) override;
    STDMETHODIMP put_Output(BSTR newVal) override;
    STDMETHODIMP get_InputLen(short* pVal) override;
    STDMETHODIMP put_InputLen(short newVal) override;
    STDMETHODIMP get_QcNotifySendComplete(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcNotifySendComplete(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcShowErrorMessage(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcShowErrorMessage(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcFileTransferPriority(enumPriority* pVal) override;
    STDMETHODIMP put_QcFileTransferPriority(enumPriority newVal) override;
    STDMETHODIMP get_QcSendTimeOut(long* pVal) override;
    STDMETHODIMP put_QcSendTimeOut(long newVal) override;
    STDMETHODIMP get_QcWatchPriority(enumPriority* pVal) override;
    STDMETHODIMP put_QcWatchPriority(enumPriority newVal) override;
    STDMETHODIMP OpenComm(short* rc) override;
    STDMETHODIMP CloseComm(short* rc) override;
    STDMETHODIMP ClearBreak(short* rc) override;
    STDMETHODIMP SendBreak(short* prc) override;
    STDMETHODIMP SendStr(BSTR lpStr, short* rc) override;
    STDMETHODIMP RecvString(short len, BSTR* str) override;
    STDMETHODIMP FlushComm(short port, short* prc) override;
    STDMETHODIMP SendFile(BSTR fileName, short* prc) override;
    STDMETHODIMP SendChar(BSTR character, short* prc) override;
    STDMETHODIMP SendString(BSTR str, short* prc) override;
    STDMETHODIMP SetDTR(short* prc) override;
    STDMETHODIMP ClearDTR(short* prc) override;
    STDMETHODIMP SetRTS(short* prc) override;
    STDMETHODIMP ClearRTS(short* prc) override;
    STDMETHODIMP GetRing(VARIANT_BOOL* bRc) override;
    STDMETHODIMP GetCTS(VARIANT_BOOL* bRc) override;
    STDMETHODIMP GetDSR(VARIANT_BOOL* bRc) override;
    STDMETHODIMP GetRLSD(VARIANT_BOOL* bRc) override;
    STDMETHODIMP SendBinary(BSTR sdata, short sLength, short* prc) override;
    STDMETHODIMP IsOpen(VARIANT_BOOL* bRc) override;
    STDMETHODIMP InFileTransfer(VARIANT_BOOL* b) override;
    STDMETHODIMP RecvByte(short* prc) override;
    STDMETHODIMP RecvFile(BSTR str, short* prc) override;
    STDMETHODIMP AbortTransfer(short* prc) override;
    STDMETHODIMP SendByte(short sLength, short* prc) override;
    STDMETHODIMP SendBinaryBytes(VARIANT Buffer, short* prc) override;
    STDMETHODIMP RecvBinaryBytes(VARIANT* Buffer, VARIANT Length, short* prc) override;
    STDMETHODIMP get_SendBuffer(short sIndex, short* pVal) override;
    STDMETHODIMP put_SendBuffer(short sIndex, short newVal) override;
    STDMETHODIMP get_RecvBuffer(short sIndex, short* pVal) override;
    STDMETHODIMP put_RecvBuffer(short sIndex, short newVal) override;
    STDMETHODIMP get_QcRecvNotifyOnly(VARIANT_BOOL* pVal) override;
    STDMETHODIMP put_QcRecvNotifyOnly(VARIANT_BOOL newVal) override;
    STDMETHODIMP get_QcCustomBaudRate(long* pVal) override;
    STDMETHODIMP put_QcCustomBaudRate(long newVal) override;
    STDMETHODIMP RecvUnicodeString(short Length, BSTR* str) override;
    STDMETHODIMP SendUnicodeString(BSTR str, short* prc) override;
    STDMETHODIMP get_QcRecvEventType(enumRecvEventType* pVal) override;
    STDMETHODIMP put_QcRecvEventType(enumRecvEventType newVal) override;
    STDMETHODIMP get_QcPortName(BSTR* pVal) override;
    STDMETHODIMP put_QcPortName(BSTR newVal) override;
    STDMETHODIMP get_QcFrameMode(enumFrameMode* pVal) override;
    STDMETHODIMP put_QcFrameMode(enumFrameMode newVal) override;
    STDMETHODIMP get_QcFrameDelimiter(BSTR* pVal) override;
    STDMETHODIMP put_QcFrameDelimiter(BSTR newVal) override;
    STDMETHODIMP get_QcFrameLength(long* pVal) override;
    STDMETHODIMP put_QcFrameLength(long newVal) override;
    STDMETHODIMP get_QcFrameGap(long* pVal) override;
    STDMETHODIMP put_QcFrameGap(long newVal) override;

    // IOleObject.
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR object) override;
    STDMETHODIMP Close(DWORD saveOption) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* moniker) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** moniker) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                        LPCRECT rect) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** advise) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* palette) override;

    // IViewObject, IViewObject2, IViewObjectEx (view.cpp).
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                      HDC targetDevice, HDC draw, LPCRECTL bounds, LPCRECTL windowBounds,
                      BOOL(STDMETHODCALLTYPE* keepGoing)(ULONG_PTR),
                      ULONG_PTR keepGoingArg) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* device,
                             HDC targetDevice, LOGPALETTE** colors) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    STDMETHODIMP Unfreeze(DWORD freeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device, LPSIZEL size) override;
    STDMETHODIMP GetRect(DWORD aspect, LPRECTL rect) override;
    STDMETHODIMP GetViewStatus(DWORD* status) override;
    STDMETHODIMP QueryHitPoint(DWORD aspect, LPCRECT bounds, POINT location, LONG closeHint,
                               DWORD* hitResult) override;
    STDMETHODIMP QueryHitRect(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG closeHint,
                              DWORD* hitResult) override;
    STDMETHODIMP GetNaturalExtent(DWORD aspect, LONG index, DVTARGETDEVICE* device,
                                  HDC targetDevice, DVEXTENTINFO* info, LPSIZEL size) override;

    // IOleWindow, IOleInPlaceObject(Windowless), IOleInPlaceActiveObject (inplace.cpp).
    STDMETHODIMP GetWindow(HWND* hwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT position, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP OnWindowMessage(UINT message, WPARAM wp, LPARAM lp, LRESULT* result) override;
    STDMETHODIMP GetDropTarget(IDropTarget** target) override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // IOleControl (inplace.cpp).
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG* msg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IQuickActivate (inplace.cpp).
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;

    // IPersist, IPersistStreamInit, IPersistStorage, IPersistPropertyBag (persistence.cpp).
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP InitNew(IStorage* storage) override;
    STDMETHODIMP Load(IStorage* storage) override;
    STDMETHODIMP Save(IStorage* storage, BOOL sameAsLoad) override;
    STDMETHODIMP SaveCompleted(IStorage* storage) override;
    STDMETHODIMP HandsOffStorage() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

    // ISpecifyPropertyPages (property_pages.cpp).
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // IDataObject (data_object.cpp).
    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
    STDMETHODIMP QueryGetData(FORMATETC* format) override;
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
    STDMETHODIMP SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
    STDMETHODIMP EnumFormatEtc(DWORD direction, IEnumFORMATETC** formats) override;
    STDMETHODIMP DAdvise(FORMATETC* format, DWORD flags, IAdviseSink* sink, DWORD* cookie) override;
    STDMETHODIMP DUnadvise(DWORD cookie) override;
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA** advise) override;

    // IProvideClassInfo2.
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // IRunnableObject.
    STDMETHODIMP GetRunningClass(CLSID* clsid) override;
    STDMETHODIMP Run(LPBINDCTX context) override;
    BOOL STDMETHODCALLTYPE IsRunning() override;
    STDMETHODIMP LockRunning(BOOL lock, BOOL lastUnlockCloses) override;
    STDMETHODIMP SetContainedObject(BOOL contained) override;

    // IPerPropertyBrowsing.
    STDMETHODIMP GetDisplayString(DISPID id, BSTR* text) override;
    STDMETHODIMP MapPropertyToPage(DISPID id, CLSID* page) override;
    STDMETHODIMP GetPredefinedStrings(DISPID id, CALPOLESTR* strings, CADWORD* cookies) override;
    STDMETHODIMP GetPredefinedValue(DISPID id, DWORD cookie, VARIANT* value) override;
    HRESULT DisplayString(DISPID id, BSTR* text);  // GetDisplayString's work

    // IConnectionPointContainer.
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // IOleLink (inert).
    STDMETHODIMP SetUpdateOptions(DWORD options) override;
    STDMETHODIMP GetUpdateOptions(DWORD* options) override;
    STDMETHODIMP SetSourceMoniker(IMoniker* moniker, REFCLSID clsid) override;
    STDMETHODIMP GetSourceMoniker(IMoniker** moniker) override;
    STDMETHODIMP SetSourceDisplayName(LPCOLESTR name) override;
    STDMETHODIMP GetSourceDisplayName(LPOLESTR* name) override;
    STDMETHODIMP BindToSource(DWORD flags, IBindCtx* context) override;
    STDMETHODIMP BindIfRunning() override;
    STDMETHODIMP GetBoundSource(IUnknown** source) override;
    STDMETHODIMP UnbindSource() override;
    STDMETHODIMP Update(IBindCtx* context) override;

    // IObjectSafety.
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID iid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID iid, DWORD mask, DWORD enabled) override;

    // The control's own window (created at in-place activation).
    HWND CreateControlWindow(HWND parent, const RECT& bounds);
    void DestroyControlWindow();

    // 32 x 32 pixels in HIMETRIC at the screen's resolution.
    static SIZEL NaturalExtent();

    // The properties verb: the container's property frame, else a modal
    // frame of the control's own (property_pages.cpp).
    HRESULT ShowPropertyPages();

    ControlState& State() { return state_; }
    EventSource& Events() { return events_; }

private:
    HRESULT FinalConstruct() override;
    void* FindInterface(REFIID iid) override;

    // Reporter.
    void CommError(short major, long minor) override;
    bool InRunMode() override;

    // WindowOwner: messages of the control's window and of its hidden one.
    void OnWindowCreated(bool controlWindow) override;
    void OnWindowDestroying(bool controlWindow) override;
    LRESULT OnPortMessage(UINT message, WPARAM wp, LPARAM lp) override;

    template <class T>
    HRESULT GeneralPut(T& field, T value, DISPID notifyId = 0);
    HRESULT GetProperty(DISPID id, VARIANT& value);
    // Where background threads post while no control window exists.
    void EnsureNotifyWindow();
    // WM_COMM_RECV: read what came and fire the receive events.
    void OnReceiveNotification();
    // WM_COMM_FRAME: frame what was read and fire CommFrame.
    void OnFrameNotification();

    ControlState state_;
    com::ConnectionPoint eventPoint_;
    com::ConnectionPoint propertyPoint_;
    EventSource events_;
    port::Session session_;
    frames::FrameReceiver frames_;
    com::ComPtr<ITypeInfo> classInfo_;
    com::ComPtr<IOleClientSite> clientSite_;
    com::ComPtr<IOleAdviseHolder> adviseHolder_;
    ControlWindow window_;
    ControlWindow notifyWindow_;
    SIZEL extent_{};

    // ---- persistence state (persistence.cpp) ----
    bool needsSaving_ = false;
    // The host asked for safety from untrusted data (IObjectSafety): loads
    // then leave QcAutoOpen and QcDebugTrace as they are (IgnoredWhenLoaded).
    bool untrustedData_ = false;
    bool IgnoredWhenLoaded(DISPID id) const;
    // A loaded extent that is no plausible size becomes the natural one.
    void KeepExtentPlausible();

    // ---- in-place, view and drawing state (inplace.cpp, view.cpp) ----
    // Activation in the container's site: verb is OLEIVERB_SHOW,
    // OLEIVERB_INPLACEACTIVATE or OLEIVERB_UIACTIVATE.
    HRESULT ActivateInPlace(LONG verb);
    HRESULT ActivateUI();
    // A changed picture: repaint the window, or tell the view's advise sink.
    void FireViewChange();
    // The drawing step: bounds in dc's logical units.
    void DrawContent(HDC dc, const RECT& bounds);
    // An ambient property of the client site, VT_EMPTY when it has none.
    HRESULT AmbientProperty(DISPID id, com::Variant& value);
    // The form's background colour, COLOR_BTNFACE when the site does not say.
    COLORREF AmbientBackColor();

    // WindowOwner, control window only.
    void OnWindowPaint(HDC dc, const RECT& client) override;
    void OnWindowFocus(bool gained, HWND other) override;
    void OnWindowMouseActivate() override;

    com::ComPtr<IOleInPlaceSite> inPlaceSite_;
    com::ComPtr<IOleInPlaceFrame> inPlaceFrame_;
    com::ComPtr<IOleInPlaceUIWindow> inPlaceDocument_;
    bool inPlaceActive_ = false;
    bool uiActive_ = false;
    bool activatedEx_ = false;  // OnInPlaceActivateEx was used, so ...DeactivateEx
    com::ComPtr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewAdviseFlags_ = 0;
    com::ComPtr<IDataAdviseHolder> dataAdviseHolder_;

    // ---- property page advertising (property_pages.cpp) ----
    // The container's ambient LocaleID, else LOCALE_USER_DEFAULT.
    LCID AmbientLocale();
};

// The control's type name (IOleObject::GetUserType): the registered one,
// else the control's own, so that it needs no registry keys.
HRESULT ControlUserType(DWORD form, LPOLESTR* type);

}  // namespace qlr
