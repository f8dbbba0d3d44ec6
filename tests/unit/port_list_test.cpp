// The port list: how device-setup records and SERIALCOMM names become one
// list (against a fake device source), and the QLRPortList object's
// automation surface over it.
#include <gtest/gtest.h>

#include <olectl.h>

#include <string>
#include <vector>

#include "control/com/module.h"
#include "platform/com_ptr.h"
#include "platform/port_devices.h"
#include "port/port_list.h"
#include "qlrcom32_h.h"

namespace qlr::test {
namespace {

using com::Bstr;
using com::ComPtr;
using platform::PortDeviceNode;

class FakeDeviceSource final : public platform::PortDeviceSource {
public:
    std::vector<PortDeviceNode> nodes;
    std::vector<std::wstring> serialComm;
    int reads = 0;

    std::vector<PortDeviceNode> DeviceNodes() override {
        ++reads;
        return nodes;
    }
    std::vector<std::wstring> SerialCommNames() override { return serialComm; }
};

// An FTDI adapter: its bus driver's node is the port, the USB device (with
// the serial number) is the parent.
PortDeviceNode FtdiAdapter(const wchar_t* name) {
    PortDeviceNode n;
    n.portName = name;
    n.friendlyName = std::wstring(L"USB Serial Port (") + name + L")";
    n.description = L"USB Serial Port";
    n.instanceId = L"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000";
    n.hardwareIds = {L"FTDIBUS\\COMPORT&VID_0403&PID_6001"};
    n.ancestorIds = {L"USB\\VID_0403&PID_6001\\A50285BI", L"USB\\ROOT_HUB30\\4&2A0DB5E1&0&0"};
    return n;
}

// A built-in port on the motherboard.
PortDeviceNode BuiltIn(const wchar_t* name) {
    PortDeviceNode n;
    n.portName = name;
    n.friendlyName = std::wstring(L"Communications Port (") + name + L")";
    n.instanceId = L"ACPI\\PNP0501\\1";
    n.hardwareIds = {L"ACPI\\PNP0501", L"*PNP0501"};
    n.ancestorIds = {L"ACPI\\PNP0A08\\0", L"ACPI_HAL\\PNP0C08\\0"};
    return n;
}

std::vector<std::wstring> Names(const std::vector<port::PortInfo>& ports) {
    std::vector<std::wstring> names;
    for (const port::PortInfo& p : ports) names.push_back(p.name);
    return names;
}

TEST(PortList, UsbAdapterGivesVendorProductAndTheUsbDevicesSerialNumber) {
    FakeDeviceSource source;
    source.nodes = {FtdiAdapter(L"COM5")};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(L"COM5", ports[0].name);
    EXPECT_EQ(4, ports[0].deviceNumber);
    EXPECT_EQ(L"USB Serial Port (COM5)", ports[0].friendlyName);
    EXPECT_EQ(0x0403, ports[0].usbVendorId);
    EXPECT_EQ(0x6001, ports[0].usbProductId);
    // The USB device's serial number, not the bus driver's port-suffixed copy.
    EXPECT_EQ(L"A50285BI", ports[0].serialNumber);
}

TEST(PortList, UsbSerialNumberFromTheDeviceNotItsInterfaceOrAMadeUpId) {
    FakeDeviceSource source;
    // A CDC port bound to the device itself, with a serial number.
    PortDeviceNode cdc;
    cdc.portName = L"COM3";
    cdc.instanceId = L"USB\\VID_2341&PID_0043\\75735353038351F0A1C1";
    cdc.hardwareIds = {L"USB\\VID_2341&PID_0043&REV_0001", L"USB\\VID_2341&PID_0043"};
    cdc.ancestorIds = {L"USB\\ROOT_HUB30\\4&2A0DB5E1&0&0"};
    // An interface of a composite device: the serial number is its parent's.
    PortDeviceNode composite;
    composite.portName = L"COM4";
    composite.instanceId = L"USB\\VID_2341&PID_8036&MI_00\\6&3A7B1C2&0&0000";
    composite.hardwareIds = {L"USB\\VID_2341&PID_8036&REV_0100&MI_00"};
    composite.ancestorIds = {L"USB\\VID_2341&PID_8036\\HIDPC1234",
                             L"USB\\ROOT_HUB30\\4&2A0DB5E1&0&0"};
    // A device without a serial number: the system made up its instance id.
    PortDeviceNode anonymous;
    anonymous.portName = L"COM6";
    anonymous.instanceId = L"USB\\VID_067B&PID_2303\\5&2A6E7F3&0&1";
    anonymous.hardwareIds = {L"USB\\VID_067B&PID_2303&REV_0300"};
    anonymous.ancestorIds = {L"USB\\ROOT_HUB30\\4&2A0DB5E1&0&0"};
    source.nodes = {cdc, composite, anonymous};

    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(3u, ports.size());
    EXPECT_EQ(L"75735353038351F0A1C1", ports[0].serialNumber);
    EXPECT_EQ(0x2341, ports[0].usbVendorId);
    EXPECT_EQ(0x0043, ports[0].usbProductId);
    EXPECT_EQ(L"HIDPC1234", ports[1].serialNumber);
    EXPECT_EQ(0x8036, ports[1].usbProductId);
    EXPECT_EQ(L"", ports[2].serialNumber);
    EXPECT_EQ(0x067B, ports[2].usbVendorId);
    EXPECT_EQ(0x2303, ports[2].usbProductId);
    // No friendly name and no description: the name stands in.
    EXPECT_EQ(L"COM6", ports[2].friendlyName);
}

TEST(PortList, BuiltInPortIsNotOnUsb) {
    FakeDeviceSource source;
    source.nodes = {BuiltIn(L"COM1")};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(L"Communications Port (COM1)", ports[0].friendlyName);
    EXPECT_EQ(0, ports[0].deviceNumber);
    EXPECT_EQ(0, ports[0].usbVendorId);
    EXPECT_EQ(0, ports[0].usbProductId);
    EXPECT_EQ(L"", ports[0].serialNumber);
}

// The radio that carries a Bluetooth port may be a USB device: the port is
// still not on USB.
TEST(PortList, BluetoothPortUnderAUsbRadioIsNotOnUsb) {
    FakeDeviceSource source;
    PortDeviceNode bt;
    bt.portName = L"COM8";
    bt.friendlyName = L"Standard Serial over Bluetooth link (COM8)";
    bt.instanceId =
        L"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1B3C5D2&0&000000000000_"
        L"00000000";
    bt.hardwareIds = {L"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002"};
    bt.ancestorIds = {L"USB\\VID_8087&PID_0A2A\\5&1A2B3C4D&0&7",
                      L"USB\\ROOT_HUB30\\4&2A0DB5E1&0&0"};
    source.nodes = {bt};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(0, ports[0].usbVendorId);
    EXPECT_EQ(0, ports[0].usbProductId);
    EXPECT_EQ(L"", ports[0].serialNumber);
    EXPECT_EQ(L"Standard Serial over Bluetooth link (COM8)", ports[0].friendlyName);
}

TEST(PortList, VirtualPortKnownOnlyToSerialCommIsListedUnderItsName) {
    FakeDeviceSource source;
    source.serialComm = {L"COM12"};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(L"COM12", ports[0].name);
    EXPECT_EQ(11, ports[0].deviceNumber);
    EXPECT_EQ(L"COM12", ports[0].friendlyName);
    EXPECT_EQ(0, ports[0].usbVendorId);
    EXPECT_EQ(L"", ports[0].serialNumber);
}

TEST(PortList, PortSeenByBothSourcesAndTwiceInDeviceSetupAppearsOnceWithItsDetails) {
    FakeDeviceSource source;
    PortDeviceNode bare =
        FtdiAdapter(L"COM5");  // the interface's view, read after it vanished halfway
    bare.friendlyName.clear();
    bare.description.clear();
    bare.hardwareIds.clear();
    bare.ancestorIds.clear();
    bare.instanceId.clear();
    source.nodes = {bare, FtdiAdapter(L"COM5")};
    source.serialComm = {L"COM5", L"com5"};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    ASSERT_EQ(1u, ports.size());
    EXPECT_EQ(L"USB Serial Port (COM5)", ports[0].friendlyName);
    EXPECT_EQ(0x0403, ports[0].usbVendorId);
    EXPECT_EQ(L"A50285BI", ports[0].serialNumber);
}

TEST(PortList, SortedByNumberThenOtherNamesAndPrintersLeftOut) {
    FakeDeviceSource source;
    PortDeviceNode printer = BuiltIn(L"LPT1");
    PortDeviceNode virtualPair = BuiltIn(L"CNCA0");
    virtualPair.friendlyName = L"com0com - serial port emulator CNCA0";
    source.nodes = {printer, FtdiAdapter(L"COM10"), virtualPair, BuiltIn(L"COM2")};
    source.serialComm = {L"COM9", L"CNCB0", L"COM1", L"COM10"};
    const std::vector<port::PortInfo> ports = port::ListPorts(source);
    EXPECT_EQ((std::vector<std::wstring>{L"COM1", L"COM2", L"COM9", L"COM10", L"CNCA0", L"CNCB0"}),
              Names(ports));
    ASSERT_EQ(6u, ports.size());
    EXPECT_EQ(9, ports[3].deviceNumber);
    EXPECT_EQ(-1, ports[4].deviceNumber);
    EXPECT_EQ(L"com0com - serial port emulator CNCA0", ports[4].friendlyName);
    EXPECT_EQ(-1, ports[5].deviceNumber);
}

TEST(PortList, NoPortsAtAll) {
    FakeDeviceSource source;
    EXPECT_TRUE(port::ListPorts(source).empty());
}

TEST(PortList, DeviceNumberOnlyForComFollowedByANumber) {
    EXPECT_EQ(0, port::DeviceNumberOf(L"COM1"));
    EXPECT_EQ(2, port::DeviceNumberOf(L"com3"));
    EXPECT_EQ(255, port::DeviceNumberOf(L"COM256"));
    for (const wchar_t* name : {L"COM", L"COM0", L"COM03", L"COM3x", L"COM-1", L"XCOM3", L"COM 3",
                                L"", L"COM99999999999999999999", L"LPT1"})
        EXPECT_EQ(-1, port::DeviceNumberOf(name)) << name;
}

// ---------------------------------------------------------------- the automation object

class PortListObject : public ::testing::Test {
protected:
    void SetUp() override {
        source_.nodes = {FtdiAdapter(L"COM5"), BuiltIn(L"COM1")};
        source_.serialComm = {L"COM12"};
        platform::InstallPortDeviceSource(&source_);
    }
    void TearDown() override { platform::InstallPortDeviceSource(nullptr); }

    ComPtr<IQLRPortList> Create() {
        ComPtr<IQLRPortList> list;
        EXPECT_EQ(S_OK, CreateQLRPortList(nullptr, IID_IQLRPortList, list.put_void()));
        return list;
    }

    // Invokes a member with one long argument (or none) as a script host does.
    HRESULT Get(IDispatch* d, DISPID id, const long* index, VARIANT* result, EXCEPINFO* excep) {
        VARIANT arg;
        VariantInit(&arg);
        arg.vt = VT_I2;  // scripts pass small integers as VT_I2
        arg.iVal = index ? static_cast<short>(*index) : 0;
        DISPPARAMS params{index ? &arg : nullptr, nullptr, index ? 1u : 0u, 0};
        UINT argError = 0;
        return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                         &params, result, excep, &argError);
    }

    FakeDeviceSource source_;
};

TEST_F(PortListObject, AnswersEveryMemberAndRefusesIndicesOutsideTheList) {
    ComPtr<IQLRPortList> list = Create();
    ASSERT_TRUE(list);
    long count = 0;
    ASSERT_EQ(S_OK, list->get_Count(&count));
    ASSERT_EQ(3, count);
    Bstr name, friendly, serial;
    long number = 0, vid = 0, pid = 0;
    ASSERT_EQ(S_OK, list->get_Item(1, name.put()));
    EXPECT_STREQ(L"COM5", name.get());
    EXPECT_EQ(S_OK, list->get_DeviceNumber(1, &number));
    EXPECT_EQ(4, number);
    EXPECT_EQ(S_OK, list->get_FriendlyName(1, friendly.put()));
    EXPECT_STREQ(L"USB Serial Port (COM5)", friendly.get());
    EXPECT_EQ(S_OK, list->get_UsbVendorId(1, &vid));
    EXPECT_EQ(S_OK, list->get_UsbProductId(1, &pid));
    EXPECT_EQ(0x0403, vid);
    EXPECT_EQ(0x6001, pid);
    EXPECT_EQ(S_OK, list->get_SerialNumber(1, serial.put()));
    EXPECT_STREQ(L"A50285BI", serial.get());
    EXPECT_EQ(S_OK, list->get_SerialNumber(2, serial.put()));
    EXPECT_EQ(0u, serial.length());

    for (long bad : {-1L, 3L, 0x7FFFFFFFL, -0x7FFFFFFFL - 1}) {
        Bstr text;
        long value = 77;
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_Item(bad, text.put())) << bad;
        EXPECT_EQ(nullptr, text.get());
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_DeviceNumber(bad, &value));
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_FriendlyName(bad, text.put()));
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_UsbVendorId(bad, &value));
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_UsbProductId(bad, &value));
        EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_SerialNumber(bad, text.put()));
    }
    EXPECT_EQ(E_POINTER, list->get_Count(nullptr));
    EXPECT_EQ(E_POINTER, list->get_Item(0, nullptr));
}

TEST_F(PortListObject, ItemIsTheDefaultMemberAndBadIndicesReachScriptsAsTheControlsStatus) {
    ComPtr<IQLRPortList> list = Create();
    ASSERT_TRUE(list);
    com::Variant result;
    const long first = 0;
    ASSERT_EQ(S_OK, Get(list.get(), DISPID_VALUE, &first, result.get(), nullptr));
    ASSERT_EQ(VT_BSTR, result->vt);
    EXPECT_STREQ(L"COM1", result->bstrVal);

    com::Variant none;
    EXCEPINFO excep{};
    const long past = 3;
    const HRESULT hr = Get(list.get(), DISPID_VALUE, &past, none.get(), &excep);
    EXPECT_TRUE(hr == CTL_E_INVALIDPROPERTYARRAYINDEX ||
                (hr == DISP_E_EXCEPTION && excep.scode == CTL_E_INVALIDPROPERTYARRAYINDEX))
        << std::hex << hr << " " << excep.scode;
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
}

TEST_F(PortListObject, RefreshRereadsWhileAnEnumeratorKeepsTheListItStartedOn) {
    ComPtr<IQLRPortList> list = Create();
    ASSERT_TRUE(list);
    const int readsAtCreation = source_.reads;
    EXPECT_EQ(1, readsAtCreation);

    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, list->get__NewEnum(unknown.put()));
    ComPtr<IEnumVARIANT> names;
    ASSERT_EQ(S_OK, unknown.As(names));

    source_.nodes.clear();
    source_.serialComm = {L"COM7"};
    long count = 0;
    list->get_Count(&count);
    EXPECT_EQ(3, count);  // not re-read behind the caller's back
    ASSERT_EQ(S_OK, list->Refresh());
    list->get_Count(&count);
    EXPECT_EQ(1, count);
    Bstr name;
    ASSERT_EQ(S_OK, list->get_Item(0, name.put()));
    EXPECT_STREQ(L"COM7", name.get());

    // Asking for more than is left: S_FALSE with what there was.
    VARIANT items[4];
    ULONG fetched = 99;
    ASSERT_EQ(S_FALSE, names->Next(4, items, &fetched));
    ASSERT_EQ(3u, fetched);
    const wchar_t* expected[] = {L"COM1", L"COM5", L"COM12"};
    for (ULONG i = 0; i < fetched; ++i) {
        EXPECT_EQ(VT_BSTR, items[i].vt);
        EXPECT_STREQ(expected[i], items[i].bstrVal);
        VariantClear(&items[i]);
    }
    EXPECT_EQ(S_FALSE, names->Next(1, items, nullptr));

    // Reset, Skip and Clone keep their positions apart.
    EXPECT_EQ(S_OK, names->Reset());
    EXPECT_EQ(S_OK, names->Skip(1));
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, names->Clone(clone.put()));
    EXPECT_EQ(S_FALSE, names->Skip(5));
    ASSERT_EQ(S_OK, clone->Next(1, items, nullptr));
    EXPECT_STREQ(L"COM5", items[0].bstrVal);
    VariantClear(&items[0]);
    EXPECT_EQ(E_POINTER, clone->Next(2, items, nullptr));
}

TEST_F(PortListObject, ForEachThroughIDispatchAndTheModuleStaysWhileEnumeratorsLive) {
    const long before = ModuleLockCount();
    {
        ComPtr<IQLRPortList> list = Create();
        ASSERT_TRUE(list);
        com::Variant result;
        ASSERT_EQ(S_OK, Get(list.get(), DISPID_NEWENUM, nullptr, result.get(), nullptr));
        ASSERT_TRUE(result->vt == VT_UNKNOWN || result->vt == VT_DISPATCH);
        ComPtr<IEnumVARIANT> names;
        ASSERT_EQ(S_OK, result->punkVal->QueryInterface(IID_IEnumVARIANT, names.put_void()));
        list.reset();
        result.clear();
        EXPECT_GT(ModuleLockCount(), before);
        VARIANT item;
        ULONG fetched = 0;
        ASSERT_EQ(S_OK, names->Next(1, &item, &fetched));
        EXPECT_STREQ(L"COM1", item.bstrVal);
        VariantClear(&item);
    }
    EXPECT_EQ(before, ModuleLockCount());
}

TEST_F(PortListObject, NoPortsGivesAnEmptyListAndAnEmptyEnumeration) {
    source_.nodes.clear();
    source_.serialComm.clear();
    ComPtr<IQLRPortList> list = Create();
    ASSERT_TRUE(list);
    long count = -1;
    EXPECT_EQ(S_OK, list->get_Count(&count));
    EXPECT_EQ(0, count);
    Bstr name;
    EXPECT_EQ(CTL_E_INVALIDPROPERTYARRAYINDEX, list->get_Item(0, name.put()));
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, list->get__NewEnum(unknown.put()));
    ComPtr<IEnumVARIANT> names;
    ASSERT_EQ(S_OK, unknown.As(names));
    VARIANT item;
    ULONG fetched = 9;
    EXPECT_EQ(S_FALSE, names->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
}

}  // namespace
}  // namespace qlr::test
