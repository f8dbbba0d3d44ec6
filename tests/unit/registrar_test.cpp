// Registration: the script interpreter and the register/unregister walk against
// an in-memory registry, with the module's own registration scripts; and the
// class objects' rules.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/registration/class_factory.h"
#include "control/com/module.h"
#include "control/registration/registrar.h"
#include "qlrcom32_h.h"

namespace qlr::reg {
namespace {

const wchar_t kControlKey[] = L"CLSID\\{B8E15D98-6585-49ED-8178-ADA511C917C9}";
const wchar_t kPageKey[] = L"CLSID\\{BCDBEB80-61A7-4C61-B00E-A6BF7F04CEB9}";
const wchar_t kPortListKey[] = L"CLSID\\{3E186973-F646-4D23-ACC0-6586EB6BE0CA}";
const wchar_t kModule[] = L"C:\\Program Files\\Q'lr\\qlrcom32.ocx";

struct NoCaseLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](wchar_t x, wchar_t y) { return towlower(x) < towlower(y); });
    }
};

// A registry held in memory; names compare without regard to case as in the
// real one. Any operation can be made to fail.
class FakeRegistry final : public RegistryBackend {
public:
    struct Key {
        std::map<std::wstring, Value, NoCaseLess> values;
        std::map<std::wstring, std::unique_ptr<Key>, NoCaseLess> subkeys;
    };

    // Called before every operation; a result other than ERROR_SUCCESS fails it.
    std::function<LONG(const char* op, const std::wstring& path, const std::wstring& name)>
        failWith;
    std::vector<std::string> log;

    LONG CreateKey(Root root, const std::wstring& path) override {
        if (LONG rc = Check("CreateKey", path, L"")) return rc;
        Key* k = &roots_[static_cast<int>(root)];
        for (const std::wstring& part : Split(path)) {
            auto& slot = k->subkeys[part];
            if (!slot) slot = std::make_unique<Key>();
            k = slot.get();
        }
        return ERROR_SUCCESS;
    }
    bool KeyExists(Root root, const std::wstring& path) override {
        return Find(root, path) != nullptr;
    }
    bool HasSubkeys(Root root, const std::wstring& path) override {
        Key* k = Find(root, path);
        return k && !k->subkeys.empty();
    }
    LONG DeleteKey(Root root, const std::wstring& path) override {
        if (LONG rc = Check("DeleteKey", path, L"")) return rc;
        Key* parent = Parent(root, path);
        if (!parent) return ERROR_FILE_NOT_FOUND;
        auto it = parent->subkeys.find(Split(path).back());
        if (it == parent->subkeys.end()) return ERROR_FILE_NOT_FOUND;
        if (!it->second->subkeys.empty()) return ERROR_ACCESS_DENIED;
        parent->subkeys.erase(it);
        return ERROR_SUCCESS;
    }
    LONG DeleteTree(Root root, const std::wstring& path) override {
        if (LONG rc = Check("DeleteTree", path, L"")) return rc;
        Key* parent = Parent(root, path);
        if (!parent) return ERROR_FILE_NOT_FOUND;
        return parent->subkeys.erase(Split(path).back()) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    LONG SetValue(Root root, const std::wstring& path, const std::wstring& name,
                  const Value& value) override {
        if (LONG rc = Check("SetValue", path, name)) return rc;
        Key* k = Find(root, path);
        if (!k) return ERROR_FILE_NOT_FOUND;
        k->values[name] = value;
        return ERROR_SUCCESS;
    }
    LONG DeleteValue(Root root, const std::wstring& path, const std::wstring& name) override {
        if (LONG rc = Check("DeleteValue", path, name)) return rc;
        Key* k = Find(root, path);
        if (!k) return ERROR_FILE_NOT_FOUND;
        return k->values.erase(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    LONG ReadString(Root root, const std::wstring& path, const std::wstring& name,
                    std::wstring* text) override {
        if (LONG rc = Check("ReadString", path, name)) return rc;
        Key* k = Find(root, path);
        if (!k) return ERROR_FILE_NOT_FOUND;
        auto it = k->values.find(name);
        if (it == k->values.end() || it->second.type != Value::Type::String)
            return ERROR_FILE_NOT_FOUND;
        *text = it->second.text;
        return ERROR_SUCCESS;
    }
    bool KeyExistsInOtherView(Root, const std::wstring& path) override {
        for (const std::wstring& key : otherView)
            if (CompareStringOrdinal(key.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
                return true;
        return false;
    }
    // Keys of the other architecture's registry view.
    std::vector<std::wstring> otherView;

    // Test helpers, all under HKEY_CLASSES_ROOT unless told.
    bool Has(const std::wstring& path, Root root = Root::ClassesRoot) {
        return Find(root, path) != nullptr;
    }
    // The string value, or "<absent>".
    std::wstring Str(const std::wstring& path, const std::wstring& name = L"",
                     Root root = Root::ClassesRoot) {
        Key* k = Find(root, path);
        if (!k) return L"<no key>";
        auto it = k->values.find(name);
        if (it == k->values.end()) return L"<absent>";
        if (it->second.type != Value::Type::String) return L"<not a string>";
        return it->second.text;
    }
    size_t ValueCount(const std::wstring& path) {
        Key* k = Find(Root::ClassesRoot, path);
        return k ? k->values.size() : 0;
    }
    std::vector<std::wstring> SubkeyNames(const std::wstring& path, Root root = Root::ClassesRoot) {
        std::vector<std::wstring> names;
        if (Key* k = Find(root, path))
            for (const auto& s : k->subkeys) names.push_back(s.first);
        return names;
    }
    void Put(const std::wstring& path, const std::wstring& name, const std::wstring& text) {
        ASSERT_EQ(ERROR_SUCCESS, CreateKey(Root::ClassesRoot, path));
        Value v;
        v.text = text;
        Find(Root::ClassesRoot, path)->values[name] = v;
    }
    bool Empty() {
        for (const Key& k : roots_)
            if (!k.subkeys.empty() || !k.values.empty()) return false;
        return true;
    }

private:
    static std::vector<std::wstring> Split(const std::wstring& path) {
        std::vector<std::wstring> parts;
        size_t start = 0;
        while (start <= path.size() && !path.empty()) {
            const size_t end = path.find(L'\\', start);
            parts.push_back(
                path.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        return parts;
    }
    Key* Find(Root root, const std::wstring& path) {
        Key* k = &roots_[static_cast<int>(root)];
        for (const std::wstring& part : Split(path)) {
            auto it = k->subkeys.find(part);
            if (it == k->subkeys.end()) return nullptr;
            k = it->second.get();
        }
        return k;
    }
    Key* Parent(Root root, const std::wstring& path) {
        const size_t slash = path.rfind(L'\\');
        return slash == std::wstring::npos ? &roots_[static_cast<int>(root)]
                                           : Find(root, path.substr(0, slash));
    }
    LONG Check(const char* op, const std::wstring& path, const std::wstring& name) {
        std::string entry = op;
        entry += ' ';
        for (wchar_t c : path) entry += static_cast<char>(c < 128 ? c : '?');
        log.push_back(entry);
        return failWith ? failWith(op, path, name) : ERROR_SUCCESS;
    }

    Key roots_[5];
};

// The module's registration scripts, read from the source tree (the tests run
// under wine, where the Unix root is drive Z:). The build names the tree:
// __FILE__ is relative in reproducible builds.
std::wstring ReadScript(const char* name) {
    std::string path = QLR_SOURCE_DIR;
    path += "/resources/";
    path += name;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    std::vector<char> bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
    }
    EXPECT_FALSE(bytes.empty()) << "cannot read " << path;
    return DecodeScriptBytes(bytes.data(), bytes.size());
}

const Replacements& ModuleReplacement() {
    static const Replacements r = {{L"MODULE", kModule}};
    return r;
}

const char* const kScripts[] = {"QLRCom.rgs", "CommSettings.rgs", "QLRPortList.rgs"};

HRESULT RegisterAll(FakeRegistry& registry) {
    for (const char* name : kScripts) {
        const HRESULT hr = RunScript(ReadScript(name), ModuleReplacement(), true, registry);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT UnregisterAll(FakeRegistry& registry) {
    HRESULT first = S_OK;
    for (const char* name : kScripts) {
        const HRESULT hr = RunScript(ReadScript(name), ModuleReplacement(), false, registry);
        if (SUCCEEDED(first)) first = hr;
    }
    return first;
}

Script Parse(const std::wstring& text, const Replacements& replacements = {}) {
    Script script;
    std::wstring error;
    EXPECT_EQ(S_OK, ParseScript(text, replacements, &script, &error))
        << std::string(error.begin(), error.end());
    return script;
}

std::wstring ParseError(const std::wstring& text, const Replacements& replacements = {}) {
    Script script;
    std::wstring error;
    EXPECT_EQ(kScriptSyntaxError, ParseScript(text, replacements, &script, &error));
    return error;
}

// ---------------------------------------------------------------- parsing

TEST(RegistrarParse, NestedKeysFlagsAndValues) {
    Script s = Parse(
        L"HKCR\n{\n  NoRemove CLSID\n  {\n    ForceRemove {1234-AB} = s 'Name'\n    {\n"
        L"      'Sub Key' = s 'it''s'\n      val Model = s 'Both'\n      Num = d '0x20191'\n"
        L"      Dec = d '131473'\n      Bytes = b '0aFF'\n      Delete Old\n    }\n  }\n}\n");
    ASSERT_EQ(1u, s.roots.size());
    EXPECT_EQ(Root::ClassesRoot, s.roots[0].root);
    ASSERT_EQ(1u, s.roots[0].entries.size());
    const Entry& clsid = s.roots[0].entries[0];
    EXPECT_EQ(L"CLSID", clsid.name);
    EXPECT_EQ(Flag::NoRemove, clsid.flag);
    EXPECT_FALSE(clsid.hasValue);
    ASSERT_EQ(1u, clsid.children.size());
    const Entry& cls = clsid.children[0];
    EXPECT_EQ(L"{1234-AB}", cls.name);
    EXPECT_EQ(Flag::ForceRemove, cls.flag);
    ASSERT_TRUE(cls.hasValue);
    EXPECT_EQ(L"Name", cls.value.text);
    ASSERT_EQ(6u, cls.children.size());
    EXPECT_EQ(L"Sub Key", cls.children[0].name);
    EXPECT_EQ(L"it's", cls.children[0].value.text);
    EXPECT_TRUE(cls.children[1].isNamedValue);
    EXPECT_EQ(L"Model", cls.children[1].name);
    EXPECT_EQ(L"Both", cls.children[1].value.text);
    EXPECT_EQ(Value::Type::Dword, cls.children[2].value.type);
    EXPECT_EQ(0x20191u, cls.children[2].value.number);
    EXPECT_EQ(131473u, cls.children[3].value.number);
    EXPECT_EQ(Value::Type::Binary, cls.children[4].value.type);
    EXPECT_EQ((std::vector<BYTE>{0x0A, 0xFF}), cls.children[4].value.bytes);
    EXPECT_EQ(Flag::Delete, cls.children[5].flag);
    EXPECT_EQ(L"Old", cls.children[5].name);
}

TEST(RegistrarParse, KeywordsAndRootNamesIgnoreCase) {
    Script s =
        Parse(L"hkey_local_machine { noremove A { VAL x = S 'y' } }  HKCU { FORCEREMOVE B }");
    ASSERT_EQ(2u, s.roots.size());
    EXPECT_EQ(Root::LocalMachine, s.roots[0].root);
    EXPECT_EQ(Flag::NoRemove, s.roots[0].entries[0].flag);
    EXPECT_TRUE(s.roots[0].entries[0].children[0].isNamedValue);
    EXPECT_EQ(Root::CurrentUser, s.roots[1].root);
    EXPECT_EQ(Flag::ForceRemove, s.roots[1].entries[0].flag);
}

TEST(RegistrarParse, QuotedKeywordIsAName) {
    Script s = Parse(L"HKCR { 'val' = s 'v' 'Delete' }");
    ASSERT_EQ(2u, s.roots[0].entries.size());
    EXPECT_FALSE(s.roots[0].entries[0].isNamedValue);
    EXPECT_EQ(L"val", s.roots[0].entries[0].name);
    EXPECT_EQ(Flag::None, s.roots[0].entries[1].flag);
    EXPECT_EQ(L"Delete", s.roots[0].entries[1].name);
}

TEST(RegistrarParse, ReplacementsInNamesAndValuesTakenLiterally) {
    Script s = Parse(L"HKCR { K%NAME% = s '%MODULE%, 1' { P = s '100%%' } }",
                     {{L"MODULE", L"C:\\a'b\\x.ocx"}, {L"NAME", L"_z"}});
    const Entry& k = s.roots[0].entries[0];
    EXPECT_EQ(L"K_z", k.name);
    EXPECT_EQ(L"C:\\a'b\\x.ocx, 1", k.value.text);
    EXPECT_EQ(L"100%", k.children[0].value.text);
}

TEST(RegistrarParse, EmptyScriptAndEmptyBlocks) {
    EXPECT_TRUE(Parse(L"").roots.empty());
    EXPECT_TRUE(Parse(L"  \r\n ").roots.empty());
    Script s = Parse(L"HKCR { A { } B {\n} }");
    ASSERT_EQ(2u, s.roots[0].entries.size());
    EXPECT_TRUE(s.roots[0].entries[0].children.empty());
}

TEST(RegistrarParse, SyntaxErrorsNameTheLine) {
    EXPECT_NE(std::wstring::npos, ParseError(L"HKCR\n{\n  A = s 'x'\n").find(L"line 4"));
    EXPECT_NE(std::wstring::npos, ParseError(L"HKXX { }").find(L"line 1"));
    EXPECT_NE(std::wstring::npos, ParseError(L"HKCR {\n A = s 'open\n }").find(L"unterminated"));
    EXPECT_NE(std::wstring::npos, ParseError(L"HKCR { A = s '%NOPE%' }").find(L"NOPE"));
    ParseError(L"HKCR { A = q 'x' }");
    ParseError(L"HKCR { A = s x }");
    ParseError(L"HKCR { A = d '12z' }");
    ParseError(L"HKCR { A = d '4294967296' }");
    ParseError(L"HKCR { A = b 'abc' }");
    ParseError(L"HKCR { val = s 'x' }");
    ParseError(L"HKCR { ForceRemove val x = s 'y' }");
    ParseError(L"HKCR { A } }");
    ParseError(L"HKCR A");
}

TEST(RegistrarParse, DecodesUtf8AndUtf16Scripts) {
    const char utf8[] =
        "\xEF\xBB\xBFHKCR { A = s '\xEF\xBE\x8C\xEF\xBE\x9F' }";  // BOM, half-width katakana
    EXPECT_EQ(L"HKCR { A = s '\xFF8C\xFF9F' }", DecodeScriptBytes(utf8, sizeof utf8 - 1));
    const wchar_t utf16[] = L"\xFEFFHKCR { }";
    EXPECT_EQ(L"HKCR { }", DecodeScriptBytes(utf16, sizeof utf16 - sizeof(wchar_t)));
    const char withNul[] = "HKCR { }\0\0";
    EXPECT_EQ(L"HKCR { }", DecodeScriptBytes(withNul, sizeof withNul));
}

// ---------------------------------------------------------------- the module's scripts

TEST(RegistrarScripts, ControlEntriesAreExactlyTheRegistrationTable) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    const std::wstring cls = kControlKey;

    EXPECT_EQ(L"QLRCom Class", r.Str(L"QLRCom.QLRCom.1"));
    EXPECT_EQ(L"{B8E15D98-6585-49ED-8178-ADA511C917C9}", r.Str(L"QLRCom.QLRCom.1\\CLSID"));
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, r.SubkeyNames(L"QLRCom.QLRCom.1"));
    EXPECT_EQ(L"QLRCom Class", r.Str(L"QLRCom.QLRCom"));
    EXPECT_EQ(L"QLRCom.QLRCom.1", r.Str(L"QLRCom.QLRCom\\CurVer"));
    // Automation clients that resolve ProgIDs without following CurVer find
    // the class through the version-independent ProgID's own CLSID.
    EXPECT_EQ(L"{B8E15D98-6585-49ED-8178-ADA511C917C9}", r.Str(L"QLRCom.QLRCom\\CLSID"));
    EXPECT_EQ((std::vector<std::wstring>{L"CLSID", L"CurVer"}), r.SubkeyNames(L"QLRCom.QLRCom"));

    EXPECT_EQ(L"QLRCom Class", r.Str(cls));
    EXPECT_EQ(L"QLRCom.QLRCom.1", r.Str(cls + L"\\ProgID"));
    EXPECT_EQ(L"QLRCom.QLRCom", r.Str(cls + L"\\VersionIndependentProgID"));
    EXPECT_TRUE(r.Has(cls + L"\\Programmable"));
    EXPECT_EQ(0u, r.ValueCount(cls + L"\\Programmable"));
    EXPECT_EQ(kModule, r.Str(cls + L"\\InprocServer32"));
    EXPECT_EQ(L"Apartment", r.Str(cls + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(2u, r.ValueCount(cls + L"\\InprocServer32"));
    EXPECT_TRUE(r.Has(cls + L"\\Control"));
    EXPECT_EQ(0u, r.ValueCount(cls + L"\\Control"));
    EXPECT_TRUE(r.Has(cls + L"\\Insertable"));
    EXPECT_EQ(0u, r.ValueCount(cls + L"\\Insertable"));
    EXPECT_EQ(std::wstring(kModule) + L", 1", r.Str(cls + L"\\ToolboxBitmap32"));
    EXPECT_EQ(L"0", r.Str(cls + L"\\MiscStatus"));
    EXPECT_EQ(L"131473", r.Str(cls + L"\\MiscStatus\\1"));
    EXPECT_EQ(L"{87FA6121-DC0C-4F4C-A7BA-BA435D794AE3}", r.Str(cls + L"\\TypeLib"));
    EXPECT_EQ(L"1.0", r.Str(cls + L"\\Version"));
    // "ﾌﾟﾛﾊﾟﾃｨ(&P).., 0, 2" in half-width katakana.
    EXPECT_EQ(L"\xFF8C\xFF9F\xFF9B\xFF8A\xFF9F\xFF83\xFF68(&P).., 0, 2", r.Str(cls + L"\\Verb\\0"));

    std::vector<std::wstring> subkeys = r.SubkeyNames(cls);
    std::vector<std::wstring> expected = {L"Control",
                                          L"InprocServer32",
                                          L"Insertable",
                                          L"MiscStatus",
                                          L"ProgID",
                                          L"Programmable",
                                          L"ToolboxBitmap32",
                                          L"TypeLib",
                                          L"Verb",
                                          L"Version",
                                          L"VersionIndependentProgID"};
    EXPECT_EQ(expected, subkeys);
    EXPECT_EQ(1u, r.ValueCount(cls));
}

TEST(RegistrarScripts, PageEntriesAreExactlyTheRegistrationTable) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    const std::wstring cls = kPageKey;
    EXPECT_EQ(L"CommSettings Class", r.Str(L"CommSettings.CommSettings.1"));
    EXPECT_EQ(L"{BCDBEB80-61A7-4C61-B00E-A6BF7F04CEB9}",
              r.Str(L"CommSettings.CommSettings.1\\CLSID"));
    EXPECT_EQ(L"CommSettings Class", r.Str(L"CommSettings.CommSettings"));
    EXPECT_EQ(L"CommSettings.CommSettings.1", r.Str(L"CommSettings.CommSettings\\CurVer"));
    EXPECT_EQ(L"{BCDBEB80-61A7-4C61-B00E-A6BF7F04CEB9}",
              r.Str(L"CommSettings.CommSettings\\CLSID"));
    EXPECT_EQ(L"CommSettings Class", r.Str(cls));
    EXPECT_EQ(kModule, r.Str(cls + L"\\InprocServer32"));
    EXPECT_EQ(L"Apartment", r.Str(cls + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ((std::vector<std::wstring>{L"InprocServer32", L"Programmable"}), r.SubkeyNames(cls));
    // Nothing else at the top level.
    EXPECT_EQ((std::vector<std::wstring>{
                  L"CLSID", L"CommSettings.CommSettings", L"CommSettings.CommSettings.1",
                  L"QLRCom.PortList", L"QLRCom.PortList.1", L"QLRCom.QLRCom", L"QLRCom.QLRCom.1"}),
              r.SubkeyNames(L""));
}

// An automation object, not a control: no Control, MiscStatus, toolbox picture or verbs.
TEST(RegistrarScripts, PortListEntriesAreExactlyItsTable) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    const std::wstring cls = kPortListKey;
    EXPECT_EQ(L"QLRPortList Class", r.Str(L"QLRCom.PortList.1"));
    EXPECT_EQ(L"{3E186973-F646-4D23-ACC0-6586EB6BE0CA}", r.Str(L"QLRCom.PortList.1\\CLSID"));
    EXPECT_EQ(L"QLRPortList Class", r.Str(L"QLRCom.PortList"));
    EXPECT_EQ(L"QLRCom.PortList.1", r.Str(L"QLRCom.PortList\\CurVer"));
    EXPECT_EQ(L"{3E186973-F646-4D23-ACC0-6586EB6BE0CA}", r.Str(L"QLRCom.PortList\\CLSID"));
    EXPECT_EQ(L"QLRPortList Class", r.Str(cls));
    EXPECT_EQ(L"QLRCom.PortList.1", r.Str(cls + L"\\ProgID"));
    EXPECT_EQ(L"QLRCom.PortList", r.Str(cls + L"\\VersionIndependentProgID"));
    EXPECT_EQ(kModule, r.Str(cls + L"\\InprocServer32"));
    EXPECT_EQ(L"Apartment", r.Str(cls + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"{87FA6121-DC0C-4F4C-A7BA-BA435D794AE3}", r.Str(cls + L"\\TypeLib"));
    EXPECT_EQ(L"1.0", r.Str(cls + L"\\Version"));
    EXPECT_EQ((std::vector<std::wstring>{L"InprocServer32", L"ProgID", L"Programmable", L"TypeLib",
                                         L"Version", L"VersionIndependentProgID"}),
              r.SubkeyNames(cls));
}

TEST(RegistrarScripts, RegisteringReplacesTheClassKeysWhole) {
    FakeRegistry r;
    r.Put(std::wstring(kControlKey) + L"\\Stale\\Deep", L"", L"old");
    r.Put(std::wstring(kControlKey) + L"\\Programmable\\Old", L"", L"old");
    r.Put(std::wstring(kControlKey) + L"\\InprocServer32", L"Extra", L"old");
    r.Put(std::wstring(kPageKey) + L"\\Stale", L"", L"old");
    r.Put(L"CLSID\\{00000000-0000-0000-0000-000000000001}", L"", L"Other class");
    r.Put(L"QLRCom.QLRCom\\Foreign", L"", L"kept");
    ASSERT_EQ(S_OK, RegisterAll(r));
    EXPECT_FALSE(r.Has(std::wstring(kControlKey) + L"\\Stale"));
    EXPECT_TRUE(r.SubkeyNames(std::wstring(kControlKey) + L"\\Programmable").empty());
    EXPECT_EQ(L"<absent>", r.Str(std::wstring(kControlKey) + L"\\InprocServer32", L"Extra"));
    EXPECT_FALSE(r.Has(std::wstring(kPageKey) + L"\\Stale"));
    EXPECT_EQ(L"Other class", r.Str(L"CLSID\\{00000000-0000-0000-0000-000000000001}"));
    // ProgID keys are updated, not replaced.
    EXPECT_EQ(L"kept", r.Str(L"QLRCom.QLRCom\\Foreign"));
    EXPECT_EQ(L"QLRCom.QLRCom.1", r.Str(L"QLRCom.QLRCom\\CurVer"));
}

TEST(RegistrarScripts, RegisteringTwiceGivesTheSameEntries) {
    FakeRegistry once, twice;
    ASSERT_EQ(S_OK, RegisterAll(once));
    ASSERT_EQ(S_OK, RegisterAll(twice));
    ASSERT_EQ(S_OK, RegisterAll(twice));
    EXPECT_EQ(once.SubkeyNames(kControlKey), twice.SubkeyNames(kControlKey));
    EXPECT_EQ(once.SubkeyNames(L""), twice.SubkeyNames(L""));
}

TEST(RegistrarScripts, UnregisteringRemovesClassAndProgIdKeysOnly) {
    FakeRegistry r;
    r.Put(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32", L"", L"other.dll");
    r.Put(L"TypeLib\\{87FA6121-DC0C-4F4C-A7BA-BA435D794AE3}\\1.0", L"",
          L"Quellor Control for RS-232C ver 4.00");
    ASSERT_EQ(S_OK, RegisterAll(r));
    ASSERT_EQ(S_OK, UnregisterAll(r));
    EXPECT_FALSE(r.Has(kControlKey));
    EXPECT_FALSE(r.Has(kPageKey));
    EXPECT_FALSE(r.Has(L"QLRCom.QLRCom.1"));
    EXPECT_FALSE(r.Has(L"QLRCom.QLRCom"));
    EXPECT_FALSE(r.Has(L"CommSettings.CommSettings.1"));
    EXPECT_FALSE(r.Has(L"CommSettings.CommSettings"));
    EXPECT_FALSE(r.Has(kPortListKey));
    EXPECT_FALSE(r.Has(L"QLRCom.PortList.1"));
    EXPECT_FALSE(r.Has(L"QLRCom.PortList"));
    EXPECT_TRUE(r.Has(L"CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32"));
    EXPECT_TRUE(r.Has(L"TypeLib\\{87FA6121-DC0C-4F4C-A7BA-BA435D794AE3}\\1.0"));
}

TEST(RegistrarScripts, UnregisteringNeverDeletesTheClsidRoot) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    ASSERT_EQ(S_OK, UnregisterAll(r));
    EXPECT_TRUE(r.Has(L"CLSID"));
    EXPECT_TRUE(r.SubkeyNames(L"CLSID").empty());
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, r.SubkeyNames(L""));
}

TEST(RegistrarScripts, UnregisteringWhatWasNeverRegisteredSucceedsAndCreatesNothing) {
    FakeRegistry r;
    EXPECT_EQ(S_OK, UnregisterAll(r));
    EXPECT_TRUE(r.Empty());
    for (const std::string& op : r.log) EXPECT_EQ(std::string::npos, op.find("CreateKey")) << op;
}

TEST(RegistrarScripts, UnregisteringKeepsProgIdKeysThatHoldForeignSubkeys) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    r.Put(L"QLRCom.QLRCom.1\\Foreign", L"", L"x");
    ASSERT_EQ(S_OK, UnregisterAll(r));
    EXPECT_TRUE(r.Has(L"QLRCom.QLRCom.1\\Foreign"));
    EXPECT_FALSE(r.Has(L"QLRCom.QLRCom.1\\CLSID"));
    EXPECT_FALSE(r.Has(L"QLRCom.QLRCom"));
}

TEST(RegistrarScripts, ProgIdsStayWhileTheyNameAnotherClassOrTheOtherViewHasTheClass) {
    // A ProgID taken over by another class is not this module's to delete.
    FakeRegistry r;
    ASSERT_EQ(S_OK, RegisterAll(r));
    r.Put(L"QLRCom.QLRCom\\CLSID", L"", L"{00000000-0000-0000-0000-000000000001}");
    ASSERT_EQ(S_OK, UnregisterAll(r));
    EXPECT_EQ(L"{00000000-0000-0000-0000-000000000001}", r.Str(L"QLRCom.QLRCom\\CLSID"));
    EXPECT_EQ(L"QLRCom.QLRCom.1", r.Str(L"QLRCom.QLRCom\\CurVer"));
    EXPECT_FALSE(r.Has(L"QLRCom.QLRCom.1"));

    // The other architecture's module still registers the control: its
    // ProgIDs (in the shared root) stay, the page's and port list's go.
    FakeRegistry both;
    both.otherView.push_back(std::wstring(kControlKey) + L"\\InprocServer32");
    ASSERT_EQ(S_OK, RegisterAll(both));
    ASSERT_EQ(S_OK, UnregisterAll(both));
    EXPECT_FALSE(both.Has(kControlKey));
    EXPECT_EQ(std::wstring(kControlKey).substr(6), both.Str(L"QLRCom.QLRCom.1\\CLSID"));
    EXPECT_EQ(std::wstring(kControlKey).substr(6), both.Str(L"QLRCom.QLRCom\\CLSID"));
    EXPECT_FALSE(both.Has(L"CommSettings.CommSettings"));
    EXPECT_FALSE(both.Has(L"QLRCom.PortList.1"));
}

TEST(RegistrarScripts, AFailedRegistrationRemovesWhatItWroteAndDenialsAreReported) {
    std::vector<Script> scripts;
    for (const char* name : kScripts)
        scripts.push_back(Parse(ReadScript(name), ModuleReplacement()));
    FakeRegistry r;
    r.Put(L"CLSID\\{00000000-0000-0000-0000-000000000001}", L"", L"foreign");
    // The last script fails part-way, after the first two were written.
    r.failWith = [](const char* op, const std::wstring& path, const std::wstring& name) -> LONG {
        return std::string(op) == "SetValue" &&
                       path == kPortListKey + std::wstring(L"\\InprocServer32")
                   ? ERROR_ACCESS_DENIED
                   : ERROR_SUCCESS;
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), RegisterScripts(scripts, r));
    EXPECT_EQ(std::vector<std::wstring>{L"CLSID"}, r.SubkeyNames(L""));
    EXPECT_EQ(std::vector<std::wstring>{L"{00000000-0000-0000-0000-000000000001}"},
              r.SubkeyNames(L"CLSID"));

    // Unregistering reports a denial (and still removes what it can); what
    // was never there is no failure.
    r.failWith = nullptr;
    ASSERT_EQ(S_OK, RegisterScripts(scripts, r));
    r.failWith = [](const char* op, const std::wstring& path, const std::wstring&) -> LONG {
        return std::string(op) == "DeleteTree" && path == kPageKey ? ERROR_ACCESS_DENIED
                                                                   : ERROR_SUCCESS;
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), UnregisterScripts(scripts, r));
    EXPECT_FALSE(r.Has(kControlKey));
    EXPECT_TRUE(r.Has(kPageKey));
    r.failWith = nullptr;
    EXPECT_EQ(S_OK, UnregisterScripts(scripts, r));
    EXPECT_EQ(S_OK, UnregisterScripts(scripts, r));
}

// ---------------------------------------------------------------- walk rules and failures

TEST(RegistrarWalk, FirstRegisterFailureIsReturnedAndStopsTheWalk) {
    FakeRegistry r;
    r.failWith = [](const char* op, const std::wstring& path, const std::wstring& name) -> LONG {
        return std::string(op) == "SetValue" && name == L"ThreadingModel" ? ERROR_ACCESS_DENIED
                                                                          : ERROR_SUCCESS;
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
              RunScript(ReadScript("QLRCom.rgs"), ModuleReplacement(), true, r));
    EXPECT_TRUE(r.Has(std::wstring(kControlKey) + L"\\InprocServer32"));
    EXPECT_FALSE(r.Has(std::wstring(kControlKey) + L"\\Control"));
}

TEST(RegistrarWalk, ForceRemoveDeleteFailureOtherThanAbsentFailsRegistering) {
    FakeRegistry r;
    r.failWith = [](const char* op, const std::wstring&, const std::wstring&) -> LONG {
        return std::string(op) == "DeleteTree" ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
              RunScript(L"HKCR { ForceRemove A = s 'x' }", {}, true, r));
    EXPECT_FALSE(r.Has(L"A"));
}

TEST(RegistrarWalk, UnregisterTriesEveryEntryAndReturnsTheFirstFailure) {
    FakeRegistry r;
    const std::wstring script = L"HKCR { ForceRemove A ForceRemove B ForceRemove C }";
    ASSERT_EQ(S_OK, RunScript(script, {}, true, r));
    r.failWith = [](const char* op, const std::wstring& path, const std::wstring&) -> LONG {
        if (std::string(op) != "DeleteTree") return ERROR_SUCCESS;
        if (path == L"A") return ERROR_ACCESS_DENIED;
        if (path == L"B") return ERROR_WRITE_PROTECT;
        return ERROR_SUCCESS;
    };
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), RunScript(script, {}, false, r));
    EXPECT_FALSE(r.Has(L"C"));
}

TEST(RegistrarWalk, DeleteEntriesDeleteOnRegisterOnly) {
    FakeRegistry r;
    r.Put(L"Old\\Sub", L"", L"x");
    ASSERT_EQ(S_OK, RunScript(L"HKCR { Delete Old }", {}, true, r));
    EXPECT_FALSE(r.Has(L"Old"));
    r.Put(L"Old", L"", L"y");
    ASSERT_EQ(S_OK, RunScript(L"HKCR { Delete Old }", {}, false, r));
    EXPECT_TRUE(r.Has(L"Old"));
}

TEST(RegistrarWalk, NamedValuesAreRemovedFromKeptKeysUnlessNoRemove) {
    FakeRegistry r;
    const std::wstring script = L"HKCR { NoRemove K { val A = s '1' NoRemove val B = d '2' } }";
    ASSERT_EQ(S_OK, RunScript(script, {}, true, r));
    r.Put(L"K", L"C", L"foreign");
    ASSERT_EQ(S_OK, RunScript(script, {}, false, r));
    EXPECT_TRUE(r.Has(L"K"));
    EXPECT_EQ(L"<absent>", r.Str(L"K", L"A"));
    EXPECT_EQ(L"<not a string>", r.Str(L"K", L"B"));
    EXPECT_EQ(L"foreign", r.Str(L"K", L"C"));
}

TEST(RegistrarWalk, SyntaxErrorWritesNothing) {
    FakeRegistry r;
    EXPECT_EQ(kScriptSyntaxError, RunScript(L"HKCR { A = s 'x' B = s }", {}, true, r));
    EXPECT_TRUE(r.Empty());
    EXPECT_TRUE(r.log.empty());
}

TEST(RegistrarWalk, OtherRootsAreWrittenToTheirOwnTree) {
    FakeRegistry r;
    ASSERT_EQ(S_OK, RunScript(L"HKCU { Software { Q = s 'v' } }", {}, true, r));
    EXPECT_FALSE(r.Has(L"Software"));
    EXPECT_EQ(L"v", r.Str(L"Software\\Q", L"", Root::CurrentUser));
}

}  // namespace
}  // namespace qlr::reg

// ---------------------------------------------------------------- class objects

namespace qlr {
namespace {

TEST(ClassObjects, UnknownClassIsNotAvailable) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetClassObject(IID_IQLRCom, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, GetClassObject(GUID_NULL, IID_IUnknown, &out));
}

TEST(ClassObjects, FactoriesAnswerOnlyUnknownAndClassFactory) {
    for (const CLSID* clsid : {&CLSID_QLRCom, &CLSID_CommSettings, &CLSID_QLRPortList}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK,
                  GetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        ASSERT_NE(nullptr, factory);
        void* other = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IDispatch, &other));
        EXPECT_EQ(nullptr, other);
        IUnknown* unknown = nullptr;
        EXPECT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
        EXPECT_EQ(static_cast<IUnknown*>(factory), unknown);
        unknown->Release();
        factory->Release();
    }
    void* out = nullptr;
    EXPECT_EQ(E_NOINTERFACE, GetClassObject(CLSID_QLRCom, IID_IDispatch, &out));
    EXPECT_EQ(E_POINTER, GetClassObject(CLSID_QLRCom, IID_IClassFactory, nullptr));
}

// An outer object that must never be called: the factory refuses before creating.
class OuterUnknown final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID, void** out) override {
        ++calls;
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++calls, 2; }
    STDMETHODIMP_(ULONG) Release() override { return ++calls, 1; }
    int calls = 0;
};

TEST(ClassObjects, AggregationRequiresTheUnknownInterface) {
    for (const CLSID* clsid : {&CLSID_QLRCom, &CLSID_CommSettings, &CLSID_QLRPortList}) {
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK,
                  GetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
        OuterUnknown outer;
        const long before = ModuleLockCount();
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(0, outer.calls);
        EXPECT_EQ(before, ModuleLockCount());
        EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
        factory->Release();
    }
}

TEST(ClassObjects, LockServerHoldsTheModule) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, GetClassObject(CLSID_CommSettings, IID_IClassFactory,
                                   reinterpret_cast<void**>(&factory)));
    const long base = ModuleLockCount();  // 0 unless an earlier test left objects alive
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(base + 2, ModuleLockCount());
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, CanUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(base, ModuleLockCount());
    // Holding a factory reference alone does not keep the module.
    if (base == 0) {
        EXPECT_EQ(S_OK, CanUnloadNow());
    }
    factory->Release();
}

}  // namespace
}  // namespace qlr
