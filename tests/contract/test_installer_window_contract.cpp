// The installer's window in-process against the real window manager: what
// the end-to-end driver cannot read from outside (font, class colour and
// cursor), the dialog keys decided by each control, and the splitter's
// resizing through the layout. The form is made once: its window classes
// live as long as the process.
#include "installer/FInstallNivaxel.h"
#include "installer/InstallForm.h"

#include <gtest/gtest.h>

#include <cstring>

namespace nv {
namespace {

using Form = TFormInstallNivaxel;

struct FindChild {
    int id;
    HWND found;
};

BOOL CALLBACK MatchChild(HWND h, LPARAM p) {
    auto* f = reinterpret_cast<FindChild*>(p);
    if (::GetDlgCtrlID(h) != f->id)
        return TRUE;
    f->found = h;
    return FALSE;
}

HWND Child(HWND root, int id) {
    FindChild find{id, nullptr};
    ::EnumChildWindows(root, MatchChild, reinterpret_cast<LPARAM>(&find));
    return find.found;
}

RECT InParent(HWND h) {
    RECT rc{};
    ::GetWindowRect(h, &rc);
    ::MapWindowPoints(nullptr, ::GetParent(h), reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

// Takes the WM_CLOSE requests queued for the form; true when there was one.
// (Only those: a pending WM_PAINT would come back for ever.)
bool DrainForClose(HWND form) {
    bool closed = false;
    MSG msg;
    while (::PeekMessageA(&msg, form, WM_CLOSE, WM_CLOSE, PM_REMOVE))
        closed = true;
    return closed;
}

class InstallerWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        form = new Form;
        ASSERT_TRUE(form->Create(::GetModuleHandleA(nullptr), SW_SHOWNOACTIVATE));
    }
    static void TearDownTestSuite() {
        delete form;
        form = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(form, nullptr);
        hwnd = form->Handle();
        form->SetPanelHeight(kPanelHeight);
        DrainForClose(hwnd);
    }
    MSG Key(HWND target, WPARAM vk) {
        MSG msg{};
        msg.hwnd = target;
        msg.message = WM_KEYDOWN;
        msg.wParam = vk;
        msg.lParam = 1;
        return msg;
    }

    static Form* form;
    HWND hwnd = nullptr;
};
Form* InstallerWindow::form = nullptr;

TEST_F(InstallerWindow, EveryControlUsesTahomaEightPoints) {
    for (int id : {Form::kIdMemoInfo, Form::kIdLabel1, Form::kIdEditNomServVESKA, Form::kIdButtonInstall,
                   Form::kIdButtonAnnuler}) {
        auto font = reinterpret_cast<HFONT>(::SendMessageA(Child(hwnd, id), WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr) << id;
        LOGFONTA lf{};
        ASSERT_EQ(::GetObjectA(font, sizeof lf, &lf), static_cast<int>(sizeof lf)) << id;
        EXPECT_EQ(lf.lfHeight, -11) << id;
        EXPECT_STREQ(lf.lfFaceName, "Tahoma") << id;
    }
}

TEST_F(InstallerWindow, ButtonFaceBackgroundAndResizeCursor) {
    EXPECT_EQ(::GetClassLongPtrA(hwnd, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    EXPECT_EQ(::GetClassLongPtrA(Child(hwnd, Form::kIdPanelBas), GCLP_HBRBACKGROUND),
              static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));
    HCURSOR sizeNs = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_SIZENS));
    EXPECT_EQ(::GetClassLongPtrA(Child(hwnd, Form::kIdSplitter1), GCLP_HCURSOR), reinterpret_cast<ULONG_PTR>(sizeNs));
}

TEST_F(InstallerWindow, EscapeAndEnterAsEachControlDecides) {
    HWND edit = Child(hwnd, Form::kIdEditNomServVESKA);
    HWND memo = Child(hwnd, Form::kIdMemoInfo);
    HWND cancel = Child(hwnd, Form::kIdButtonAnnuler);

    // Escape in the name box presses "Annuler", which asks the window to close.
    EXPECT_TRUE(form->PreTranslateMessage(Key(edit, VK_ESCAPE)));
    EXPECT_TRUE(DrainForClose(hwnd));
    // Enter on the focused "Annuler" presses it rather than the default button.
    EXPECT_TRUE(form->PreTranslateMessage(Key(cancel, VK_RETURN)));
    EXPECT_TRUE(DrainForClose(hwnd));
    // The multi-line text box keeps Enter and Escape to itself.
    EXPECT_FALSE(form->PreTranslateMessage(Key(memo, VK_ESCAPE)));
    EXPECT_FALSE(form->PreTranslateMessage(Key(memo, VK_RETURN)));
    EXPECT_FALSE(DrainForClose(hwnd));
    // Other keys and other windows' keys are not the form's business.
    EXPECT_FALSE(form->PreTranslateMessage(Key(edit, 'A')));
    EXPECT_FALSE(form->PreTranslateMessage(Key(::GetDesktopWindow(), VK_ESCAPE)));
    EXPECT_FALSE(DrainForClose(hwnd));
}

TEST_F(InstallerWindow, PanelHeightMovesTheBandsAndKeepsTheButtonsInThePanel) {
    form->SetPanelHeight(105);
    RECT memo = InParent(Child(hwnd, Form::kIdMemoInfo));
    RECT splitter = InParent(Child(hwnd, Form::kIdSplitter1));
    RECT panel = InParent(Child(hwnd, Form::kIdPanelBas));
    EXPECT_EQ(memo.bottom - memo.top, 53);
    EXPECT_EQ(splitter.top, 53);
    EXPECT_EQ(panel.top, 56);
    EXPECT_EQ(panel.bottom, kClientHeight);
    RECT install = InParent(Child(hwnd, Form::kIdButtonInstall));
    EXPECT_EQ(install.left, 181);
    EXPECT_EQ(install.top, 43);
}

TEST_F(InstallerWindow, InformationTextAndEmptyNameAtCreation) {
    char text[512] = {};
    ::GetWindowTextA(Child(hwnd, Form::kIdMemoInfo), text, sizeof text);
    EXPECT_EQ(std::string(text), InfoText());
    RECT client{};
    ::GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, kClientWidth);
    EXPECT_EQ(client.bottom, kClientHeight);
}

} // namespace
} // namespace nv
