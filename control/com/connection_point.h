// control/com: COM plumbing: objects, IDispatch, connection points, the module lock count.
// Connection points: the sink lists through which the control fires events and
// property-change notifications.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <vector>

#include "platform/com_ptr.h"

namespace qlr::com {

// One connection point. Its lifetime is that of its container, to which it
// forwards AddRef and Release.
//
// Sinks sit in a list of slots: the first sink alone, then 4 slots, doubling
// whenever the list is full. A cookie is the slot number counted from 1; an
// unadvised slot stays and is reused by the next Advise.
class ConnectionPoint final : public IConnectionPoint {
public:
    ConnectionPoint(IConnectionPointContainer& container, REFIID iid);
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return container_.AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return container_.Release(); }

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

    const IID& Iid() const { return iid_; }
    size_t SlotCount() const { return slots_.size(); }
    // The sink in a slot (already queried for Iid()), with a new reference, or null.
    ComPtr<IUnknown> SinkAt(size_t slot) const;
    // Drops every sink (the container is going away).
    void DisconnectAll();

private:
    IConnectionPointContainer& container_;
    IID iid_;
    std::vector<ComPtr<IUnknown>> slots_;
};

// The container's connection-point enumerator over a fixed list.
HRESULT CreateConnectionPointEnumerator(IUnknown* owner, IConnectionPoint* const* points,
                                        size_t count, IEnumConnectionPoints** out);

}  // namespace qlr::com
