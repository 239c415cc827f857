// The queue pump, the window-message poster and the identification calls
// against the real Win32 functions (under Wine in the test run).
#include "client/Identification.h"
#include "client/MessagePoster.h"
#include "client/URoutinesIndy.h"
#include "client/URoutinesMessages.h"
#include "support/MemoryConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct Vu {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Vu> g_vus;

LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= WM_KEYFIRST && msg <= WM_KEYLAST)
        g_vus.push_back({msg, wp, lp});
    else if (msg >= WM_MOUSEFIRST && msg <= WM_MOUSELAST)
        g_vus.push_back({msg, wp, lp});
    else if (msg >= WM_USER)
        g_vus.push_back({msg, wp, lp});
    return DefWindowProcA(hwnd, msg, wp, lp);
}

class Pump : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "NvPumpTest";
        RegisterClassA(&wc);
        hwnd_ = CreateWindowExA(0, "NvPumpTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
        ASSERT_NE(hwnd_, nullptr);
        g_vus.clear();
    }
    void TearDown() override {
        DestroyWindow(hwnd_);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    void PosteTrois() {
        PostMessageA(hwnd_, WM_KEYDOWN, 'A', 0);
        PostMessageA(hwnd_, WM_LBUTTONDOWN, 0, 0);
        PostMessageA(hwnd_, WM_USER + 7, 11, 22);
    }
    HWND hwnd_ = nullptr;
};

TEST_F(Pump, FilterDropsKeyboardAndMouseAndDispatchesTheRest) {
    PosteTrois();
    EXPECT_EQ(nv::TraiteFileMessages(nv::kFiltreClavier | nv::kFiltreSouris), 0);
    ASSERT_EQ(g_vus.size(), 1u);
    EXPECT_EQ(g_vus[0].message, static_cast<UINT>(WM_USER + 7));
    EXPECT_EQ(g_vus[0].wParam, 11u);

    g_vus.clear();
    PosteTrois();
    EXPECT_EQ(nv::TraiteFileMessages(0), 0);
    // Unfiltered, the key is translated as well: its WM_CHAR follows it.
    std::vector<UINT> vus;
    for (const Vu& v : g_vus)
        vus.push_back(v.message);
    std::sort(vus.begin(), vus.end());
    EXPECT_EQ(vus, (std::vector<UINT>{WM_KEYDOWN, WM_CHAR, WM_LBUTTONDOWN, WM_USER + 7}));
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE)); // all taken
}

TEST_F(Pump, QuitIsPostedAgainWithItsCode) {
    PostMessageA(hwnd_, WM_USER + 8, 0, 0);
    PostQuitMessage(42);
    EXPECT_EQ(nv::TraiteFileMessages(3), 18);
    MSG m;
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 42u);
}

TEST_F(Pump, SendingPumpsTheQueueBeforeWriting) {
    ASSERT_TRUE(nv::PompeMessagesEnEnvoi);
    PosteTrois();
    nvtest::MemoryConnection c;
    ASSERT_EQ(nv::EnvoieMessage(c, nv::TestLiaison), 0);
    ASSERT_EQ(g_vus.size(), 1u); // keyboard and mouse dropped
    EXPECT_EQ(g_vus[0].message, static_cast<UINT>(WM_USER + 7));
}

TEST_F(Pump, PostedAlertCarriesItsBlockToTheWindow) {
    const char texte[] = "O=Essai";
    void* bloc = nv::AlloueBlocAlerte(7);
    ASSERT_NE(bloc, nullptr);
    std::memcpy(bloc, texte, 7);
    ASSERT_TRUE(nv::CurrentMessagePoster().PostMessageA(hwnd_, nv::kMessageAlerte, 7,
                                                        reinterpret_cast<LPARAM>(bloc)));
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&m);
    ASSERT_EQ(g_vus.size(), 1u);
    EXPECT_EQ(g_vus[0].message, static_cast<UINT>(WM_USER + 3));
    EXPECT_EQ(g_vus[0].wParam, 7u);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(g_vus[0].lParam), "O=Essai", 7), 0);
    nv::LibereBlocAlerte(g_vus[0].lParam);
    EXPECT_FALSE(nv::CurrentMessagePoster().PostMessageA(
        reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0xDEAD0)), nv::kMessageConnecte, 0, 0));
}

TEST(IdentificationContract, RealNamesFitTheirBuffers) {
    char computer[16] = {};
    DWORD size = sizeof computer;
    ASSERT_TRUE(GetComputerNameA(computer, &size));
    char user[256] = {};
    DWORD usize = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &usize));
    EXPECT_EQ(nv::NomOrdinateur(), computer);
    EXPECT_EQ(nv::NomUtilisateur(), user);
    EXPECT_EQ(nv::TexteIdentification(), std::string("NS=") + computer + "\r\nNU=" + user);
    EXPECT_LE(std::strlen(computer), 15u);

    // The real call refuses a short buffer, as the in-memory one does.
    char petit[2];
    DWORD petitSize = sizeof petit;
    EXPECT_FALSE(GetComputerNameA(petit, &petitSize));
    nv::MemoryIdentificationApi memoire(computer, user);
    DWORD memSize = sizeof petit;
    EXPECT_FALSE(memoire.GetComputerNameA(petit, &memSize));
    EXPECT_EQ(memSize, petitSize);
}

} // namespace
