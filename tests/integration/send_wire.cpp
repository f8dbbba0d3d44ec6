// Puts every kind of send on the line through the registered control, so that
// the far end can compare the bytes. Usage: send_wire.exe PORT_NUMBER
// Prints the return code of each send; exit status 0 when every send
// returned what it should.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>

#include "port_name.h"
#include "qlrcom32_h.h"

namespace {

int g_failures = 0;

void Expect(const char* what, short rc, short expected) {
    std::printf("%-40s rc=%d%s\n", what, rc, rc == expected ? "" : "  <-- unexpected");
    if (rc != expected) ++g_failures;
}

// A byte array with the given lower bound.
VARIANT ByteArray(LONG lower, const unsigned char* bytes, ULONG count) {
    SAFEARRAYBOUND bound{count, lower};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(v.parray, &data);
    memcpy(data, bytes, count);
    SafeArrayUnaccessData(v.parray);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IQLRCom* com = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QLRCom, nullptr, CLSCTX_INPROC_SERVER, IID_IQLRCom,
                                reinterpret_cast<void**>(&com)))) {
        std::printf("cannot create the control\n");
        return 1;
    }
    short rc = -9;
    SelectPort(com, std::atoi(argv[1]));
    com->OpenComm(&rc);
    Expect("OpenComm", rc, 0);

    // Text in the ANSI code page: U+00E9 and U+3042 become whatever the
    // code page makes of them; the far end knows which code page ran.
    BSTR text = SysAllocString(L"A\u00E9\u3042|");
    com->SendString(text, &rc);
    Expect("SendString A e-acute hiragana-a |", rc, 0);
    com->put_QcMode(TextMode);
    BSTR line = SysAllocString(L"line");
    com->SendString(line, &rc);
    Expect("SendString in text mode", rc, 0);
    com->SendUnicodeString(line, &rc);  // the mode does not apply
    Expect("SendUnicodeString", rc, 0);
    com->put_QcMode(NormalMode);

    const unsigned char odd[] = {0x00, 0x7F, 0x80, 0xFF, 0x0A};
    VARIANT direct = ByteArray(5, odd, 5);
    com->SendBinaryBytes(direct, &rc);
    Expect("SendBinaryBytes bounds 5..9", rc, 0);
    VARIANT byRef;
    VariantInit(&byRef);
    VARIANT negative = ByteArray(-3, odd + 1, 2);
    byRef.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    byRef.pparray = &negative.parray;
    com->SendBinaryBytes(byRef, &rc);
    Expect("SendBinaryBytes by reference, bounds -3..-2", rc, 0);

    com->put_SendBuffer(0, 0x31);
    com->put_SendBuffer(1, -1);  // stores 0xFF
    com->SendByte(2, &rc);
    Expect("SendByte 2 from SendBuffer", rc, 0);
    BSTR star = SysAllocString(L"*");
    com->SendChar(star, &rc);
    Expect("SendChar *", rc, 0);
    com->put_Output(star);

    com->CloseComm(&rc);
    Expect("CloseComm", rc, 0);
    VariantClear(&direct);
    VariantClear(&negative);
    SysFreeString(text);
    SysFreeString(line);
    SysFreeString(star);
    com->Release();
    CoUninitialize();
    return g_failures == 0 ? 0 : 1;
}
