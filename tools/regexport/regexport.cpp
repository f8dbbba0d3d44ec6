// regexport: the registration of qlrcom32.ocx in other forms, taken from the
// module's own REGISTRY scripts and type library, so that the packages never
// carry a second copy of the registration tables.
//
//   regexport MODULE ARCH VERSION OUTDIR
//
// MODULE is a built qlrcom32.ocx of either architecture (read as data, never
// run); ARCH is x86 or x64. Writes, UTF-8:
//   OUTDIR/qlrcom32.manifest  the assembly manifest for registration-free use
//                             (comClass per class, typelib, proxy/stub entries
//                             of the dispatch interfaces)
//   OUTDIR/registry.wxi       WiX RegistryValue rows: the scripts' values with
//                             %MODULE% as the installed module ([#qlrcom32.ocx]),
//                             then what RegisterTypeLib writes for the library
//   OUTDIR/registry-text.tsv  the rows whose texts are not ASCII (key, value
//                             name, value; tab-separated): wixl loses such
//                             strings, so tools/package.sh adds them to the
//                             installer's Registry table itself
//   OUTDIR/empty-keys.txt     keys without values (one a line) that the rows
//                             cannot express; the installer gets them as "*"
//                             rows (created on install, deleted on uninstall)
// Exit status 0 on success, 1 on failure (with a message), 2 on a usage error.
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "control/registration/registrar_script.h"
#include "resources/resource_ids.h"

namespace {

using qlr::reg::Entry;
using qlr::reg::Flag;
using qlr::reg::Root;
using qlr::reg::Script;
using qlr::reg::Value;

const wchar_t kModuleFileId[] = L"[#qlrcom32.ocx]";
const wchar_t kDispatchProxy[] = L"{00020424-0000-0000-C000-000000000046}";

std::string Utf8(const std::wstring& s) {
    if (s.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr,
                        nullptr);
    return out;
}

std::wstring Xml(const std::wstring& s) {
    std::wstring out;
    for (wchar_t c : s) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::wstring GuidText(const GUID& g) {
    wchar_t buf[64];
    StringFromGUID2(g, buf, 64);
    return buf;
}

bool WriteFileUtf8(const std::wstring& path, const std::wstring& text) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) return false;
    const std::string bytes = Utf8(text);
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

int Fail(const std::wstring& what) {
    std::fwprintf(stderr, L"regexport: %ls\n", what.c_str());
    return 1;
}

// ---------------------------------------------------------------- scripts

// One key of a script with the values it gets at registration.
struct Key {
    std::wstring path;
    std::vector<std::pair<std::wstring, Value>> values;  // name ("" default), value
};

// The keys the entries write, in script order. NoRemove keys (CLSID) are
// shared roots, not this module's: they get no key of their own.
void Flatten(const std::wstring& parent, size_t parentIndex, const std::vector<Entry>& entries,
             std::vector<Key>* keys) {
    for (const Entry& e : entries) {
        if (e.isNamedValue) {
            if (parentIndex < keys->size())
                (*keys)[parentIndex].values.emplace_back(e.name, e.value);
            continue;
        }
        if (e.flag == Flag::Delete) continue;
        const std::wstring path = parent.empty() ? e.name : parent + L'\\' + e.name;
        size_t index = SIZE_MAX;
        if (e.flag != Flag::NoRemove) {
            index = keys->size();
            keys->push_back(Key{path, {}});
            if (e.hasValue) keys->back().values.emplace_back(std::wstring(), e.value);
        }
        Flatten(path, index, e.children, keys);
    }
}

bool LoadScript(HMODULE module, UINT id, const std::wstring& modulePath, std::vector<Key>* keys) {
    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return false;
    Script script;
    std::wstring error;
    const std::wstring text = qlr::reg::DecodeScriptBytes(data, SizeofResource(module, info));
    if (FAILED(qlr::reg::ParseScript(text, {{L"MODULE", modulePath}}, &script, &error))) {
        Fail(L"script " + std::to_wstring(id) + L": " + error);
        return false;
    }
    for (const auto& block : script.roots) {
        if (block.root != Root::ClassesRoot) {
            Fail(L"script " + std::to_wstring(id) + L" writes outside HKCR");
            return false;
        }
        Flatten(std::wstring(), SIZE_MAX, block.entries, keys);
    }
    return true;
}

const Key* FindKey(const std::vector<Key>& keys, const std::wstring& path) {
    for (const Key& k : keys)
        if (CompareStringOrdinal(k.path.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
            return &k;
    return nullptr;
}

std::wstring DefaultOf(const Key* key, const wchar_t* name = L"") {
    if (!key) return std::wstring();
    for (const auto& v : key->values)
        if (v.first == name) return v.second.text;
    return std::wstring();
}

// The manifest's keywords for the OLEMISC bits.
std::wstring MiscKeywords(DWORD bits) {
    static const struct {
        DWORD bit;
        const wchar_t* word;
    } kWords[] = {
        {0x1, L"recomposeonresize"},     {0x2, L"onlyiconic"},
        {0x4, L"insertnotreplace"},      {0x8, L"static"},
        {0x10, L"cantlinkinside"},       {0x20, L"canlinkbyole1"},
        {0x40, L"islinkobject"},         {0x80, L"insideout"},
        {0x100, L"activatewhenvisible"}, {0x200, L"renderingisdeviceindependent"},
        {0x400, L"invisibleatruntime"},  {0x800, L"alwaysrun"},
        {0x1000, L"actslikebutton"},     {0x2000, L"actslikelabel"},
        {0x4000, L"nouiactivate"},       {0x8000, L"alignable"},
        {0x10000, L"simpleframe"},       {0x20000, L"setclientsitefirst"},
        {0x40000, L"imemode"},           {0x80000, L"ignoreactivatewhenvisible"},
        {0x100000, L"wantstomenumerge"}, {0x200000, L"supportsmultilevelundo"},
    };
    std::wstring out;
    for (const auto& w : kWords) {
        if (!(bits & w.bit)) continue;
        if (!out.empty()) out += L',';
        out += w.word;
    }
    return out;
}

// ---------------------------------------------------------------- outputs

struct Library {
    std::wstring libid, version, name, syskind, lcid;
    std::vector<std::pair<std::wstring, std::wstring>> dispatchInterfaces;  // name, iid
};

bool ReadLibrary(const std::wstring& tlbPath, Library* lib) {
    ITypeLib* tl = nullptr;
    if (FAILED(LoadTypeLibEx(tlbPath.c_str(), REGKIND_NONE, &tl))) return false;
    TLIBATTR* attr = nullptr;
    tl->GetLibAttr(&attr);
    lib->libid = GuidText(attr->guid);
    lib->version = std::to_wstring(attr->wMajorVerNum) + L'.' + std::to_wstring(attr->wMinorVerNum);
    lib->syskind = attr->syskind == SYS_WIN64 ? L"win64" : L"win32";
    wchar_t lcid[16];
    std::swprintf(lcid, 16, L"%lx", static_cast<unsigned long>(attr->lcid));
    lib->lcid = lcid;
    tl->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr;
    tl->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
    lib->name = doc && *doc ? doc : (name ? name : L"");
    SysFreeString(name);
    SysFreeString(doc);
    for (UINT i = 0, n = tl->GetTypeInfoCount(); i < n; ++i) {
        ITypeInfo* ti = nullptr;
        if (FAILED(tl->GetTypeInfo(i, &ti))) continue;
        TYPEATTR* ta = nullptr;
        ti->GetTypeAttr(&ta);
        const bool dispatch = ta->typekind == TKIND_DISPATCH || (ta->typekind == TKIND_INTERFACE &&
                                                                 (ta->wTypeFlags & TYPEFLAG_FDUAL));
        if (dispatch) {
            BSTR iname = nullptr;
            ti->GetDocumentation(MEMBERID_NIL, &iname, nullptr, nullptr, nullptr);
            lib->dispatchInterfaces.emplace_back(iname ? iname : L"", GuidText(ta->guid));
            SysFreeString(iname);
        }
        ti->ReleaseTypeAttr(ta);
        ti->Release();
    }
    tl->Release();
    return true;
}

std::wstring Manifest(const std::vector<Key>& keys, const Library& lib, const std::wstring& arch,
                      const std::wstring& version) {
    std::wstring m =
        L"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        L"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
        L"  <assemblyIdentity type=\"win32\" name=\"qlrcom32\" version=\"" +
        version + L"\" processorArchitecture=\"" + (arch == L"x64" ? L"amd64" : L"x86") +
        L"\"/>\r\n  <file name=\"qlrcom32.ocx\">\r\n";
    for (const Key& k : keys) {
        // Class keys: CLSID\{...} itself.
        if (k.path.rfind(L"CLSID\\", 0) != 0 || k.path.find(L'\\', 6) != std::wstring::npos)
            continue;
        const std::wstring clsid = k.path.substr(6);
        // The ProgIDs that name this class: versioned (no CurVer) and
        // version-independent (with CurVer).
        std::wstring progid, independent;
        for (const Key& p : keys) {
            if (p.path.find(L'\\') != std::wstring::npos || p.path == L"CLSID") continue;
            if (DefaultOf(FindKey(keys, p.path + L"\\CLSID")) != clsid) continue;
            (FindKey(keys, p.path + L"\\CurVer") ? independent : progid) = p.path;
        }
        m += L"    <comClass clsid=\"" + clsid + L"\" description=\"" + Xml(DefaultOf(&k)) +
             L"\" threadingModel=\"" +
             DefaultOf(FindKey(keys, k.path + L"\\InprocServer32"), L"ThreadingModel") + L"\"";
        if (!progid.empty()) m += L" progid=\"" + Xml(progid) + L"\"";
        m += L" tlbid=\"" + lib.libid + L"\"";
        if (const Key* misc = FindKey(keys, k.path + L"\\MiscStatus")) {
            const DWORD bits = wcstoul(DefaultOf(misc).c_str(), nullptr, 10);
            if (bits) m += L" miscStatus=\"" + MiscKeywords(bits) + L"\"";
            if (const Key* content = FindKey(keys, k.path + L"\\MiscStatus\\1"))
                m += L" miscStatusContent=\"" +
                     MiscKeywords(wcstoul(DefaultOf(content).c_str(), nullptr, 10)) + L"\"";
        }
        m += independent.empty()
                 ? L"/>\r\n"
                 : L">\r\n      <progid>" + Xml(independent) + L"</progid>\r\n    </comClass>\r\n";
    }
    m += L"    <typelib tlbid=\"" + lib.libid + L"\" version=\"" + lib.version +
         L"\" helpdir=\"\"/>\r\n  </file>\r\n";
    for (const auto& itf : lib.dispatchInterfaces)
        m += L"  <comInterfaceExternalProxyStub name=\"" + Xml(itf.first) + L"\" iid=\"" +
             itf.second + L"\" proxyStubClsid32=\"" + kDispatchProxy + L"\" tlbid=\"" + lib.libid +
             L"\"/>\r\n";
    return m + L"</assembly>\r\n";
}

bool IsAscii(const std::wstring& s) {
    for (wchar_t c : s)
        if (c > 0x7F) return false;
    return true;
}

// Rows whose texts are not ASCII, as tab-separated lines.
std::wstring g_textRows;

void Row(std::wstring* out, const std::wstring& key, const std::wstring& name,
         const std::wstring& value) {
    if (!IsAscii(key) || !IsAscii(name) || !IsAscii(value)) {
        g_textRows += key + L'\t' + name + L'\t' + value + L'\n';
        return;
    }
    *out += L"<RegistryValue Root=\"HKCR\" Key=\"" + Xml(key) + L"\"";
    if (!name.empty()) *out += L" Name=\"" + Xml(name) + L"\"";
    *out += L" Type=\"string\" Value=\"" + Xml(value) + L"\"/>\n";
}

bool Rows(const std::vector<Key>& keys, const Library& lib, std::wstring* rows,
          std::wstring* empty) {
    *rows = L"<Include>\n";
    for (const Key& k : keys) {
        // A key without values of its own and without subkeys to carry it.
        bool hasSubkeys = false;
        for (const Key& other : keys)
            hasSubkeys |= other.path.size() > k.path.size() &&
                          other.path.compare(0, k.path.size() + 1, k.path + L"\\") == 0;
        if (k.values.empty() && !hasSubkeys) *empty += k.path + L"\n";
        for (const auto& v : k.values) {
            if (v.second.type != Value::Type::String) {
                Fail(L"only string values can become rows: " + k.path);
                return false;
            }
            Row(rows, k.path, v.first, v.second.text);
        }
    }
    // What RegisterTypeLib writes: the library, then each dispatch interface.
    const std::wstring tl = L"TypeLib\\" + lib.libid + L"\\" + lib.version;
    Row(rows, tl, L"", lib.name);
    Row(rows, tl + L"\\FLAGS", L"", L"0");
    Row(rows, tl + L"\\" + lib.lcid + L"\\" + lib.syskind, L"", kModuleFileId);
    Row(rows, tl + L"\\HELPDIR", L"", L"[INSTALLDIR]");
    for (const auto& itf : lib.dispatchInterfaces) {
        const std::wstring key = L"Interface\\" + itf.second;
        Row(rows, key, L"", itf.first);
        Row(rows, key + L"\\ProxyStubClsid", L"", kDispatchProxy);
        Row(rows, key + L"\\ProxyStubClsid32", L"", kDispatchProxy);
        Row(rows, key + L"\\TypeLib", L"", lib.libid);
        Row(rows, key + L"\\TypeLib", L"Version", lib.version);
    }
    *rows += L"</Include>\n";
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fwprintf(stderr, L"usage: regexport MODULE x86|x64 VERSION OUTDIR\n");
        return 2;
    }
    const std::wstring modulePath = argv[1], arch = argv[2], version = argv[3], out = argv[4];
    if (arch != L"x86" && arch != L"x64") return Fail(L"ARCH is x86 or x64");
    HMODULE module = LoadLibraryExW(modulePath.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return Fail(L"cannot read " + modulePath);
    std::vector<Key> keys;
    for (UINT id : {IDR_QLRCOM, IDR_COMMSETTINGS, IDR_QLRPORTLIST})
        if (!LoadScript(module, id, kModuleFileId, &keys)) return 1;
    FreeLibrary(module);

    Library lib;
    if (!ReadLibrary(modulePath, &lib))
        return Fail(L"cannot read the type library of " + modulePath);
    std::wstring rows, empty;
    if (!Rows(keys, lib, &rows, &empty)) return 1;
    if (!WriteFileUtf8(out + L"\\qlrcom32.manifest", Manifest(keys, lib, arch, version)) ||
        !WriteFileUtf8(out + L"\\registry.wxi", rows) ||
        !WriteFileUtf8(out + L"\\registry-text.tsv", g_textRows) ||
        !WriteFileUtf8(out + L"\\empty-keys.txt", empty))
        return Fail(L"cannot write to " + out);
    return 0;
}
