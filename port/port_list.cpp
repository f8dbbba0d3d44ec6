#include "port/port_list.h"

#include <algorithm>

namespace qlr::port {
namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool SameNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
    return s.size() >= prefix.size() && SameNoCase(s.substr(0, prefix.size()), prefix);
}

size_t FindNoCase(std::wstring_view s, std::wstring_view what, size_t from = 0) {
    for (size_t i = from; i + what.size() <= s.size(); ++i)
        if (SameNoCase(s.substr(i, what.size()), what)) return i;
    return std::wstring_view::npos;
}

// Four hex digits at s[at]; -1 otherwise.
long Hex4(std::wstring_view s, size_t at) {
    if (at + 4 > s.size()) return -1;
    long value = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const wchar_t c = FoldAscii(s[i]);
        int digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// "VID_xxxx&PID_xxxx" anywhere in a hardware or instance id (FTDI's bus
// spells the separator '+').
bool ParseVidPid(std::wstring_view id, long& vid, long& pid) {
    for (size_t at = FindNoCase(id, L"VID_"); at != std::wstring_view::npos;
         at = FindNoCase(id, L"VID_", at + 1)) {
        const long v = Hex4(id, at + 4);
        const size_t sep = at + 8;
        if (v < 0 || sep >= id.size() || (id[sep] != L'&' && id[sep] != L'+')) continue;
        if (!StartsWithNoCase(id.substr(sep + 1), L"PID_")) continue;
        const long p = Hex4(id, sep + 5);
        if (p < 0) continue;
        vid = v;
        pid = p;
        return true;
    }
    return false;
}

// A USB device's instance id is USB\VID_xxxx&PID_xxxx\<serial number>; without
// a serial number the system makes up the last part, always with an '&' in
// it. An interface of a composite device (&MI_nn) carries no serial number:
// its parent, the device, does.
bool IsUsbDevice(std::wstring_view id, std::wstring& serial) {
    if (!StartsWithNoCase(id, L"USB\\")) return false;
    const std::wstring_view rest = id.substr(4);
    const size_t slash = rest.find(L'\\');
    const std::wstring_view device = rest.substr(0, slash);
    long vid = 0, pid = 0;
    if (!ParseVidPid(device, vid, pid) || FindNoCase(device, L"&MI_") != std::wstring_view::npos)
        return false;
    serial.clear();
    if (slash != std::wstring_view::npos) {
        const std::wstring_view instance = rest.substr(slash + 1);
        if (!instance.empty() && instance.find(L'&') == std::wstring_view::npos &&
            instance.find(L'\\') == std::wstring_view::npos)
            serial.assign(instance);
    }
    return true;
}

PortInfo Describe(const platform::PortDeviceNode& node) {
    PortInfo info;
    info.name = node.portName;
    info.deviceNumber = DeviceNumberOf(node.portName);
    info.friendlyName = !node.friendlyName.empty()  ? node.friendlyName
                        : !node.description.empty() ? node.description
                                                    : node.portName;
    // Vendor and product come from the port's own ids. A USB device further
    // up counts only when it carries the same ids: an adapter's bus driver or
    // a composite device's interface sits in between, whereas a Bluetooth
    // port's parent is the radio, which may itself be a USB device.
    long vid = 0, pid = 0;
    bool found = false;
    for (const std::wstring& id : node.hardwareIds)
        if ((found = ParseVidPid(id, vid, pid))) break;
    if (!found) found = ParseVidPid(node.instanceId, vid, pid);
    if (!found) return info;
    info.usbVendorId = vid;
    info.usbProductId = pid;
    std::wstring serial;
    if (IsUsbDevice(node.instanceId, serial)) {
        info.serialNumber = serial;
        return info;
    }
    for (const std::wstring& id : node.ancestorIds) {
        long upVid = 0, upPid = 0;
        if (IsUsbDevice(id, serial) && ParseVidPid(id, upVid, upPid) && upVid == vid &&
            upPid == pid) {
            info.serialNumber = serial;
            break;
        }
    }
    return info;
}

// The same port seen twice (its class node and its interface): what one
// record lacks, the other may have.
void Merge(PortInfo& into, const PortInfo& other) {
    if (SameNoCase(into.friendlyName, into.name) && !SameNoCase(other.friendlyName, other.name))
        into.friendlyName = other.friendlyName;
    if (into.usbVendorId == 0 && into.usbProductId == 0) {
        into.usbVendorId = other.usbVendorId;
        into.usbProductId = other.usbProductId;
    }
    if (into.serialNumber.empty()) into.serialNumber = other.serialNumber;
}

PortInfo* Find(std::vector<PortInfo>& ports, std::wstring_view name) {
    for (PortInfo& p : ports)
        if (SameNoCase(p.name, name)) return &p;
    return nullptr;
}

bool Before(const PortInfo& a, const PortInfo& b) {
    const bool aNumbered = a.deviceNumber >= 0, bNumbered = b.deviceNumber >= 0;
    if (aNumbered != bNumbered) return aNumbered;
    if (a.deviceNumber != b.deviceNumber) return a.deviceNumber < b.deviceNumber;
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; ++i) {
        const wchar_t x = FoldAscii(a.name[i]), y = FoldAscii(b.name[i]);
        if (x != y) return x < y;
    }
    return a.name.size() < b.name.size();
}

}  // namespace

long DeviceNumberOf(std::wstring_view name) {
    if (!StartsWithNoCase(name, L"COM")) return -1;
    const std::wstring_view digits = name.substr(3);
    // Nine digits at most: the number stays within a long.
    if (digits.empty() || digits.size() > 9 || digits[0] == L'0') return -1;
    long number = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') return -1;
        number = number * 10 + (c - L'0');
    }
    return number - 1;
}

std::vector<PortInfo> ListPorts(platform::PortDeviceSource& source) {
    std::vector<PortInfo> ports;
    for (const platform::PortDeviceNode& node : source.DeviceNodes()) {
        if (node.portName.empty() || StartsWithNoCase(node.portName, L"LPT")) continue;
        PortInfo info = Describe(node);
        if (PortInfo* known = Find(ports, info.name))
            Merge(*known, info);
        else
            ports.push_back(std::move(info));
    }
    for (const std::wstring& name : source.SerialCommNames()) {
        if (name.empty() || Find(ports, name)) continue;
        PortInfo info;
        info.name = name;
        info.deviceNumber = DeviceNumberOf(name);
        info.friendlyName = name;
        ports.push_back(std::move(info));
    }
    std::stable_sort(ports.begin(), ports.end(), Before);
    return ports;
}

}  // namespace qlr::port
