// The system's port records: SetupAPI for device nodes, the registry for
// SERIALCOMM. Devices come and go while this runs (a USB adapter pulled out):
// every call may fail, and a failure costs that field or that node only.
#include "platform/port_devices.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <atomic>
#include <utility>

namespace qlr::platform {
namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the ports (COM and LPT) setup class.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM-port device interface, which
// drivers outside the ports class (modems, virtual ports) also expose.
const GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// How far up the device tree the USB device of a port is looked for: a
// composite device's interface and an adapter's own bus driver sit between.
constexpr int kAncestorLevels = 4;

class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) : key_(key) {}
    ~RegKey() {
        if (valid()) RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY get() const { return key_; }
    HKEY* put() { return &key_; }
    bool valid() const {
        return key_ != nullptr && key_ != static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }

private:
    HKEY key_ = nullptr;
};

class DevInfoList {
public:
    explicit DevInfoList(HDEVINFO set) : set_(set) {}
    ~DevInfoList() {
        if (valid()) SetupDiDestroyDeviceInfoList(set_);
    }
    DevInfoList(const DevInfoList&) = delete;
    DevInfoList& operator=(const DevInfoList&) = delete;
    HDEVINFO get() const { return set_; }
    bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }

private:
    HDEVINFO set_;
};

// Registry and device-property strings need not end in a NUL, and a REG_SZ
// may carry one early: the text ends at the first NUL or at the data's end.
std::wstring TextOf(const std::vector<wchar_t>& data, size_t bytes) {
    const size_t chars = bytes / sizeof(wchar_t);
    size_t n = 0;
    while (n < chars && n < data.size() && data[n] != L'\0') ++n;
    return std::wstring(data.data(), n);
}

std::vector<std::wstring> MultiTextOf(const std::vector<wchar_t>& data, size_t bytes) {
    std::vector<std::wstring> out;
    const size_t chars =
        bytes / sizeof(wchar_t) < data.size() ? bytes / sizeof(wchar_t) : data.size();
    size_t start = 0;
    for (size_t i = 0; i <= chars; ++i) {
        if (i == chars || data[i] == L'\0') {
            if (i == start) break;  // the empty string ends the list
            out.emplace_back(data.data() + start, i - start);
            start = i + 1;
        }
    }
    return out;
}

std::wstring ReadRegString(HKEY key, const wchar_t* name) {
    std::vector<wchar_t> data(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        const LONG r = RegQueryValueExW(key, name, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data.data()), &bytes);
        if (r == ERROR_MORE_DATA) {
            data.resize(bytes / sizeof(wchar_t) + 1);
            continue;
        }
        if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
        return TextOf(data, bytes);
    }
    return std::wstring();
}

// A device property's raw data; false when the device has none or is gone.
bool ReadDeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property,
                        std::vector<wchar_t>& data, DWORD& bytes, DWORD& type) {
    data.assign(128, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD needed = 0;
        type = 0;
        if (SetupDiGetDeviceRegistryPropertyW(
                set, info, property, &type, reinterpret_cast<BYTE*>(data.data()),
                static_cast<DWORD>(data.size() * sizeof(wchar_t)), &needed)) {
            bytes = needed;
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        data.assign(needed / sizeof(wchar_t) + 1, L'\0');
    }
    return false;
}

std::wstring DeviceText(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    std::vector<wchar_t> data;
    DWORD bytes = 0, type = 0;
    if (!ReadDeviceProperty(set, info, property, data, bytes, type) || type != REG_SZ)
        return std::wstring();
    return TextOf(data, bytes);
}

std::vector<std::wstring> DeviceMultiText(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
    std::vector<wchar_t> data;
    DWORD bytes = 0, type = 0;
    if (!ReadDeviceProperty(set, info, property, data, bytes, type) || type != REG_MULTI_SZ)
        return {};
    return MultiTextOf(data, bytes);
}

std::wstring InstanceIdOf(DEVINST device) {
    // Instance ids are at most MAX_DEVICE_ID_LEN characters by definition;
    // the call need not terminate one that fills the buffer exactly.
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(device, id, MAX_DEVICE_ID_LEN + 1, 0) != CR_SUCCESS)
        return std::wstring();
    id[MAX_DEVICE_ID_LEN] = L'\0';
    return id;
}

void CollectNodes(const GUID& guid, DWORD flags, std::vector<PortDeviceNode>& out) {
    DevInfoList set(SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT));
    if (!set.valid()) return;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set.get(), index, &info)) break;

        PortDeviceNode node;
        {
            // Only reading: no access right that would make a driver act.
            RegKey key(SetupDiOpenDevRegKey(set.get(), &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                            KEY_QUERY_VALUE));
            if (!key.valid()) continue;
            node.portName = ReadRegString(key.get(), L"PortName");
        }
        if (node.portName.empty()) continue;
        node.friendlyName = DeviceText(set.get(), &info, SPDRP_FRIENDLYNAME);
        node.description = DeviceText(set.get(), &info, SPDRP_DEVICEDESC);
        node.hardwareIds = DeviceMultiText(set.get(), &info, SPDRP_HARDWAREID);
        node.instanceId = InstanceIdOf(info.DevInst);
        DEVINST device = info.DevInst;
        for (int level = 0; level < kAncestorLevels; ++level) {
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) break;
            const std::wstring id = InstanceIdOf(parent);
            if (id.empty()) break;
            node.ancestorIds.push_back(id);
            device = parent;
        }
        out.push_back(std::move(node));
    }
}

class SystemPortDeviceSource final : public PortDeviceSource {
public:
    std::vector<PortDeviceNode> DeviceNodes() override {
        std::vector<PortDeviceNode> nodes;
        CollectNodes(kPortsClass, 0, nodes);
        CollectNodes(kComPortInterface, DIGCF_DEVICEINTERFACE, nodes);
        return nodes;
    }

    std::vector<std::wstring> SerialCommNames() override {
        std::vector<std::wstring> names;
        RegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                          KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return names;
        DWORD maxName = 0, maxData = 0;
        RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxName, &maxData, nullptr, nullptr);
        std::vector<wchar_t> name(maxName + 2);
        std::vector<wchar_t> data(maxData / sizeof(wchar_t) + 2);
        // Entries come and go while a device arrives: a value that grew since
        // the sizes were read is retried with larger buffers.
        int retries = 0;
        for (DWORD index = 0;;) {
            DWORD nameChars = static_cast<DWORD>(name.size());
            DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            DWORD type = 0;
            const LONG r = RegEnumValueW(key.get(), index, name.data(), &nameChars, nullptr, &type,
                                         reinterpret_cast<BYTE*>(data.data()), &bytes);
            if (r == ERROR_MORE_DATA && retries++ < 4) {
                name.resize(name.size() * 2);
                data.resize(data.size() * 2 + bytes / sizeof(wchar_t));
                continue;
            }
            if (r != ERROR_SUCCESS) break;
            retries = 0;
            ++index;
            if (type != REG_SZ) continue;
            std::wstring port = TextOf(data, bytes);
            if (!port.empty()) names.push_back(std::move(port));
        }
        return names;
    }
};

std::atomic<PortDeviceSource*> g_installed{nullptr};

}  // namespace

std::unique_ptr<PortDeviceSource> MakeSystemPortDeviceSource() {
    return std::make_unique<SystemPortDeviceSource>();
}

PortDeviceSource& CurrentPortDeviceSource() {
    static SystemPortDeviceSource system;
    PortDeviceSource* installed = g_installed.load();
    return installed ? *installed : system;
}

void InstallPortDeviceSource(PortDeviceSource* source) { g_installed.store(source); }

}  // namespace qlr::platform
