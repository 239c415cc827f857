#include "uninstaller/FUninstallNivaxel.h"

#include "uninstaller/Textes.h"

namespace nv {

namespace {

constexpr char kClassName[] = "TFormUninstallNivaxel";
constexpr int kClientWidth = 469;
constexpr int kClientHeight = 85;
// Not IDOK or IDCANCEL: neither button is the default nor the cancel button.
constexpr int kIdDesinstaller = 101;
constexpr int kIdAnnuler = 102;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

} // namespace

bool TFormUninstallNivaxel::Create(HINSTANCE instance, int show) {
    instance_ = instance;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TFormUninstallNivaxel::WindowProc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconA(instance, "MAINICON");
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = kClassName;
    if (!::RegisterClassExA(&wc))
        return false;

    RECT frame{0, 0, kClientWidth, kClientHeight};
    ::AdjustWindowRectEx(&frame, kStyle, FALSE, 0);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    if (!::CreateWindowExA(0, kClassName, textes::kCaption, kStyle, left, top, width, height,
                           nullptr, nullptr, instance, this))
        return false;
    ::ShowWindow(handle_, show);
    ::UpdateWindow(handle_);
    ::SetFocus(buttonDesinstaller_);
    return true;
}

bool TFormUninstallNivaxel::PreTranslateMessage(MSG& msg) {
    return handle_ && ::IsDialogMessageA(handle_, &msg);
}

HWND TFormUninstallNivaxel::AddControl(const char* className, const char* text, DWORD style, int x,
                                       int y, int w, int h, int id) {
    HWND control =
        ::CreateWindowExA(0, className, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, handle_,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (control && font_)
        ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    return control;
}

// The label is laid out for Tahoma at 346 pixels; a wider substitute font
// widens it rather than cutting the sentence short, as an auto-sized label does.
int TFormUninstallNivaxel::LabelWidth(const char* text) const {
    constexpr int kDesigned = 346;
    HDC dc = ::GetDC(handle_);
    if (!dc)
        return kDesigned;
    HGDIOBJ previous = font_ ? ::SelectObject(dc, font_.get()) : nullptr;
    // Measured the way the label will draw it.
    RECT extent{0, 0, 0, 0};
    const int measured =
        ::DrawTextA(dc, text, -1, &extent, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    if (previous)
        ::SelectObject(dc, previous);
    ::ReleaseDC(handle_, dc);
    // A few pixels of slack: Wine's static draws a pixel or two right of its measure.
    return (measured && extent.right + 4 > kDesigned) ? extent.right + 4 : kDesigned;
}

void TFormUninstallNivaxel::CreateControls() {
    font_.reset(::CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH | FF_DONTCARE, "Tahoma"));
    // Creation order is the tab order.
    label1_ = AddControl("STATIC", textes::kLabel1, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 44, 16,
                         LabelWidth(textes::kLabel1), 13, -1);
    buttonDesinstaller_ =
        AddControl("BUTTON", textes::kButtonDesinstaller, BS_PUSHBUTTON | WS_TABSTOP | WS_GROUP, 96,
                   44, 121, 25, kIdDesinstaller);
    buttonAnnuler_ = AddControl("BUTTON", textes::kButtonAnnuler, BS_PUSHBUTTON | WS_TABSTOP, 236,
                                44, 121, 25, kIdAnnuler);
}

LRESULT CALLBACK TFormUninstallNivaxel::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<TFormUninstallNivaxel*>(
            reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
        self->handle_ = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TFormUninstallNivaxel*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self)
        return ::DefWindowProcA(hwnd, msg, wp, lp);
    return self->HandleMessage(msg, wp, lp);
}

LRESULT TFormUninstallNivaxel::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wp)) {
        case kIdDesinstaller:
            if (HIWORD(wp) == BN_CLICKED)
                ButtonDesinstallerClick();
            return 0;
        case kIdAnnuler:
            if (HIWORD(wp) == BN_CLICKED)
                ButtonAnnulerClick();
            return 0;
        case IDOK: { // Enter: presses the focused button, as no button is the default
            HWND focus = ::GetFocus();
            if (focus == buttonDesinstaller_ || focus == buttonAnnuler_)
                ::SendMessageA(focus, BM_CLICK, 0, 0);
            return 0;
        }
        default:
            return 0; // IDCANCEL (Escape) included: no cancel button
        }
    case WM_ACTIVATE:
        if (LOWORD(wp) == WA_INACTIVE) {
            lastFocus_ = ::GetFocus();
        } else {
            ::SetFocus(lastFocus_ == buttonAnnuler_ ? buttonAnnuler_ : buttonDesinstaller_);
        }
        return 0;
    case WM_CLOSE:
        ::DestroyWindow(handle_);
        return 0;
    case WM_DESTROY:
        ::SetWindowLongPtrA(handle_, GWLP_USERDATA, 0);
        handle_ = nullptr;
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(handle_, msg, wp, lp);
    }
}

void TFormUninstallNivaxel::ButtonDesinstallerClick() {
    if (busy_)
        return;
    busy_ = true;
    RunUninstallSequence(*this);
    busy_ = false;
}

void TFormUninstallNivaxel::ButtonAnnulerClick() {
    CloseWindow();
}

bool TFormUninstallNivaxel::ConfirmUninstall(const char* text) {
    return ::MessageBoxA(handle_, text, textes::kConfirmationCaption,
                         MB_OKCANCEL | MB_ICONQUESTION) == IDOK;
}

std::string TFormUninstallNivaxel::OwnModuleName() {
    char name[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, name, sizeof name);
    // A truncated name would rename some other file.
    if (length == 0 || length >= sizeof name)
        return std::string();
    return std::string(name, length);
}

void TFormUninstallNivaxel::CloseWindow() {
    if (handle_)
        ::PostMessageA(handle_, WM_CLOSE, 0, 0);
}

} // namespace nv
