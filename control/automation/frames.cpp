#include "control/automation/frames.h"

#include <new>
#include <string>
#include <utility>

#include "platform/com_ptr.h"
#include "platform/platform.h"
#include "port/open_port.h"
#include "transfer/trace.h"

namespace qlr::frames {
namespace {

// QcFrameDelimiter in the ANSI code page, as SendString sends text.
std::string AnsiBytes(BSTR text) {
    const int units = static_cast<int>(SysStringLen(text));
    if (units == 0) return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, units, &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// A frame as CommFrame's Data: a byte array for AsVariantBinary, otherwise a
// byte-valued string (one character per byte, like CommRecv's).
bool MakeData(const std::string& bytes, long eventType, VARIANT& data) {
    const UINT size = static_cast<UINT>(bytes.size());
    if (eventType == 2) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, size);
        if (!array) return false;
        void* elements = nullptr;
        if (size && SUCCEEDED(SafeArrayAccessData(array, &elements))) {
            std::copy(bytes.begin(), bytes.end(), static_cast<char*>(elements));
            SafeArrayUnaccessData(array);
        }
        data.vt = VT_ARRAY | VT_UI1;
        data.parray = array;
        return true;
    }
    BSTR text = SysAllocStringLen(nullptr, size);
    if (!text) return false;
    for (UINT i = 0; i < size; ++i) text[i] = static_cast<unsigned char>(bytes[i]);
    data.vt = VT_BSTR;
    data.bstrVal = text;
    return true;
}

}  // namespace

void FrameReceiver::BeforeOpen(ControlState& s) {
    if (!s.portOpen.load()) s.receivedChunks.TakeAll();
}

void FrameReceiver::Opened(ControlState& s) {
    framer_.reset();
    if (!s.port || s.port->frameMode == 0) return;
    framing::Settings settings;
    settings.mode = static_cast<framing::Mode>(s.port->frameMode);
    settings.delimiter = AnsiBytes(s.QcFrameDelimiter.get());
    settings.length = s.QcFrameLength;
    try {
        framer_.reset(new framing::Framer(std::move(settings)));
    } catch (...) {
        framer_.reset();  // out of memory: no frames in this session
    }
}

void FrameReceiver::Take(ControlState& s) {
    auto chunks = s.receivedChunks.TakeAll();
    if (!framer_) return;
    if (s.port) framer_->SetTiming(s.port->frameGapUs.load(), s.port->frameCharUs.load());
    for (const auto& chunk : chunks) {
        if (chunk->size == 0) {
            framer_->Silence(chunk->stampUs, frames_);
            continue;
        }
        trace::Received(s, chunk->bytes.get(), chunk->size);
        framer_->Feed(chunk->bytes.get(), chunk->size, chunk->stampUs, frames_);
    }
}

void FrameReceiver::Interrupt(ControlState& s, bool ended) {
    try {
        Take(s);
        if (framer_) {
            // A frame whose silence has passed is complete, even if the watch
            // thread had not said so yet.
            framer_->Silence(platform::Current().MicrosecondClock(), frames_);
            framer_->Interrupt(frames_);
        }
    } catch (...) {
        // Out of memory: the partial frame is lost, framing goes on.
    }
    if (ended) framer_.reset();
    HWND window = s.notifyWindow.load();
    if (!frames_.empty() && window) PostMessageA(window, WM_COMM_FRAME, 0, 0);
}

void FrameReceiver::Deliver(ControlState& s, FrameEvents& events) {
    Take(s);
    // A handler may close or reopen the port, read, or pump messages and so
    // deliver the next frames itself: every frame leaves the queue before
    // its event, and nothing is held across one.
    while (!frames_.empty()) {
        framing::Frame frame = std::move(frames_.front());
        frames_.pop_front();
        com::Variant data;
        if (!MakeData(frame.data, s.QcRecvEventType, *data.get())) continue;
        events.CommFrame(*data.get(), frame.status);
    }
}

}  // namespace qlr::frames
