// The registry routines against the real registry, and the in-memory double
// against the real registry: the same scenario must give the same answers.
#include "common/MemoryRegistry.h"
#include "common/UBdr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using nv::LastRegistryError;

const HKEY HKLM = HKEY_LOCAL_MACHINE;
const char* const kBase = "SOFTWARE\\NivaxelContract";
const std::string kKey = std::string(kBase) + "\\Routines";

void RemoveBase() {
    ::RegDeleteTreeA(HKLM, kBase);
    HKEY k;
    if (::RegOpenKeyExA(HKLM, "SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &k) == 0) {
        ::RegDeleteTreeA(k, "NivaxelContract");
        ::RegCloseKey(k);
    }
}

// Writes a raw value in the process's default view.
void Raw(const std::string& name, DWORD type, const std::string& bytes) {
    HKEY k;
    ASSERT_EQ(
        ::RegCreateKeyExA(HKLM, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
        0);
    ASSERT_EQ(::RegSetValueExA(k, name.c_str(), 0, type,
                               reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              0);
    ::RegCloseKey(k);
}

class RegistryContract : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveBase();
        LastRegistryError = 0xDEAD;
    }
    void TearDown() override { RemoveBase(); }
};

TEST_F(RegistryContract, LongStringsComeBackWhole) {
    const std::string s511(511, 'a'), s512 = std::string(511, 'b') + 'Z', big(5000, 'c');
    Raw("A", REG_SZ, s511 + '\0');
    Raw("B", REG_SZ, s512 + '\0');
    Raw("C", REG_EXPAND_SZ, big + '\0');
    std::string v;
    ASSERT_TRUE(nv::RegReadString(HKLM, kKey, "A", v, false));
    EXPECT_EQ(v, s511);
    ASSERT_TRUE(nv::RegReadString(HKLM, kKey, "B", v, false));
    EXPECT_EQ(v, s512);
    ASSERT_TRUE(nv::RegReadString(HKLM, kKey, "C", v, false));
    EXPECT_EQ(v, big);
    EXPECT_EQ(LastRegistryError, 0u);
}

TEST_F(RegistryContract, OddValuesReadAsText) {
    // Windows counts a terminator that follows the given bytes; "abcd" with
    // a count of 3 stores three bytes and no terminator.
    {
        HKEY k;
        ASSERT_EQ(::RegCreateKeyExA(HKLM, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                                    nullptr),
                  0);
        ASSERT_EQ(::RegSetValueExA(k, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcd"), 3),
                  0);
        ::RegCloseKey(k);
    }
    Raw("Num", REG_DWORD, std::string("ABC\0", 4));
    Raw("Empty", REG_SZ, "");
    Raw("Accent", REG_SZ, std::string("R\xE9pertoire\0", 11));
    std::string v = "junk";
    EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "NoNul", v, false));
    EXPECT_EQ(v, "ab");
    EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "Num", v, false));
    EXPECT_EQ(v, "ABC");
    v = "junk";
    EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "Empty", v, false));
    EXPECT_EQ(v, "");
    EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "Accent", v, false));
    EXPECT_EQ(v, "R\xE9pertoire");
}

TEST_F(RegistryContract, MissingKeysAndValues) {
    std::string v = "junk";
    EXPECT_FALSE(nv::RegReadString(HKLM, kKey, "X", v, false));
    EXPECT_EQ(LastRegistryError, 2u);
    EXPECT_EQ(v, "");
    Raw("Other", REG_SZ, std::string("x\0", 2));
    LastRegistryError = 0;
    EXPECT_FALSE(nv::RegReadString(HKLM, kKey, "X", v, false));
    EXPECT_EQ(LastRegistryError, 2u);
    EXPECT_FALSE(nv::RegWriteString(HKLM, kKey + "\\Missing", false, "N", "v", false));
    EXPECT_EQ(LastRegistryError, 2u);
    HKEY k;
    EXPECT_EQ(::RegOpenKeyExA(HKLM, (kKey + "\\Missing").c_str(), 0, KEY_READ, &k), 2);
}

TEST_F(RegistryContract, WritesAndDwords) {
    ASSERT_TRUE(nv::RegWriteString(HKLM, kKey + "\\Deep\\Er", true, "NomServeur", "", false));
    HKEY k;
    ASSERT_EQ(::RegOpenKeyExA(HKLM, (kKey + "\\Deep\\Er").c_str(), 0, KEY_READ, &k), 0);
    BYTE buf[8];
    DWORD size = sizeof buf, type = 0;
    EXPECT_EQ(::RegQueryValueExA(k, "NomServeur", nullptr, &type, buf, &size), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(buf[0], 0);
    ::RegCloseKey(k);

    Raw("Port", REG_DWORD, std::string("\xE2\x13\0\0", 4));
    Raw("Text", REG_SZ, std::string("5090\0", 5));
    Raw("Bin", REG_BINARY, std::string("\x01\x02\x03\x04", 4));
    LastRegistryError = 0xDEAD;
    DWORD n = 7;
    EXPECT_TRUE(nv::RegReadDword(HKLM, kKey, "Port", n, false));
    EXPECT_EQ(n, 5090u);
    for (const char* name : {"Text", "Bin", "Missing"}) {
        n = 7;
        EXPECT_FALSE(nv::RegReadDword(HKLM, kKey, name, n, false)) << name;
        EXPECT_EQ(n, 0u) << name;
    }
    EXPECT_EQ(LastRegistryError, 0xDEADu);
}

TEST_F(RegistryContract, ViewsOfThisProcess) {
    ASSERT_TRUE(nv::RegWriteString(HKLM, kKey, true, "Default", "d", false));
    ASSERT_TRUE(nv::RegWriteString(HKLM, kKey, true, "Wide", "w", true));
    std::string v;
    const std::string wowKey = std::string("SOFTWARE\\Wow6432Node\\NivaxelContract\\Routines");
    HKEY k;
    if (sizeof(void*) == 8) {
        // A 64-bit process: both views are the real branch.
        EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "Wide", v, false));
        EXPECT_TRUE(nv::RegReadString(HKLM, kKey, "Default", v, true));
        EXPECT_EQ(::RegOpenKeyExA(HKLM, wowKey.c_str(), 0, KEY_READ, &k), 2);
    } else {
        // A 32-bit process on 64-bit Windows: the default view is Wow6432Node.
        BOOL wow64 = FALSE;
        ::IsWow64Process(::GetCurrentProcess(), &wow64);
        if (!wow64)
            GTEST_SKIP() << "32-bit Windows: one view";
        EXPECT_FALSE(nv::RegReadString(HKLM, kKey, "Wide", v, false));
        EXPECT_FALSE(nv::RegReadString(HKLM, kKey, "Default", v, true));
        ASSERT_EQ(::RegOpenKeyExA(HKLM, wowKey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &k), 0);
        DWORD size = 0;
        EXPECT_EQ(::RegQueryValueExA(k, "Default", nullptr, nullptr, nullptr, &size), 0);
        ::RegCloseKey(k);
    }
}

// --- the double against the real registry ---

std::string Rc(LONG rc) {
    return std::to_string(rc);
}

// Raw calls whose answers the in-memory registry must reproduce.
std::vector<std::string> Scenario(nv::RegistryApi& api) {
    std::vector<std::string> out;
    const std::string base = std::string(kBase) + "\\Scenario";
    auto path = [&](const char* sub) { return base + "\\" + sub; };
    HKEY k = nullptr, b = nullptr, s = nullptr, r = nullptr;
    DWORD disp = 0;
    out.push_back("open missing " + Rc(api.RegOpenKeyExA(HKLM, base.c_str(), 0, KEY_READ, &k)));
    out.push_back("create " +
                  Rc(api.RegCreateKeyExA(HKLM, base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                         &b, &disp)) +
                  " disp " + std::to_string(disp));
    out.push_back("create again " +
                  Rc(api.RegCreateKeyExA(HKLM, base.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                         &k, &disp)) +
                  " disp " + std::to_string(disp));
    api.RegCloseKey(k);
    const std::string longName(140, 'n');
    for (const std::string& name : {std::string("Sub\\Deep"), std::string("b"), std::string("A"),
                                    std::string("_c"), longName}) {
        out.push_back("create " + name.substr(0, 8) + " " +
                      Rc(api.RegCreateKeyExA(b, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &k, nullptr)));
        api.RegCloseKey(k);
    }
    // Sub-keys come back whole; Wine orders them by lower-cased name where
    // Windows takes upper-cased names, so the order is not compared.
    char name[300];
    std::vector<std::string> names;
    std::string more, end;
    for (DWORD i = 0; i < 8; ++i) {
        DWORD len = 128;
        LONG rc = api.RegEnumKeyExA(b, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            more += "more-data needs " + std::to_string(len) + ";";
            len = sizeof name;
            rc = api.RegEnumKeyExA(b, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        }
        if (rc == 0) {
            names.push_back(std::string(name).substr(0, 8) + " " + std::to_string(len));
            continue;
        }
        end = "enum ends at " + std::to_string(i) + " with " + Rc(rc);
        break;
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names)
        out.push_back("enum " + n);
    out.push_back(more);
    out.push_back(end);
    out.push_back("delete with sub-key " + Rc(api.RegDeleteKeyA(b, "Sub")));
    out.push_back("delete deep " + Rc(api.RegDeleteKeyA(b, "sub\\DEEP")));
    out.push_back("delete deep again " + Rc(api.RegDeleteKeyA(b, "Sub\\Deep")));

    BYTE data[16] = {};
    DWORD size = 0, type = 0;
    out.push_back("set " + Rc(api.RegSetValueExA(b, "V", 0, REG_SZ,
                                                 reinterpret_cast<const BYTE*>("hello"), 6)));
    size = 3;
    out.push_back("query short " + Rc(api.RegQueryValueExA(b, "v", nullptr, &type, data, &size)) +
                  " " + std::to_string(size) + " type " + std::to_string(type));
    size = 0;
    out.push_back("query size " +
                  Rc(api.RegQueryValueExA(b, "V", nullptr, nullptr, nullptr, &size)) + " " +
                  std::to_string(size));
    size = sizeof data;
    out.push_back("query " + Rc(api.RegQueryValueExA(b, "V", nullptr, nullptr, data, &size)) + " " +
                  std::to_string(size) + " " + reinterpret_cast<char*>(data));
    for (const char* text : {"abc", "abcd"}) {
        api.RegSetValueExA(b, text, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 3);
        size = sizeof data;
        out.push_back(std::string("counted ") + text + " " +
                      Rc(api.RegQueryValueExA(b, text, nullptr, nullptr, data, &size)) + " " +
                      std::to_string(size));
    }
    out.push_back("query missing " +
                  Rc(api.RegQueryValueExA(b, "W", nullptr, nullptr, data, &size)));
    out.push_back("delete value missing " + Rc(api.RegDeleteValueA(b, "W")));
    out.push_back("delete value " + Rc(api.RegDeleteValueA(b, "V")));

    out.push_back("open read-only " + Rc(api.RegOpenKeyExA(b, "SUB", 0, KEY_READ, &r)));
    out.push_back("set on read-only " +
                  Rc(api.RegSetValueExA(r, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1)));
    out.push_back("open sub " +
                  Rc(api.RegOpenKeyExA(HKLM, path("Sub").c_str(), 0, KEY_ALL_ACCESS, &s)));
    out.push_back("delete sub " + Rc(api.RegDeleteKeyA(b, "Sub")));
    out.push_back("set on deleted " +
                  Rc(api.RegSetValueExA(s, "x", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1)));
    size = sizeof data;
    out.push_back("query on deleted " +
                  Rc(api.RegQueryValueExA(s, "x", nullptr, nullptr, data, &size)));
    out.push_back("close deleted " + Rc(api.RegCloseKey(s)));
    out.push_back("close read-only " + Rc(api.RegCloseKey(r)));

    out.push_back(
        "create trailing " +
        Rc(api.RegCreateKeyExA(b, "T\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)));
    api.RegCloseKey(k);
    out.push_back("open trailing " +
                  Rc(api.RegOpenKeyExA(HKLM, (base + "\\T\\").c_str(), 0, KEY_READ, &k)));
    api.RegCloseKey(k);
    k = nullptr;
    out.push_back("open leading " +
                  Rc(api.RegOpenKeyExA(HKLM, ("\\" + base).c_str(), 0, KEY_READ, &k)));
    out.push_back(
        "create leading " +
        Rc(api.RegCreateKeyExA(b, "\\L", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)));
    k = nullptr;
    out.push_back("open doubled " +
                  Rc(api.RegOpenKeyExA(HKLM, (std::string(kBase) + "\\\\Scenario").c_str(), 0,
                                       KEY_READ, &k)));
    if (k)
        api.RegCloseKey(k);
    out.push_back("close " + Rc(api.RegCloseKey(b)));
    return out;
}

TEST_F(RegistryContract, TheInMemoryRegistryAnswersAsWindowsDoes) {
    const std::vector<std::string> real = Scenario(nv::CurrentRegistryApi());
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    nv::MemoryRegistry memory(sizeof(void*) == 8 ? nv::MemoryRegistry::Machine::Windows64
                              : wow64        ? nv::MemoryRegistry::Machine::Wow64
                                             : nv::MemoryRegistry::Machine::Windows32);
    // Wine keeps the caller's length on a short enumeration buffer.
    memory.SetEnumKeyLeavesLength(true);
    const std::vector<std::string> fake = Scenario(memory);
    ASSERT_EQ(real.size(), fake.size());
    for (std::size_t i = 0; i < real.size(); ++i)
        EXPECT_EQ(fake[i], real[i]) << "step " << i;
    EXPECT_EQ(memory.OpenKeyCount(), 0u);
}

} // namespace
