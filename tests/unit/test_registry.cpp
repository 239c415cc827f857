// The registry routines against the in-memory registry, and the double's own
// fidelity where other units rely on it (views, enumeration, deletion).
#include "common/MemoryRegistry.h"
#include "common/UBdr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nv::LastRegistryError;
using nv::MemoryRegistry;
using nv::RegCall;
using nv::RegView;

const char* const kSettings = "SOFTWARE\\Korlen\\VESKA\\Nivaxel";
const char* const kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const HKEY HKLM = HKEY_LOCAL_MACHINE;

class Registry : public ::testing::Test {
  protected:
    explicit Registry(MemoryRegistry::Machine machine = MemoryRegistry::Machine::Wow64)
        : reg(machine), scope(reg) {}
    void SetUp() override { LastRegistryError = 0xDEAD; }
    int Count(RegCall call) const {
        int n = 0;
        for (const auto& c : reg.Calls())
            n += c.call == call;
        return n;
    }
    MemoryRegistry reg;
    nv::ScopedRegistryApi scope;
};

TEST_F(Registry, StringsUpTo511CharactersTakeOneQueryLongerOnesASecond) {
    const std::string s511(511, 'a'), s512 = std::string(511, 'b') + 'Z';
    reg.SetString(HKLM, kSettings, "A", s511, RegView::Default);
    reg.SetString(HKLM, kSettings, "B", s512, RegView::Default);
    std::string v;
    ASSERT_TRUE(nv::RegReadString(HKLM, kSettings, "A", v, false));
    EXPECT_EQ(v, s511);
    EXPECT_EQ(Count(RegCall::QueryValue), 1);
    EXPECT_EQ(LastRegistryError, 0u);
    reg.ClearCalls();
    ASSERT_TRUE(nv::RegReadString(HKLM, kSettings, "B", v, false));
    EXPECT_EQ(v, s512);
    EXPECT_EQ(Count(RegCall::QueryValue), 2);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);

    const std::string big(70000, 'x');
    reg.SetString(HKLM, kSettings, "C", big, RegView::Default);
    ASSERT_TRUE(nv::RegReadString(HKLM, kSettings, "C", v, false));
    EXPECT_EQ(v, big);
}

TEST_F(Registry, BytesAreTakenAsTextWithTheLastOneDropped) {
    reg.SetValue(HKLM, kSettings, "NoNul", REG_SZ, "abc", RegView::Default);
    reg.SetDword(HKLM, kSettings, "Num", 0x00434241, RegView::Default);
    reg.SetValue(HKLM, kSettings, "Empty", REG_SZ, "", RegView::Default);
    reg.SetValue(HKLM, kSettings, "Long", REG_BINARY, std::string(600, 'q'), RegView::Default);
    std::string v = "junk";
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "NoNul", v, false));
    EXPECT_EQ(v, "ab");
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "Num", v, false));
    EXPECT_EQ(v, "ABC");
    v = "junk";
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "Empty", v, false));
    EXPECT_EQ(v, "");
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "Long", v, false));
    EXPECT_EQ(v, std::string(599, 'q'));
}

TEST_F(Registry, MissingKeyOrValueAnswersFalseWithCode2AndEmptiesTheValue) {
    std::string v = "stale";
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "NomServeur", v, false));
    EXPECT_EQ(LastRegistryError, 2u);
    EXPECT_EQ(v, "");
    reg.CreateKey(HKLM, kSettings, RegView::Default);
    v = "stale";
    LastRegistryError = 0;
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "NomServeur", v, false));
    EXPECT_EQ(LastRegistryError, 2u);
    EXPECT_EQ(v, "");
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
    EXPECT_EQ(Count(RegCall::CloseKey), 1); // only the key that was opened
}

TEST_F(Registry, AccessMasksFollowTheView) {
    reg.SetString(HKLM, kSettings, "NomServeur", "srv", RegView::Default);
    reg.SetDword(HKLM, kSettings, "Port", 5090, RegView::Default);
    std::string v;
    DWORD n;
    (void)nv::RegReadString(HKLM, kSettings, "NomServeur", v, false);
    (void)nv::RegReadString(HKLM, kSettings, "NomServeur", v, true);
    (void)nv::RegReadDword(HKLM, kSettings, "Port", n, false);
    (void)nv::RegReadDword(HKLM, kSettings, "Port", n, true);
    (void)nv::RegWriteString(HKLM, kSettings, true, "X", "1", false);
    (void)nv::RegWriteString(HKLM, kSettings, true, "X", "1", true);
    (void)nv::RegWriteString(HKLM, kSettings, false, "X", "1", false);
    (void)nv::RegWriteString(HKLM, kSettings, false, "X", "1", true);
    std::vector<std::pair<RegCall, DWORD>> opens;
    for (const auto& c : reg.Calls())
        if (c.call == RegCall::OpenKey || c.call == RegCall::CreateKey)
            opens.emplace_back(c.call, c.access);
    const std::vector<std::pair<RegCall, DWORD>> expected = {
        {RegCall::OpenKey, 0x20019u},   {RegCall::OpenKey, 0x20119u},
        {RegCall::OpenKey, 0x20019u},   {RegCall::OpenKey, 0x20119u},
        {RegCall::CreateKey, 0xF003Fu}, {RegCall::CreateKey, 0xF013Fu},
        {RegCall::OpenKey, 0xF003Fu},   {RegCall::OpenKey, 0xF013Fu}};
    EXPECT_EQ(opens, expected);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

TEST_F(Registry, TheDefaultViewOfA32BitProcessIsTheWow6432NodeBranch) {
    ASSERT_TRUE(nv::RegWriteString(HKLM, kSettings, true, "NomServeur", "veska1", false));
    ASSERT_TRUE(nv::RegWriteString(HKLM, kRun, true, "Nivaxel", "C:\\p\\Nivaxel.exe", true));
    EXPECT_EQ(reg.GetString(HKLM, "SOFTWARE\\Wow6432Node\\Korlen\\VESKA\\Nivaxel", "NomServeur"),
              "veska1");
    EXPECT_FALSE(reg.KeyExists(HKLM, kSettings));
    EXPECT_EQ(reg.GetString(HKLM, kRun, "Nivaxel"), "C:\\p\\Nivaxel.exe");
    EXPECT_FALSE(reg.KeyExists(HKLM, "SOFTWARE\\Wow6432Node\\Microsoft"));
    std::string v;
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "NomServeur", v, false));
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "NomServeur", v, true));
    EXPECT_EQ(LastRegistryError, 2u);
}

class RegistryOn32BitWindows : public Registry {
  protected:
    RegistryOn32BitWindows() : Registry(MemoryRegistry::Machine::Windows32) {}
};

TEST_F(RegistryOn32BitWindows, BothViewsAreTheOneRegistry) {
    ASSERT_TRUE(nv::RegWriteString(HKLM, kSettings, true, "NomServeur", "veska1", false));
    EXPECT_EQ(reg.GetString(HKLM, kSettings, "NomServeur"), "veska1");
    EXPECT_FALSE(reg.KeyExists(HKLM, "SOFTWARE\\Wow6432Node"));
    std::string v;
    EXPECT_TRUE(nv::RegReadString(HKLM, kSettings, "NomServeur", v, true));
    EXPECT_EQ(v, "veska1");
}

TEST_F(Registry, AFailedSecondQueryEmptiesTheValueAndReportsItsCode) {
    reg.SetString(HKLM, kSettings, "B", std::string(800, 'b'), RegView::Default);
    MemoryRegistry::Fault f;
    f.call = RegCall::QueryValue;
    f.code = 5;
    f.skip = 1; // the first query passes and reports 234
    reg.InjectFault(f);
    std::string v = "stale";
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "B", v, false));
    EXPECT_EQ(v, "");
    EXPECT_EQ(LastRegistryError, 5u);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);

    reg.ClearFaults();
    reg.FailCall(RegCall::QueryValue, HKLM, "", 1015);
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "B", v, false));
    EXPECT_EQ(LastRegistryError, 1015u);
    EXPECT_EQ(Count(RegCall::QueryValue), 3);
}

// Answers the first query of every value with 234 and a chosen size.
class ShortMoreData : public MemoryRegistry {
  public:
    DWORD announced = 100;
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* size) override {
        if (++queries == 1) {
            *size = announced;
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        return MemoryRegistry::RegQueryValueExA(key, name, reserved, type, data, size);
    }
    int queries = 0;
};

TEST(RegistryQuery, MoreDataWithASizeBelow512IsAFailure) {
    ShortMoreData reg;
    nv::ScopedRegistryApi scope(reg);
    reg.SetString(HKLM, kSettings, "A", "short", RegView::Default);
    std::string v = "stale";
    EXPECT_FALSE(nv::RegReadString(HKLM, kSettings, "A", v, false));
    EXPECT_EQ(v, "");
    EXPECT_EQ(LastRegistryError, 234u);
    EXPECT_EQ(reg.queries, 1);
}

TEST_F(Registry, AnOverstatedSizeOnTheFirstQueryLeavesNoTrailingBytes) {
    reg.SetWideSizeOnMoreData(true);
    const std::string text = std::string(599, 'w') + "\xE9";
    reg.SetString(HKLM, kSettings, "W", text, RegView::Default);
    std::string v;
    ASSERT_TRUE(nv::RegReadString(HKLM, kSettings, "W", v, false));
    EXPECT_EQ(v, text);
}

TEST_F(Registry, WriteStoresRegSzWithItsTerminator) {
    ASSERT_TRUE(nv::RegWriteString(HKLM, kSettings, true, "NomServeur", "", false));
    auto raw = reg.GetValue(HKLM, kSettings, "NomServeur", RegView::Default);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, REG_SZ);
    EXPECT_EQ(raw->data, std::string(1, '\0'));
    ASSERT_TRUE(nv::RegWriteString(HKLM, kSettings, false, "NomServeur", "h\xF4te", false));
    raw = reg.GetValue(HKLM, kSettings, "nomserveur", RegView::Default);
    EXPECT_EQ(raw->data, std::string("h\xF4te\0", 5));
    EXPECT_EQ(LastRegistryError, 0u);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

TEST_F(Registry, WriteWithoutCreateNeedsAnExistingKey) {
    EXPECT_FALSE(nv::RegWriteString(HKLM, kSettings, false, "NomServeur", "x", false));
    EXPECT_EQ(LastRegistryError, 2u);
    EXPECT_FALSE(reg.KeyExists(HKLM, "SOFTWARE\\Wow6432Node\\Korlen"));
    EXPECT_EQ(Count(RegCall::SetValue), 0);
}

TEST_F(Registry, WriteFailuresReportTheirCode) {
    reg.DenyWrites(HKLM, "SOFTWARE\\Microsoft", RegView::Key64);
    EXPECT_FALSE(nv::RegWriteString(HKLM, kRun, true, "Nivaxel", "x", true));
    EXPECT_EQ(LastRegistryError, 5u);
    EXPECT_FALSE(reg.KeyExists(HKLM, kRun));

    reg.FailCall(RegCall::SetValue, HKLM, "SOFTWARE\\Wow6432Node\\Korlen\\VESKA\\Nivaxel", 5);
    EXPECT_FALSE(nv::RegWriteString(HKLM, kSettings, true, "NomServeur", "x", false));
    EXPECT_EQ(LastRegistryError, 5u);
    EXPECT_TRUE(reg.KeyExists(HKLM, kSettings, RegView::Default)); // created before the set failed
    EXPECT_FALSE(reg.GetValue(HKLM, kSettings, "NomServeur", RegView::Default));
    EXPECT_EQ(reg.OpenKeyCount(), 0u);

    // A later success clears the code.
    reg.ClearFaults();
    EXPECT_TRUE(nv::RegWriteString(HKLM, kSettings, true, "NomServeur", "x", false));
    EXPECT_EQ(LastRegistryError, 0u);
}

TEST_F(Registry, DwordOnlyFromARegDwordAndLastErrorUntouched) {
    reg.SetDword(HKLM, kSettings, "Port", 5090, RegView::Default);
    reg.SetString(HKLM, kSettings, "Text", "5090", RegView::Default);
    reg.SetValue(HKLM, kSettings, "Bin", REG_BINARY, std::string("\x01\x02\x03\x04", 4),
                 RegView::Default);
    reg.SetValue(HKLM, kSettings, "Q", 11, std::string(8, '\x01'), RegView::Default);
    DWORD n = 77;
    EXPECT_TRUE(nv::RegReadDword(HKLM, kSettings, "Port", n, false));
    EXPECT_EQ(n, 5090u);
    for (const char* name : {"Text", "Bin", "Q", "Missing"}) {
        n = 77;
        EXPECT_FALSE(nv::RegReadDword(HKLM, kSettings, name, n, false)) << name;
        EXPECT_EQ(n, 0u) << name;
    }
    n = 77;
    EXPECT_FALSE(nv::RegReadDword(HKLM, "SOFTWARE\\Nope", "Port", n, false));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(nv::RegReadDword(HKLM, kSettings, "Port", n, true)); // not in the 64-bit view
    reg.SetDword(HKLM, kSettings, "Wide", 6000, RegView::Key64);
    EXPECT_FALSE(nv::RegReadDword(HKLM, kSettings, "Wide", n, false));
    EXPECT_TRUE(nv::RegReadDword(HKLM, kSettings, "Wide", n, true));
    EXPECT_EQ(n, 6000u);
    EXPECT_EQ(LastRegistryError, 0xDEADu);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

// --- the double itself ---

TEST(MemoryRegistry, NamesAreCaseInsensitiveAndKeepTheirCase) {
    MemoryRegistry reg(MemoryRegistry::Machine::Windows64);
    reg.SetString(HKLM, "Software\\R\xE9seau", "Nom", "a");
    HKEY key = nullptr;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\R\xC9SEAU", 0, KEY_READ, &key), 0);
    char buf[8];
    DWORD size = sizeof buf, type = 0;
    EXPECT_EQ(reg.RegQueryValueExA(key, "NOM", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size),
              0);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(reg.SubKeyNames(HKLM, "software"), std::vector<std::string>{"R\xE9seau"});
    EXPECT_EQ(reg.RegSetValueExA(key, "Nom", 0, REG_SZ, reinterpret_cast<const BYTE*>("b"), 2), 5);
    EXPECT_EQ(reg.RegCloseKey(key), 0);
    EXPECT_EQ(reg.RegCloseKey(key), 6);
}

TEST(MemoryRegistry, QuerySizesFollowWindows) {
    MemoryRegistry reg;
    reg.SetString(HKLM, "SOFTWARE\\K", "V", "hello", RegView::Stored);
    HKEY key = nullptr;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\K", 0, KEY_READ | KEY_WOW64_64KEY, &key), 0);
    DWORD size = 0;
    EXPECT_EQ(reg.RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    char buf[8] = {};
    size = 3;
    EXPECT_EQ(reg.RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              234);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(reg.RegQueryValueExA(key, "W", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              2);
    reg.RegCloseKey(key);
    // A terminator just past the count is counted; other bytes are not.
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\K", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key), 0);
    EXPECT_EQ(reg.RegSetValueExA(key, "T", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), 0);
    EXPECT_EQ(reg.RegSetValueExA(key, "U", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcd"), 3), 0);
    EXPECT_EQ(reg.RegSetValueExA(key, "B", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abc"), 3),
              0);
    reg.RegCloseKey(key);
    EXPECT_EQ(reg.GetValue(HKLM, "SOFTWARE\\K", "T")->data, std::string("abc", 4));
    EXPECT_EQ(reg.GetValue(HKLM, "SOFTWARE\\K", "U")->data, "abc");
    EXPECT_EQ(reg.GetValue(HKLM, "SOFTWARE\\K", "B")->data, "abc");
}

TEST(MemoryRegistry, EnumerationReportsNeededLengthsAndEnds) {
    MemoryRegistry reg(MemoryRegistry::Machine::Windows64);
    const std::string longName(140, 'n');
    for (const char* n : {"b", "A", "_c"})
        reg.CreateKey(HKLM, std::string("SOFTWARE\\E\\") + n);
    reg.CreateKey(HKLM, "SOFTWARE\\E\\" + longName);
    HKEY key = nullptr;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\E", 0, MAXIMUM_ALLOWED, &key), 0);
    std::vector<std::string> names;
    char buf[300];
    for (DWORD i = 0;; ++i) {
        DWORD len = 128;
        FILETIME t;
        LONG rc = reg.RegEnumKeyExA(key, i, buf, &len, nullptr, nullptr, nullptr, &t);
        if (rc == 234) {
            EXPECT_EQ(len, 141u);
            len = sizeof buf;
            rc = reg.RegEnumKeyExA(key, i, buf, &len, nullptr, nullptr, nullptr, &t);
        }
        if (rc == 259)
            break;
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(len, std::string(buf).size());
        names.push_back(buf);
    }
    // Windows' order compares upper-cased names: '_' sorts after the letters.
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", longName, "_c"}));
    reg.SetEnumKeyLeavesLength(true);
    DWORD shortLen = 100;
    EXPECT_EQ(reg.RegEnumKeyExA(key, 2, buf, &shortLen, nullptr, nullptr, nullptr, nullptr), 234);
    EXPECT_EQ(shortLen, 100u);
    HKEY readOnly = nullptr;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\E", 0, 0x1 /* KEY_QUERY_VALUE */, &readOnly), 0);
    DWORD len = sizeof buf;
    EXPECT_EQ(reg.RegEnumKeyExA(readOnly, 0, buf, &len, nullptr, nullptr, nullptr, nullptr), 5);
    reg.RegCloseKey(readOnly);
    reg.RegCloseKey(key);
    EXPECT_EQ(reg.OpenKeyCount(), 0u);
}

TEST(MemoryRegistry, DeletingKeysFollowsWindows) {
    MemoryRegistry reg(MemoryRegistry::Machine::Windows64);
    reg.CreateKey(HKLM, "SOFTWARE\\A\\B\\C");
    HKEY b = nullptr;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "SOFTWARE\\A\\B", 0, KEY_ALL_ACCESS, &b), 0);
    EXPECT_EQ(reg.RegDeleteKeyA(HKLM, "SOFTWARE\\A\\B"), 5); // has a sub-key
    EXPECT_EQ(reg.RegDeleteKeyA(b, "C"), 0);
    EXPECT_EQ(reg.RegDeleteKeyA(b, "C"), 2);
    EXPECT_EQ(reg.RegDeleteKeyA(HKLM, "SOFTWARE\\A\\B"), 0);
    EXPECT_EQ(reg.RegSetValueExA(b, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), 1018);
    EXPECT_EQ(reg.RegCloseKey(b), 0);
    EXPECT_TRUE(reg.KeyExists(HKLM, "SOFTWARE\\A"));
    EXPECT_FALSE(reg.KeyExists(HKLM, "SOFTWARE\\A\\B"));
    EXPECT_EQ(reg.RegDeleteValueA(HKLM, "nope"), 2);
}

TEST(MemoryRegistry, ViewsRedirectOnlyFromTheMachineRoot) {
    MemoryRegistry reg(MemoryRegistry::Machine::Wow64);
    EXPECT_EQ(reg.StoredPath(HKLM, "Software\\X", RegView::Default), "Software\\Wow6432Node\\X");
    EXPECT_EQ(reg.StoredPath(HKLM, "Software", RegView::Key32), "Software\\Wow6432Node");
    EXPECT_EQ(reg.StoredPath(HKLM, "Software\\X", RegView::Key64), "Software\\X");
    EXPECT_EQ(reg.StoredPath(HKLM, "Software\\Wow6432Node\\X", RegView::Default),
              "Software\\Wow6432Node\\X");
    EXPECT_EQ(reg.StoredPath(HKLM, "SYSTEM\\X", RegView::Default), "SYSTEM\\X");
    EXPECT_EQ(reg.StoredPath(HKEY_CURRENT_USER, "Software\\X", RegView::Default), "Software\\X");

    // A key opened in the 64-bit view: paths below it stay there.
    reg.CreateKey(HKLM, "Software\\A");
    HKEY a = nullptr, b = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "Software\\A", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &a), 0);
    ASSERT_EQ(reg.RegCreateKeyExA(a, "B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &b, &disposition),
              0);
    EXPECT_EQ(disposition, 1u);
    EXPECT_TRUE(reg.KeyExists(HKLM, "Software\\A\\B"));
    EXPECT_EQ(
        reg.RegOpenKeyExA(HKLM, "Software\\A", 0, KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY, &b),
        87);
    EXPECT_EQ(reg.RegOpenKeyExA(HKLM, "\\Software\\A", 0, KEY_READ, &b), 161);
    ASSERT_EQ(reg.RegOpenKeyExA(HKLM, "Software\\\\A\\", 0, KEY_READ | KEY_WOW64_64KEY, &b), 0);
    reg.RegCloseKey(b);
    reg.RegCloseKey(a);

    MemoryRegistry native(MemoryRegistry::Machine::Windows64);
    EXPECT_EQ(native.StoredPath(HKLM, "Software\\X", RegView::Default), "Software\\X");
    EXPECT_EQ(native.StoredPath(HKLM, "Software\\X", RegView::Key32), "Software\\Wow6432Node\\X");
}

TEST(MemoryRegistry, FaultsCanSkipAndStop) {
    MemoryRegistry reg;
    reg.CreateKey(HKLM, "SYSTEM\\K");
    MemoryRegistry::Fault f;
    f.call = RegCall::OpenKey;
    f.path = "system\\k";
    f.code = 1450;
    f.skip = 1;
    f.times = 2;
    reg.InjectFault(f);
    std::vector<LONG> results;
    for (int i = 0; i < 5; ++i) {
        HKEY k = nullptr;
        results.push_back(reg.RegOpenKeyExA(HKLM, "SYSTEM\\K", 0, KEY_READ, &k));
        if (k)
            reg.RegCloseKey(k);
    }
    EXPECT_EQ(results, (std::vector<LONG>{0, 1450, 1450, 0, 0}));
    HKEY other = nullptr;
    EXPECT_EQ(reg.RegOpenKeyExA(HKLM, "SYSTEM", 0, KEY_READ, &other), 0);
    reg.RegCloseKey(other);
}

} // namespace
