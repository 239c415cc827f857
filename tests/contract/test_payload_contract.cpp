// The payload reader against Windows' own resource calls: resources linked
// into this test program, and the two programs the built installer carries.
#include "common/ResourceApi.h"
#include "common/UDataRessources.h"

#include "common/Handles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>

// Where the build put the programs (cmake/Programs.cmake); the environment
// variables of the same names override them.
#ifndef NV_INSTALLER_EXE
#define NV_INSTALLER_EXE ""
#define NV_CLIENT_EXE ""
#define NV_UNINSTALLER_EXE ""
#endif

namespace {

// The real calls, aimed at another module (the installer loaded as data).
class ModuleResources final : public nv::ResourceApi {
  public:
    explicit ModuleResources(HMODULE module) : module_(module) {}
    HRSRC FindResourceA(HMODULE, const char* name, const char* type) override {
        return ::FindResourceA(module_, name, type);
    }
    DWORD SizeofResource(HMODULE, HRSRC r) override { return ::SizeofResource(module_, r); }
    HGLOBAL LoadResource(HMODULE, HRSRC r) override { return ::LoadResource(module_, r); }
    const void* LockResource(HGLOBAL g) override { return ::LockResource(g); }

  private:
    HMODULE module_;
};

// Build paths are Unix paths; Wine shows the Unix root as drive Z:.
std::wstring WindowsPath(const char* path) {
    std::string p = path;
    if (!p.empty() && p[0] == '/')
        p = "Z:" + p;
    std::wstring w;
    for (char c : p)
        w += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return w;
}

std::string ReadWholeFile(const std::wstring& path) {
    nv::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    if (!file)
        return {};
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size))
        return {};
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() &&
        !::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return {};
    bytes.resize(read);
    return bytes;
}

const char* Setting(const char* environment, const char* builtIn) {
    const char* value = std::getenv(environment);
    return value && *value ? value : builtIn;
}

struct Read {
    bool ok = false;
    nv::PayloadHeader header{};
    nv::PayloadBuffer data;
    std::int32_t size = -1;
    std::string text;
};

Read ReadResource(const char* name) {
    Read r;
    r.ok = nv::ReadPayloadResource(name, r.header, r.data, r.size, r.text);
    return r;
}

TEST(PayloadContract, ResourcesOfThisProgramThroughTheRealCalls) {
    Read r = ReadResource("NIVAXEL");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Erreur de ressource \"NIVAXEL\"");

    // SizeofResource must give the exact length, not the 4-byte padded one:
    // a raw payload of 5 bytes stays 5.
    r = ReadResource("TESTRAW5");
    EXPECT_TRUE(r.ok) << r.text;
    ASSERT_EQ(r.size, 5);
    EXPECT_EQ(std::memcmp(r.data.get(), "\0\1\2\3\4", 5), 0);

    r = ReadResource("testshort");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Erreur taille de la ressource \"testshort\"");

    r = ReadResource("TESTPACKED");
    EXPECT_TRUE(r.ok) << r.text;
    ASSERT_EQ(r.size, 5101);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.data.get()), 17), "Message d'alerte\n");
    EXPECT_EQ(r.header.TimeStamp.dwHighDateTime, 0x01D51145u);
}

TEST(PayloadContract, InstallerCarriesTheBuiltPrograms) {
    const std::wstring installer = WindowsPath(Setting("NV_INSTALLER_EXE", NV_INSTALLER_EXE));
    if (::GetFileAttributesW(installer.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no installer built at " << Setting("NV_INSTALLER_EXE", NV_INSTALLER_EXE)
                     << " (build NivaxelSetup with NIVAXEL_PACKER set first)";
    nv::UniqueLibrary module(
        ::LoadLibraryExW(installer.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module) << "LoadLibraryExW failed: " << ::GetLastError();
    ModuleResources resources(module.get());
    nv::ScopedResourceApi scope(resources);

    const struct {
        const char* resource;
        const char* environment;
        const char* builtIn;
    } programs[] = {{"NIVAXEL", "NV_CLIENT_EXE", NV_CLIENT_EXE},
                    {"UNINSTALLNIVAXEL", "NV_UNINSTALLER_EXE", NV_UNINSTALLER_EXE}};
    for (const auto& p : programs) {
        const std::string built = ReadWholeFile(WindowsPath(Setting(p.environment, p.builtIn)));
        ASSERT_FALSE(built.empty()) << "cannot read " << Setting(p.environment, p.builtIn);
        Read r = ReadResource(p.resource);
        ASSERT_TRUE(r.ok) << p.resource << ": " << r.text;
        EXPECT_EQ(r.header.Format, 1u);
        EXPECT_EQ(r.header.UnpackedSize, static_cast<std::int64_t>(built.size()));
        EXPECT_NE(r.header.TimeStamp.dwHighDateTime, 0u);
        ASSERT_EQ(static_cast<std::size_t>(r.size), built.size()) << p.resource;
        EXPECT_EQ(std::memcmp(r.data.get(), built.data(), built.size()), 0) << p.resource;
        std::printf("%s: %d bytes unpacked\n", p.resource, r.size);
    }
}

} // namespace
