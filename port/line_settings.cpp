#include "port/line_settings.h"

#include <cstdio>

#include "port/state.h"

namespace qlr::port {

const long kBaudTable[kBaudTableSize] = {75,   110,   150,   300,   600,   1200,  2400,  4800,
                                         9600, 14400, 19200, 28800, 38400, 57600, 115200};
const char* const kBaudText[kBaudTableSize] = {"75",    "110",   "150",   "300",   "600",
                                               "1200",  "2400",  "4800",  "9600",  "14400",
                                               "19200", "28800", "38400", "57600", "115200"};

std::string DeviceName(long deviceNameProperty) {
    char name[52];
    long long number = static_cast<long long>(deviceNameProperty) + 1;
    if (deviceNameProperty >= 0 && deviceNameProperty <= 8)
        std::snprintf(name, sizeof name, "COM%lld", number);
    else
        std::snprintf(name, sizeof name, "\\\\.\\COM%lld", number);
    return name;
}

bool SettingsString(const ControlState& s, std::string& out) {
    char settings[512];
    const std::string device = DeviceName(s.QcDeviceName);
    const long dataBits = s.QcByteSize + 7;
    if (s.QcCustomBaudRate != 0) {
        std::snprintf(settings, sizeof settings, "%s:%ld,n,%ld,1", device.c_str(),
                      s.QcCustomBaudRate, dataBits);
    } else {
        if (s.QcBaudRate < 0 || s.QcBaudRate >= kBaudTableSize) return false;
        std::snprintf(settings, sizeof settings, "%s:%s,n,%ld,1", device.c_str(),
                      kBaudText[s.QcBaudRate], dataBits);
    }
    out = settings;
    return true;
}

void ApplyLineProperties(const ControlState& s, DCB& dcb) {
    if (s.QcParity == 0) {
        dcb.fParity = 0;
    } else {
        dcb.fParity = 1;
        dcb.Parity = s.QcParity == 1 ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = static_cast<BYTE>(s.QcStopBits & 0xFF);
    if (s.QcStopBits == 1) dcb.ByteSize = 5;

    const bool hardware = s.QcFlowControl != 0 && s.QcFlowControl != 1;
    if (s.QcFlowControl == 1) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 100;
        dcb.XoffLim = 100;
    }
    if (hardware) {
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        dcb.fOutxCtsFlow = 1;
        dcb.fOutxDsrFlow = 1;
        dcb.fNull = s.QcNullDiscard != 0 ? 1 : 0;
        if (dcb.fParity) {
            BSTR replace = s.QcParityReplace.get();
            dcb.fErrorChar = 1;
            dcb.ErrorChar = (replace && replace[0]) ? static_cast<char>(replace[0] & 0xFF) : 0;
        }
    } else {
        dcb.fDtrControl = s.QcDTREnable != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        dcb.fRtsControl = s.QcRTSEnable != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
}

int ThreadPriority(long priorityProperty) {
    const short value = static_cast<short>(priorityProperty & 0xFFFF);
    static const int kMap[] = {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                               THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL,
                               THREAD_PRIORITY_HIGHEST};
    return value >= 0 && value <= 4 ? kMap[value] : value;
}

DWORD WatchMask(const ControlState& s) {
    DWORD mask = kModemAndErrorEvents;
    if (s.QcNotifySendComplete.load() != 0) mask |= EV_TXEMPTY;
    if (s.QcNotifyRecvChars.load() != -1) mask |= EV_RXCHAR;
    return mask;
}

long QueueSize(short property) { return property > 0 ? property : 1024; }

}  // namespace qlr::port
