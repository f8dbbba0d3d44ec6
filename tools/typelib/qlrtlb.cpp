// qlrtlb: build-time helper for the type library of qlrcom32.ocx.
//
//   qlrtlb build <compiled.tlb> <source.idl> <output.tlb>
//       Rewrites the library that widl compiled through oleaut32's
//       CreateTypeLib2, adding the help strings of the enumeration members
//       (written in the IDL source as QLR_ENUM_DOC("...")), which widl cannot
//       store, and types the hComm accessors' value as stdole's OLE_HANDLE
//       (an alias of int), where widl writes the unsigned integer of its
//       ocidl.idl. The result is loaded again and compared, member by member,
//       with the input; any difference other than these two fails.
//
//   qlrtlb dump <file> <output.txt>
//       Writes a UTF-8 listing of the type library in <file> (a .tlb, or a
//       module with a TYPELIB resource): every type, member, parameter, flag
//       and documentation string.
//
// Runs under wine at build time. Type-library strings are stored in the ANSI
// code page, so it must run with the Japanese code page (932); it refuses to
// run otherwise.
#include <windows.h>
#include <oleauto.h>
#include <shellapi.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---------------------------------------------------------------- small RAII helpers

template <class T>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { reset(); }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T** put() {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

class BstrHolder {
public:
    BstrHolder() = default;
    BstrHolder(const BstrHolder&) = delete;
    BstrHolder& operator=(const BstrHolder&) = delete;
    ~BstrHolder() { SysFreeString(s_); }
    BSTR* put() {
        SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }
    std::wstring str() const { return s_ ? std::wstring(s_, SysStringLen(s_)) : std::wstring(); }
    bool null() const { return s_ == nullptr; }

private:
    BSTR s_ = nullptr;
};

class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo* info) : info_(info) {
        if (FAILED(info->GetTypeAttr(&attr_))) attr_ = nullptr;
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    ~TypeAttr() {
        if (attr_) info_->ReleaseTypeAttr(attr_);
    }
    const TYPEATTR* operator->() const { return attr_; }
    const TYPEATTR& operator*() const { return *attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo* info_;
    TYPEATTR* attr_ = nullptr;
};

class FuncDesc {
public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info->GetFuncDesc(index, &desc_))) desc_ = nullptr;
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    ~FuncDesc() {
        if (desc_) info_->ReleaseFuncDesc(desc_);
    }
    const FUNCDESC* operator->() const { return desc_; }
    const FUNCDESC* get() const { return desc_; }

private:
    ITypeInfo* info_;
    FUNCDESC* desc_ = nullptr;
};

class VarDesc {
public:
    VarDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info->GetVarDesc(index, &desc_))) desc_ = nullptr;
    }
    VarDesc(const VarDesc&) = delete;
    VarDesc& operator=(const VarDesc&) = delete;
    ~VarDesc() {
        if (desc_) info_->ReleaseVarDesc(desc_);
    }
    const VARDESC* operator->() const { return desc_; }
    const VARDESC* get() const { return desc_; }

private:
    ITypeInfo* info_;
    VARDESC* desc_ = nullptr;
};

class LibAttr {
public:
    explicit LibAttr(ITypeLib* lib) : lib_(lib) {
        if (FAILED(lib->GetLibAttr(&attr_))) attr_ = nullptr;
    }
    LibAttr(const LibAttr&) = delete;
    LibAttr& operator=(const LibAttr&) = delete;
    ~LibAttr() {
        if (attr_) lib_->ReleaseTLibAttr(attr_);
    }
    const TLIBATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeLib* lib_;
    TLIBATTR* attr_ = nullptr;
};

struct Failure {
    std::string what;
};

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        throw Failure{what + " failed: " + code};
    }
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr,
                        nullptr);
    return s;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(),
                                      static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) throw Failure{"invalid UTF-8 in the IDL source"};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string GuidText(const GUID& g) {
    wchar_t buf[64] = {};
    StringFromGUID2(g, buf, 64);
    return Utf8(buf);
}

std::string Hex(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%lX", v);
    return buf;
}

std::string Quote(const std::wstring& w) { return "\"" + Utf8(w) + "\""; }

// ---------------------------------------------------------------- listing

const char* TypeKindName(TYPEKIND k) {
    switch (k) {
    case TKIND_ENUM: return "enum";
    case TKIND_RECORD: return "record";
    case TKIND_MODULE: return "module";
    case TKIND_INTERFACE: return "interface";
    case TKIND_DISPATCH: return "dispinterface";
    case TKIND_COCLASS: return "coclass";
    case TKIND_ALIAS: return "alias";
    case TKIND_UNION: return "union";
    default: return "?";
    }
}

std::string TypeName(ITypeInfo* info) {
    BstrHolder name;
    if (FAILED(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr)))
        return "?";
    Ref<ITypeLib> lib;
    UINT index = 0;
    std::string libName;
    if (SUCCEEDED(info->GetContainingTypeLib(lib.put(), &index))) {
        BstrHolder ln;
        if (SUCCEEDED(lib->GetDocumentation(-1, ln.put(), nullptr, nullptr, nullptr)))
            libName = Utf8(ln.str()) + ".";
    }
    return libName + Utf8(name.str());
}

std::string DescribeType(ITypeInfo* owner, const TYPEDESC& t) {
    switch (t.vt) {
    case VT_PTR: return "PTR(" + DescribeType(owner, *t.lptdesc) + ")";
    case VT_SAFEARRAY: return "SAFEARRAY(" + DescribeType(owner, *t.lptdesc) + ")";
    case VT_CARRAY: {
        std::string s = "CARRAY(" + DescribeType(owner, t.lpadesc->tdescElem);
        for (USHORT i = 0; i < t.lpadesc->cDims; ++i)
            s += "," + std::to_string(t.lpadesc->rgbounds[i].lLbound) + ":" +
                 std::to_string(t.lpadesc->rgbounds[i].cElements);
        return s + ")";
    }
    case VT_USERDEFINED: {
        Ref<ITypeInfo> ref;
        if (FAILED(owner->GetRefTypeInfo(t.hreftype, ref.put()))) return "UDT(?)";
        return "UDT(" + TypeName(ref.get()) + ")";
    }
    default: return "VT" + std::to_string(t.vt);
    }
}

std::string DescribeElem(ITypeInfo* owner, const ELEMDESC& e) {
    std::string s = DescribeType(owner, e.tdesc) + " pflags=" + Hex(e.paramdesc.wParamFlags);
    if ((e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) && e.paramdesc.pparamdescex) {
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(VariantChangeType(
                &v, const_cast<VARIANT*>(&e.paramdesc.pparamdescex->varDefaultValue), 0, VT_BSTR)))
            s += " default=" + Quote(std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))));
        VariantClear(&v);
    }
    return s;
}

std::string DescribeValue(const VARIANT* value) {
    if (!value) return "none";
    VARIANT v;
    VariantInit(&v);
    std::string s = "vt" + std::to_string(V_VT(value));
    if (SUCCEEDED(VariantChangeType(&v, const_cast<VARIANT*>(value), 0, VT_BSTR)))
        s += ":" + Utf8(std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))));
    VariantClear(&v);
    return s;
}

// ---------------------------------------------------------------- OLE_HANDLE

// stdole2's OLE_HANDLE: an alias of int. widl resolves OLE_HANDLE through its
// ocidl.idl, an unsigned 32-bit integer, so a script would read an invalid
// handle (-1) as 4294967295; the rewritten library refers to stdole's alias
// instead, as MIDL does.
const GUID kOleHandleAlias = {
    0x66504313, 0xBE0F, 0x101A, {0x8B, 0xBB, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};
const GUID kStdOle = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The accessors whose value is an OLE_HANDLE.
struct HandleAccessors {
    const wchar_t* typeName;
    MEMBERID memid;
    const wchar_t* name;
};
const HandleAccessors kHandleAccessors[] = {{L"IQLRCom", 25, L"hComm"}};

bool IsHandleAccessor(const std::wstring& typeName, const FUNCDESC& f, const std::wstring& name) {
    if (!(f.invkind & (INVOKE_PROPERTYGET | INVOKE_PROPERTYPUT))) return false;
    for (const HandleAccessors& a : kHandleAccessors)
        if (typeName == a.typeName && f.memid == a.memid && name == a.name) return true;
    return false;
}

// How widl writes OLE_HANDLE.
bool IsCompiledHandle(VARTYPE vt) { return vt == VT_UINT || vt == VT_UI4; }

struct ListingOptions {
    bool enumMemberDocs = true;
    // List the OLE_HANDLE of the handle accessors as the rewritten library
    // types it; counts the accessors so listed.
    bool retypeHandles = false;
    mutable size_t retypedAccessors = 0;
};

void ListTypeInfo(ITypeInfo* info, const std::string& label, const ListingOptions& options,
                  std::string& out);

// The IUnknown and IDispatch methods that oleaut32 lists ahead of a
// dispinterface's own members, as restricted dispatch functions.
bool InheritedDispatchMember(const TYPEATTR& attr, const FUNCDESC& f) {
    return attr.typekind == TKIND_DISPATCH && (f.wFuncFlags & FUNCFLAG_FRESTRICTED) &&
           f.memid >= 0x60000000 && f.memid <= 0x6001FFFF;
}

// Lists the members; inherited IUnknown/IDispatch methods of a dispinterface
// are left out (their number differs between type-library writers).
// The type of an OLE_HANDLE value (possibly behind pointers) as the rewritten
// library has it; 'retyped' counts the elements so described.
std::string DescribeRetyped(ITypeInfo* owner, const TYPEDESC& t, int& retyped) {
    if (t.vt == VT_PTR) return "PTR(" + DescribeRetyped(owner, *t.lptdesc, retyped) + ")";
    if (IsCompiledHandle(t.vt)) {
        ++retyped;
        return "UDT(stdole.OLE_HANDLE)";
    }
    return DescribeType(owner, t);
}

std::string DescribeElemRetyped(ITypeInfo* owner, const ELEMDESC& e, int& retyped) {
    if (e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) return DescribeElem(owner, e);
    return DescribeRetyped(owner, e.tdesc, retyped) + " pflags=" + Hex(e.paramdesc.wParamFlags);
}

void ListMembers(ITypeInfo* info, const TYPEATTR& attr, const ListingOptions& options,
                 std::string& out) {
    std::wstring typeName;
    {
        BstrHolder n;
        Check(info->GetDocumentation(MEMBERID_NIL, n.put(), nullptr, nullptr, nullptr),
              "GetDocumentation");
        typeName = n.str();
    }
    UINT listedFuncs = 0;
    for (UINT i = 0; i < attr.cImplTypes; ++i) {
        HREFTYPE h = 0;
        INT flags = 0;
        Check(info->GetRefTypeOfImplType(i, &h), "GetRefTypeOfImplType");
        info->GetImplTypeFlags(i, &flags);
        Ref<ITypeInfo> ref;
        Check(info->GetRefTypeInfo(h, ref.put()), "GetRefTypeInfo");
        out += "  impl " + std::to_string(i) + " " + TypeName(ref.get()) +
               " flags=" + Hex(static_cast<unsigned>(flags)) + "\n";
    }
    for (UINT i = 0; i < attr.cFuncs; ++i) {
        FuncDesc f(info, i);
        if (!f.get()) throw Failure{"GetFuncDesc failed"};
        if (InheritedDispatchMember(attr, *f.get())) continue;
        const UINT listed = listedFuncs++;
        BSTR names[64] = {};
        UINT count = 0;
        Check(info->GetNames(f->memid, names, 64, &count), "GetNames");
        std::vector<std::wstring> nameList;
        for (UINT n = 0; n < count; ++n) {
            nameList.emplace_back(names[n] ? names[n] : L"");
            SysFreeString(names[n]);
        }
        const bool retype = options.retypeHandles && !nameList.empty() &&
                            IsHandleAccessor(typeName, *f.get(), nameList[0]);
        int retyped = 0;
        auto describe = [&](const ELEMDESC& e) {
            return retype ? DescribeElemRetyped(info, e, retyped) : DescribeElem(info, e);
        };
        BstrHolder doc;
        DWORD context = 0;
        info->GetDocumentation(f->memid, nullptr, doc.put(), &context, nullptr);
        out += "  func " + std::to_string(listed) + " memid=" + std::to_string(f->memid) +
               " name=" + (nameList.empty() ? std::string("?") : Utf8(nameList[0])) +
               " invkind=" + std::to_string(f->invkind) +
               " funckind=" + std::to_string(f->funckind) +
               " callconv=" + std::to_string(f->callconv) + " oVft=" + std::to_string(f->oVft) +
               " fflags=" + Hex(f->wFuncFlags) + " cParams=" + std::to_string(f->cParams) +
               " cParamsOpt=" + std::to_string(f->cParamsOpt) +
               " cScodes=" + std::to_string(f->cScodes) + " doc=" + Quote(doc.str()) +
               " helpcontext=" + std::to_string(context) + "\n    returns " +
               describe(f->elemdescFunc) + "\n";
        for (SHORT p = 0; p < f->cParams; ++p) {
            const size_t n = static_cast<size_t>(p) + 1;
            out += "    param " + std::to_string(p) + " " +
                   (n < nameList.size() ? Utf8(nameList[n]) : std::string("-")) + " " +
                   describe(f->lprgelemdescParam[p]) + "\n";
        }
        if (retype) {
            if (retyped != 1)
                throw Failure{"the compiled " + Utf8(typeName) + "." + Utf8(nameList[0]) +
                              " accessor does not carry exactly one unsigned OLE_HANDLE"};
            ++options.retypedAccessors;
        }
    }
    for (UINT i = 0; i < attr.cVars; ++i) {
        VarDesc v(info, i);
        if (!v.get()) throw Failure{"GetVarDesc failed"};
        BstrHolder name, doc;
        DWORD context = 0;
        info->GetDocumentation(v->memid, name.put(), doc.put(), &context, nullptr);
        out += "  var " + std::to_string(i) +
               " memid=" + Hex(static_cast<unsigned long>(v->memid)) + " name=" + Utf8(name.str()) +
               " varkind=" + std::to_string(v->varkind) + " vflags=" + Hex(v->wVarFlags) +
               " value=" +
               (v->varkind == VAR_CONST ? DescribeValue(v->lpvarValue) : std::to_string(v->oInst)) +
               " type=" + DescribeElem(info, v->elemdescVar);
        if (attr.typekind != TKIND_ENUM || options.enumMemberDocs)
            out += " doc=" + Quote(doc.str());
        out += " helpcontext=" + std::to_string(context) + "\n";
    }
    if (attr.typekind == TKIND_ALIAS)
        out += "  alias of " + DescribeType(info, attr.tdescAlias) + "\n";
    // The vtable half of a dual interface.
    if (attr.typekind == TKIND_DISPATCH && (attr.wTypeFlags & TYPEFLAG_FDUAL)) {
        HREFTYPE h = 0;
        Check(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &h), "GetRefTypeOfImplType(-1)");
        Ref<ITypeInfo> vtable;
        Check(info->GetRefTypeInfo(h, vtable.put()), "GetRefTypeInfo(dual)");
        ListTypeInfo(vtable.get(), "dual-vtable", options, out);
    }
}

void ListTypeInfo(ITypeInfo* info, const std::string& label, const ListingOptions& options,
                  std::string& out) {
    TypeAttr attr(info);
    if (!attr) throw Failure{"GetTypeAttr failed"};
    BstrHolder name, doc, helpFile;
    DWORD context = 0;
    info->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), &context, helpFile.put());
    UINT ownFuncs = 0;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc f(info, i);
        if (f.get() && !InheritedDispatchMember(*attr, *f.get())) ++ownFuncs;
    }
    out += label + " " + TypeKindName(attr->typekind) + " " + Utf8(name.str()) + " " +
           GuidText(attr->guid) + " tflags=" + Hex(attr->wTypeFlags) +
           " version=" + std::to_string(attr->wMajorVerNum) + "." +
           std::to_string(attr->wMinorVerNum) + " size=" + std::to_string(attr->cbSizeInstance) +
           " align=" + std::to_string(attr->cbAlignment) +
           " vft=" + std::to_string(attr->cbSizeVft) + " funcs=" + std::to_string(ownFuncs) +
           " vars=" + std::to_string(attr->cVars) + " impls=" + std::to_string(attr->cImplTypes) +
           " lcid=" + Hex(attr->lcid) + " doc=" + Quote(doc.str()) +
           " helpcontext=" + std::to_string(context) + "\n";
    ListMembers(info, *attr, options, out);
}

std::string ListLibrary(ITypeLib* lib, const ListingOptions& options) {
    LibAttr attr(lib);
    if (!attr) throw Failure{"GetLibAttr failed"};
    BstrHolder name, doc, helpFile;
    DWORD context = 0;
    Check(lib->GetDocumentation(-1, name.put(), doc.put(), &context, helpFile.put()),
          "ITypeLib::GetDocumentation");
    std::string out = "library " + Utf8(name.str()) + " " + GuidText(attr->guid) +
                      " version=" + std::to_string(attr->wMajorVerNum) + "." +
                      std::to_string(attr->wMinorVerNum) + " lcid=" + Hex(attr->lcid) +
                      " syskind=" + std::to_string(attr->syskind) +
                      " libflags=" + Hex(attr->wLibFlags) + " doc=" + Quote(doc.str()) +
                      " helpfile=" + Quote(helpFile.str()) +
                      " helpcontext=" + std::to_string(context) + "\n";
    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        Ref<ITypeInfo> info;
        Check(lib->GetTypeInfo(i, info.put()), "GetTypeInfo");
        ListTypeInfo(info.get(), "type " + std::to_string(i), options, out);
    }
    return out;
}

// ---------------------------------------------------------------- enum member help strings

// Member name -> help string, from QLR_ENUM_DOC("...") after each enumeration
// member in the IDL source.
std::map<std::wstring, std::wstring> ReadEnumDocs(const std::string& idl) {
    std::map<std::wstring, std::wstring> docs;
    const std::string marker = "QLR_ENUM_DOC(";
    size_t pos = idl.find("#define QLR_ENUM_DOC");
    pos = pos == std::string::npos ? 0 : idl.find('\n', pos);
    while ((pos = idl.find(marker, pos)) != std::string::npos) {
        // The member is the first identifier of this enumerator: after the
        // preceding ',' or '{'.
        size_t start = idl.find_last_of(",{", pos);
        if (start == std::string::npos) throw Failure{"QLR_ENUM_DOC outside an enumeration"};
        size_t i = start + 1;
        while (i < pos && (idl[i] == ' ' || idl[i] == '\t' || idl[i] == '\r' || idl[i] == '\n'))
            ++i;
        size_t j = i;
        while (j < pos && (isalnum(static_cast<unsigned char>(idl[j])) || idl[j] == '_')) ++j;
        if (j == i) throw Failure{"no enumeration member before QLR_ENUM_DOC"};
        const std::string member = idl.substr(i, j - i);

        size_t q = pos + marker.size();
        while (q < idl.size() && idl[q] == ' ') ++q;
        if (q >= idl.size() || idl[q] != '"')
            throw Failure{"QLR_ENUM_DOC of " + member + " needs a string"};
        std::string text;
        for (++q; q < idl.size() && idl[q] != '"'; ++q) {
            if (idl[q] == '\\' && q + 1 < idl.size()) ++q;
            text += idl[q];
        }
        if (q >= idl.size()) throw Failure{"unterminated QLR_ENUM_DOC string of " + member};
        if (!docs.emplace(FromUtf8(member), FromUtf8(text)).second)
            throw Failure{"QLR_ENUM_DOC given twice for " + member};
        pos = q;
    }
    return docs;
}

// ---------------------------------------------------------------- copying

class Copier {
public:
    Copier(ITypeLib* source, ICreateTypeLib2* target, UINT pointerSize,
           std::map<std::wstring, std::wstring> enumDocs, ITypeInfo* oleHandle)
        : source_(source),
          target_(target),
          pointerSize_(pointerSize),
          enumDocs_(std::move(enumDocs)),
          oleHandle_(oleHandle) {}

    void Run() {
        CopyLibraryAttributes();
        const UINT count = source_->GetTypeInfoCount();
        // Create every type first so that references between them resolve.
        for (UINT i = 0; i < count; ++i) {
            Ref<ITypeInfo> info;
            Check(source_->GetTypeInfo(i, info.put()), "GetTypeInfo");
            Entry e;
            e.source = Primary(info.get());
            TypeAttr attr(e.source);
            if (!attr) throw Failure{"GetTypeAttr failed"};
            BstrHolder name;
            Check(e.source->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr),
                  "GetDocumentation");
            std::wstring n = name.str();
            Check(target_->CreateTypeInfo(&n[0], attr->typekind, e.target.put()),
                  "CreateTypeInfo " + Utf8(n));
            entries_.push_back(std::move(e));
        }
        for (Entry& e : entries_) CopyType(e);
        for (Entry& e : entries_) Check(e.target->LayOut(), "LayOut");
        for (const auto& d : enumDocs_)
            if (!usedDocs_.count(d.first))
                throw Failure{"QLR_ENUM_DOC for unknown member " + Utf8(d.first)};
    }

private:
    struct Entry {
        ITypeInfo* source = nullptr;  // owned through sourceRefs_
        Ref<ICreateTypeInfo> target;
    };

    // The type info that carries a type's members: for a dual interface its
    // vtable half.
    ITypeInfo* Primary(ITypeInfo* info) {
        Ref<ITypeInfo> result;
        TypeAttr attr(info);
        if (!attr) throw Failure{"GetTypeAttr failed"};
        if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
            HREFTYPE h = 0;
            Check(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &h),
                  "GetRefTypeOfImplType(-1)");
            Check(info->GetRefTypeInfo(h, result.put()), "GetRefTypeInfo(dual)");
        } else {
            info->AddRef();
            *result.put() = info;
        }
        sourceRefs_.push_back(std::move(result));
        return sourceRefs_.back().get();
    }

    void CopyLibraryAttributes() {
        LibAttr attr(source_);
        if (!attr) throw Failure{"GetLibAttr failed"};
        BstrHolder name, doc, helpFile;
        DWORD context = 0;
        Check(source_->GetDocumentation(-1, name.put(), doc.put(), &context, helpFile.put()),
              "GetDocumentation");
        std::wstring n = name.str(), d = doc.str(), h = helpFile.str();
        Check(target_->SetName(&n[0]), "SetName");
        Check(target_->SetGuid(attr->guid), "SetGuid");
        Check(target_->SetLcid(attr->lcid), "SetLcid");
        Check(target_->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum), "SetVersion");
        Check(target_->SetLibFlags(attr->wLibFlags), "SetLibFlags");
        if (!doc.null()) Check(target_->SetDocString(&d[0]), "SetDocString");
        if (!helpFile.null()) Check(target_->SetHelpFileName(&h[0]), "SetHelpFileName");
        Check(target_->SetHelpContext(context), "SetHelpContext");
    }

    // A reference of the source type 'from' in terms of the target type 'to'.
    HREFTYPE MapRef(ITypeInfo* from, HREFTYPE h, ICreateTypeInfo* to) {
        Ref<ITypeInfo> ref;
        Check(from->GetRefTypeInfo(h, ref.put()), "GetRefTypeInfo");
        Ref<ITypeLib> lib;
        UINT index = 0;
        Check(ref->GetContainingTypeLib(lib.put(), &index), "GetContainingTypeLib");
        HREFTYPE result = 0;
        if (SameLibrary(lib.get(), source_)) {
            if (index >= entries_.size()) throw Failure{"reference to an unknown type"};
            Ref<ITypeInfo> local;
            Check(entries_[index].target->QueryInterface(IID_ITypeInfo, local.put_void()),
                  "QueryInterface(ITypeInfo)");
            Check(to->AddRefTypeInfo(local.get(), &result), "AddRefTypeInfo");
        } else {
            Check(to->AddRefTypeInfo(ref.get(), &result), "AddRefTypeInfo");
        }
        return result;
    }

    static bool SameLibrary(ITypeLib* a, ITypeLib* b) {
        if (a == b) return true;
        LibAttr x(a), y(b);
        return x && y && IsEqualGUID(x->guid, y->guid) && x->lcid == y->lcid &&
               x->wMajorVerNum == y->wMajorVerNum && x->wMinorVerNum == y->wMinorVerNum;
    }

    TYPEDESC MapType(ITypeInfo* from, const TYPEDESC& t, ICreateTypeInfo* to) {
        TYPEDESC r = t;
        switch (t.vt) {
        case VT_PTR:
        case VT_SAFEARRAY:
            typeStore_.push_back(MapType(from, *t.lptdesc, to));
            r.lptdesc = &typeStore_.back();
            break;
        case VT_CARRAY: {
            const size_t bytes =
                sizeof(ARRAYDESC) +
                sizeof(SAFEARRAYBOUND) * (t.lpadesc->cDims ? t.lpadesc->cDims - 1 : 0);
            arrayStore_.emplace_back(bytes);
            auto* a = reinterpret_cast<ARRAYDESC*>(arrayStore_.back().data());
            std::memcpy(a, t.lpadesc, bytes);
            a->tdescElem = MapType(from, t.lpadesc->tdescElem, to);
            r.lpadesc = a;
            break;
        }
        case VT_USERDEFINED: r.hreftype = MapRef(from, t.hreftype, to); break;
        default: break;
        }
        return r;
    }

    ELEMDESC MapElem(ITypeInfo* from, const ELEMDESC& e, ICreateTypeInfo* to) {
        ELEMDESC r = e;
        r.tdesc = MapType(from, e.tdesc, to);
        return r;
    }

    // The OLE_HANDLE value of a handle accessor (possibly behind pointers),
    // as a reference to stdole's alias; 'retyped' counts the replacements.
    TYPEDESC RetypeHandle(const TYPEDESC& t, ICreateTypeInfo* to, int& retyped) {
        TYPEDESC r = t;
        if (t.vt == VT_PTR) {
            typeStore_.push_back(RetypeHandle(*t.lptdesc, to, retyped));
            r.lptdesc = &typeStore_.back();
        } else if (IsCompiledHandle(t.vt)) {
            r.vt = VT_USERDEFINED;
            r.hreftype = 0;
            Check(to->AddRefTypeInfo(oleHandle_, &r.hreftype), "AddRefTypeInfo(OLE_HANDLE)");
            ++retyped;
        }
        return r;
    }

    void CopyType(Entry& e) {
        ITypeInfo* from = e.source;
        ICreateTypeInfo* to = e.target.get();
        TypeAttr attr(from);
        if (!attr) throw Failure{"GetTypeAttr failed"};
        BstrHolder name, doc;
        DWORD context = 0;
        Check(from->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), &context, nullptr),
              "GetDocumentation");
        const std::string typeName = Utf8(name.str());

        Check(to->SetGuid(attr->guid), "SetGuid " + typeName);
        Check(to->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum), "SetVersion " + typeName);
        if (!doc.null()) {
            std::wstring d = doc.str();
            Check(to->SetDocString(&d[0]), "SetDocString " + typeName);
        }
        Check(to->SetHelpContext(context), "SetHelpContext " + typeName);
        if (attr->typekind == TKIND_ALIAS) {
            TYPEDESC alias = MapType(from, attr->tdescAlias, to);
            Check(to->SetTypeDescAlias(&alias), "SetTypeDescAlias " + typeName);
        }
        for (UINT i = 0; i < attr->cImplTypes; ++i) {
            HREFTYPE h = 0;
            INT flags = 0;
            Check(from->GetRefTypeOfImplType(i, &h), "GetRefTypeOfImplType " + typeName);
            Check(from->GetImplTypeFlags(i, &flags), "GetImplTypeFlags " + typeName);
            Check(to->AddImplType(i, MapRef(from, h, to)), "AddImplType " + typeName);
            if (attr->typekind == TKIND_COCLASS)
                Check(to->SetImplTypeFlags(i, flags), "SetImplTypeFlags " + typeName);
        }
        // After the base interface is known: a dual interface lays itself out
        // against it.
        Check(to->SetTypeFlags(attr->wTypeFlags), "SetTypeFlags " + typeName);
        if (attr->cbAlignment)
            Check(to->SetAlignment(attr->cbAlignment), "SetAlignment " + typeName);

        for (UINT i = 0; i < attr->cFuncs; ++i) CopyFunction(from, to, i, typeName);
        for (UINT i = 0; i < attr->cVars; ++i)
            CopyVariable(from, to, i, attr->typekind == TKIND_ENUM, typeName);
    }

    void CopyFunction(ITypeInfo* from, ICreateTypeInfo* to, UINT i, const std::string& typeName) {
        FuncDesc f(from, i);
        if (!f.get()) throw Failure{"GetFuncDesc " + typeName};
        FUNCDESC d = *f.get();
        std::vector<ELEMDESC> params(static_cast<size_t>(d.cParams));
        for (SHORT p = 0; p < d.cParams; ++p)
            params[static_cast<size_t>(p)] = MapElem(from, f->lprgelemdescParam[p], to);
        d.lprgelemdescParam = params.empty() ? nullptr : params.data();
        d.elemdescFunc = MapElem(from, f->elemdescFunc, to);

        BstrHolder funcName;
        Check(from->GetDocumentation(f->memid, funcName.put(), nullptr, nullptr, nullptr),
              "GetDocumentation " + typeName);
        if (IsHandleAccessor(FromUtf8(typeName), d, funcName.str())) {
            int retyped = 0;
            for (ELEMDESC& p : params) p.tdesc = RetypeHandle(p.tdesc, to, retyped);
            if (retyped != 1)
                throw Failure{"the compiled " + typeName + "." + Utf8(funcName.str()) +
                              " accessor does not carry exactly one unsigned OLE_HANDLE"};
        }
        // oleaut32 reports vtable offsets in slots of this process's pointer size;
        // the library stores them in slots of its own. Given explicitly, they
        // are kept as they are.
        if (d.funckind != FUNC_DISPATCH)
            d.oVft = static_cast<SHORT>(f->oVft / static_cast<SHORT>(sizeof(void*)) *
                                        static_cast<SHORT>(pointerSize_));
        Check(to->AddFuncDesc(i, &d), "AddFuncDesc " + typeName);

        BSTR names[64] = {};
        UINT count = 0;
        Check(from->GetNames(f->memid, names, 64, &count), "GetNames " + typeName);
        std::vector<std::wstring> owned;
        for (UINT n = 0; n < count; ++n) {
            owned.emplace_back(names[n] ? names[n] : L"");
            SysFreeString(names[n]);
        }
        // The value of a property put has no name of its own.
        size_t wanted = static_cast<size_t>(d.cParams) + 1;
        if (d.invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) wanted -= 1;
        if (owned.size() > wanted) owned.resize(wanted);
        std::vector<LPOLESTR> pointers;
        for (std::wstring& s : owned) pointers.push_back(&s[0]);
        Check(to->SetFuncAndParamNames(i, pointers.data(), static_cast<UINT>(pointers.size())),
              "SetFuncAndParamNames " + typeName);

        BstrHolder doc;
        DWORD context = 0;
        Check(from->GetDocumentation(f->memid, nullptr, doc.put(), &context, nullptr),
              "GetDocumentation " + typeName);
        if (!doc.null()) {
            std::wstring s = doc.str();
            Check(to->SetFuncDocString(i, &s[0]), "SetFuncDocString " + typeName);
        }
        Check(to->SetFuncHelpContext(i, context), "SetFuncHelpContext " + typeName);
    }

    void CopyVariable(ITypeInfo* from, ICreateTypeInfo* to, UINT i, bool enumMember,
                      const std::string& typeName) {
        VarDesc v(from, i);
        if (!v.get()) throw Failure{"GetVarDesc " + typeName};
        VARDESC d = *v.get();
        d.elemdescVar = MapElem(from, v->elemdescVar, to);
        Check(to->AddVarDesc(i, &d), "AddVarDesc " + typeName);

        BstrHolder name, doc;
        DWORD context = 0;
        Check(from->GetDocumentation(v->memid, name.put(), doc.put(), &context, nullptr),
              "GetDocumentation " + typeName);
        std::wstring n = name.str();
        Check(to->SetVarName(i, &n[0]), "SetVarName " + typeName);
        std::wstring text = doc.str();
        bool hasDoc = !doc.null();
        if (enumMember) {
            auto it = enumDocs_.find(n);
            if (it == enumDocs_.end())
                throw Failure{"no QLR_ENUM_DOC for " + typeName + "." + Utf8(n)};
            text = it->second;
            hasDoc = true;
            usedDocs_.insert(n);
        }
        if (hasDoc) Check(to->SetVarDocString(i, &text[0]), "SetVarDocString " + typeName);
        Check(to->SetVarHelpContext(i, context), "SetVarHelpContext " + typeName);
    }

    ITypeLib* source_;
    ICreateTypeLib2* target_;
    UINT pointerSize_;
    std::map<std::wstring, std::wstring> enumDocs_;
    std::set<std::wstring> usedDocs_;
    ITypeInfo* oleHandle_;
    std::vector<Entry> entries_;
    std::deque<Ref<ITypeInfo>> sourceRefs_;  // the source types, held while copying
    std::deque<TYPEDESC> typeStore_;
    std::deque<std::vector<unsigned char>> arrayStore_;
};

// ---------------------------------------------------------------- commands

std::string ReadFile(const std::wstring& path) {
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (!f) throw Failure{"cannot open " + Utf8(path)};
    std::string data;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    std::fclose(f);
    return data;
}

void WriteFile(const std::wstring& path, const std::string& data) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (!f) throw Failure{"cannot create " + Utf8(path)};
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) throw Failure{"cannot write " + Utf8(path)};
}

void LoadLibraryFile(const std::wstring& path, Ref<ITypeLib>& lib) {
    Check(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.put()), "LoadTypeLibEx " + Utf8(path));
}

uint32_t ReadU32(const std::string& data, size_t at) {
    if (at + 4 > data.size()) throw Failure{"type library file too short"};
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(data[at + static_cast<size_t>(i)]);
    return v;
}

void WriteU32(std::string& data, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        data[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Layout values that oleaut32 under wine writes in terms of its own process:
//  - every enumeration gets the size of a pointer; an enumeration is 4 bytes,
//    as widl (and MIDL) store it;
//  - a dual interface's virtual table is sized from IDispatch as this
//    process sees it, which is wrong for a 32-bit library written here.
// Writes the compiled values into the saved file. MSFT format: the header, an
// optional help-DLL entry and the type-info offsets precede the segment
// directory, whose first segment is the table of 0x64-byte type-info records,
// with the virtual-table size (16 bits) at 0x4E and the instance size at 0x50.
struct LayoutFix {
    std::map<UINT, uint32_t> enumSizes;    // type index -> instance size
    std::map<UINT, uint16_t> vtableSizes;  // type index -> virtual-table size
};

void PatchLayout(const std::wstring& path, const LayoutFix& fix) {
    std::string data = ReadFile(path);
    if (ReadU32(data, 0) != 0x5446534D) throw Failure{"not an MSFT type library: " + Utf8(path)};
    const uint32_t varflags = ReadU32(data, 0x14);
    const uint32_t count = ReadU32(data, 0x20);
    size_t segdir = 0x54 + ((varflags & 0x100) ? 4 : 0) + 4 * static_cast<size_t>(count);
    const size_t table = ReadU32(data, segdir);
    bool changed = false;
    for (const auto& s : fix.enumSizes) {
        if (s.first >= count) throw Failure{"type index out of range"};
        const size_t record = table + 0x64 * static_cast<size_t>(s.first);
        if ((ReadU32(data, record) & 0xF) != TKIND_ENUM)
            throw Failure{"type-info record is not an enumeration"};
        if (ReadU32(data, record + 0x50) != s.second) {
            WriteU32(data, record + 0x50, s.second);
            changed = true;
        }
    }
    for (const auto& s : fix.vtableSizes) {
        if (s.first >= count) throw Failure{"type index out of range"};
        const size_t record = table + 0x64 * static_cast<size_t>(s.first);
        const uint32_t kind = ReadU32(data, record) & 0xF;
        if (kind != TKIND_DISPATCH && kind != TKIND_INTERFACE)
            throw Failure{"type-info record is not an interface"};
        const uint32_t word = ReadU32(data, record + 0x4C);
        const uint32_t patched = (word & 0xFFFFu) | (static_cast<uint32_t>(s.second) << 16);
        if (word != patched) {
            WriteU32(data, record + 0x4C, patched);
            changed = true;
        }
    }
    if (changed) WriteFile(path, data);
}

// The texts of helpstring("...") in the IDL source.
std::vector<std::wstring> ReadHelpStrings(const std::string& idl) {
    std::vector<std::wstring> texts;
    const std::string marker = "helpstring(\"";
    for (size_t pos = idl.find(marker); pos != std::string::npos; pos = idl.find(marker, pos)) {
        std::string text;
        size_t q = pos + marker.size();
        for (; q < idl.size() && idl[q] != '"'; ++q) {
            if (idl[q] == '\\' && q + 1 < idl.size()) ++q;
            text += idl[q];
        }
        texts.push_back(FromUtf8(text));
        pos = q;
    }
    return texts;
}

void CollectDocs(ITypeInfo* info, std::set<std::wstring>& docs) {
    TypeAttr attr(info);
    if (!attr) throw Failure{"GetTypeAttr failed"};
    BstrHolder doc;
    info->GetDocumentation(MEMBERID_NIL, nullptr, doc.put(), nullptr, nullptr);
    docs.insert(doc.str());
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FuncDesc f(info, i);
        BstrHolder d;
        if (f.get() &&
            SUCCEEDED(info->GetDocumentation(f->memid, nullptr, d.put(), nullptr, nullptr)))
            docs.insert(d.str());
    }
    for (UINT i = 0; i < attr->cVars; ++i) {
        VarDesc v(info, i);
        BstrHolder d;
        if (v.get() &&
            SUCCEEDED(info->GetDocumentation(v->memid, nullptr, d.put(), nullptr, nullptr)))
            docs.insert(d.str());
    }
}

void Build(const std::wstring& input, const std::wstring& idlPath, const std::wstring& output) {
    Ref<ITypeLib> source;
    LoadLibraryFile(input, source);
    const std::string idl = ReadFile(idlPath);
    std::map<std::wstring, std::wstring> docs = ReadEnumDocs(idl);
    if (docs.empty()) throw Failure{"no QLR_ENUM_DOC in " + Utf8(idlPath)};
    const std::map<std::wstring, std::wstring> expectedDocs = docs;

    LayoutFix fix;
    for (UINT i = 0; i < source->GetTypeInfoCount(); ++i) {
        Ref<ITypeInfo> info;
        Check(source->GetTypeInfo(i, info.put()), "GetTypeInfo");
        TypeAttr attr(info.get());
        if (!attr) throw Failure{"GetTypeAttr failed"};
        if (attr->typekind == TKIND_ENUM) fix.enumSizes[i] = attr->cbSizeInstance;
        if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
            HREFTYPE h = 0;
            Ref<ITypeInfo> vtable;
            Check(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &h),
                  "GetRefTypeOfImplType(-1)");
            Check(info->GetRefTypeInfo(h, vtable.put()), "GetRefTypeInfo(dual)");
            TypeAttr vattr(vtable.get());
            if (!vattr) throw Failure{"GetTypeAttr failed"};
            fix.vtableSizes[i] = vattr->cbSizeVft;
        }
    }

    // stdole2's OLE_HANDLE, as the registered stdole2 has it (or the file).
    Ref<ITypeLib> stdole;
    if (FAILED(LoadRegTypeLib(kStdOle, 2, 0, LOCALE_NEUTRAL, stdole.put())))
        Check(LoadTypeLib(L"stdole2.tlb", stdole.put()), "LoadTypeLib(stdole2.tlb)");
    Ref<ITypeInfo> oleHandle;
    Check(stdole->GetTypeInfoOfGuid(kOleHandleAlias, oleHandle.put()),
          "GetTypeInfoOfGuid(OLE_HANDLE)");
    {
        TypeAttr a(oleHandle.get());
        BstrHolder n;
        Check(oleHandle->GetDocumentation(MEMBERID_NIL, n.put(), nullptr, nullptr, nullptr),
              "GetDocumentation(OLE_HANDLE)");
        if (!a || a->typekind != TKIND_ALIAS || a->tdescAlias.vt != VT_INT ||
            n.str() != L"OLE_HANDLE")
            throw Failure{"stdole2's " + GuidText(kOleHandleAlias) +
                          " is not OLE_HANDLE, an alias of int"};
    }

    const std::wstring temp = output + L".tmp";
    DeleteFileW(temp.c_str());
    {
        LibAttr attr(source.get());
        if (!attr) throw Failure{"GetLibAttr failed"};
        Ref<ICreateTypeLib2> target;
        Check(CreateTypeLib2(attr->syskind, temp.c_str(), target.put()), "CreateTypeLib2");
        Copier copier(source.get(), target.get(), attr->syskind == SYS_WIN64 ? 8u : 4u,
                      std::move(docs), oleHandle.get());
        copier.Run();
        Check(target->SaveAllChanges(), "SaveAllChanges");
    }
    PatchLayout(temp, fix);

    // Read the result back: everything as compiled, plus the member help
    // strings, with the handle accessors' value typed as stdole's OLE_HANDLE.
    Ref<ITypeLib> result;
    LoadLibraryFile(temp, result);
    ListingOptions expected;
    expected.enumMemberDocs = false;
    expected.retypeHandles = true;
    ListingOptions actual;
    actual.enumMemberDocs = false;
    const std::string before = ListLibrary(source.get(), expected);
    const std::string after = ListLibrary(result.get(), actual);
    // Each accessor (get and put) is listed twice: in the dispinterface and
    // in its vtable half.
    const size_t handleAccessors = sizeof kHandleAccessors / sizeof kHandleAccessors[0];
    if (expected.retypedAccessors != 4 * handleAccessors)
        throw Failure{"the compiled library lists " + std::to_string(expected.retypedAccessors) +
                      " OLE_HANDLE accessors, not " + std::to_string(4 * handleAccessors)};
    if (before != after) {
        WriteFile(output + L".expected.txt", before);
        WriteFile(output + L".actual.txt", after);
        throw Failure{"the rewritten library differs from the compiled one (see " + Utf8(output) +
                      ".expected.txt/.actual.txt)"};
    }
    size_t checked = 0;
    for (UINT i = 0; i < result->GetTypeInfoCount(); ++i) {
        Ref<ITypeInfo> info;
        Check(result->GetTypeInfo(i, info.put()), "GetTypeInfo");
        TypeAttr attr(info.get());
        if (!attr || attr->typekind != TKIND_ENUM) continue;
        for (UINT v = 0; v < attr->cVars; ++v) {
            VarDesc var(info.get(), v);
            BstrHolder name, doc;
            Check(info->GetDocumentation(var->memid, name.put(), doc.put(), nullptr, nullptr),
                  "GetDocumentation");
            auto it = expectedDocs.find(name.str());
            if (it == expectedDocs.end() || it->second != doc.str())
                throw Failure{"help string of " + Utf8(name.str()) + " reads back as " +
                              Quote(doc.str())};
            ++checked;
        }
    }
    if (checked != expectedDocs.size())
        throw Failure{"not every enumeration member help string was written"};

    // Every help string of the source reads back exactly (this is where a
    // wrong code page would show).
    std::set<std::wstring> present;
    {
        BstrHolder doc;
        result->GetDocumentation(-1, nullptr, doc.put(), nullptr, nullptr);
        present.insert(doc.str());
    }
    for (UINT i = 0; i < result->GetTypeInfoCount(); ++i) {
        Ref<ITypeInfo> info;
        Check(result->GetTypeInfo(i, info.put()), "GetTypeInfo");
        CollectDocs(info.get(), present);
    }
    for (const std::wstring& text : ReadHelpStrings(idl))
        if (!present.count(text))
            throw Failure{"help string " + Quote(text) + " does not read back"};

    result.reset();
    source.reset();
    if (!MoveFileExW(temp.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING))
        throw Failure{"cannot replace " + Utf8(output)};
}

void Dump(const std::wstring& input, const std::wstring& output) {
    Ref<ITypeLib> lib;
    LoadLibraryFile(input, lib);
    WriteFile(output, ListLibrary(lib.get(), ListingOptions{}));
}

int Usage() {
    std::fprintf(stderr,
                 "usage: qlrtlb build <compiled.tlb> <source.idl> <output.tlb>\n"
                 "       qlrtlb dump <file> <output.txt>\n");
    return 2;
}

}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return Usage();
    std::vector<std::wstring> args(argv, argv + argc);
    LocalFree(argv);

    if (GetACP() != 932) {
        std::fprintf(stderr,
                     "qlrtlb: the ANSI code page is %u; run with the Japanese code page 932 "
                     "(under wine: LC_ALL=ja_JP.UTF-8)\n",
                     GetACP());
        return 3;
    }
    if (FAILED(CoInitialize(nullptr))) return 4;
    int rc = 0;
    try {
        if (args.size() == 5 && args[1] == L"build")
            Build(args[2], args[3], args[4]);
        else if (args.size() == 4 && args[1] == L"dump")
            Dump(args[2], args[3]);
        else
            rc = Usage();
    } catch (const Failure& f) {
        std::fprintf(stderr, "qlrtlb: %s\n", f.what.c_str());
        rc = 1;
    }
    CoUninitialize();
    return rc;
}
