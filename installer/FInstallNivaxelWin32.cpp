#include "installer/FInstallNivaxel.h"

#include "installer/InstallForm.h"
#include "installer/TextesInstallation.h"

#include <windowsx.h>

namespace nv {

namespace {

constexpr char kFormClass[] = "TFormInstallNivaxel";
constexpr char kPanelClass[] = "TPanel";
constexpr char kSplitterClass[] = "TSplitter";

TFormInstallNivaxel* FormOf(HWND hwnd) {
    return reinterpret_cast<TFormInstallNivaxel*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// The panel hands its children's notifications and colour questions to the
// form, which owns every handler.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return ::SendMessageA(::GetParent(hwnd), msg, wp, lp);
    default:
        return ::DefWindowProcA(hwnd, msg, wp, lp);
    }
}

// The 3-pixel bar between the text box and the panel. While the left button
// is held, the panel follows the bar; the form clamps the sizes.
LRESULT CALLBACK SplitterProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_LBUTTONDOWN:
        ::SetCapture(hwnd);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, GET_Y_LPARAM(lp));
        return 0;
    case WM_MOUSEMOVE:
        if (::GetCapture() == hwnd) {
            HWND form = ::GetParent(hwnd);
            POINT pt{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
            ::MapWindowPoints(hwnd, form, &pt, 1);
            RECT client{};
            ::GetClientRect(form, &client);
            int grab = static_cast<int>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
            if (TFormInstallNivaxel* owner = FormOf(form))
                owner->SetPanelHeight(PanelHeightForSplitterTop(pt.y - grab, client.bottom));
        }
        return 0;
    case WM_LBUTTONUP:
        if (::GetCapture() == hwnd)
            ::ReleaseCapture();
        return 0;
    default:
        return ::DefWindowProcA(hwnd, msg, wp, lp);
    }
}

HWND Child(HWND parent, DWORD exStyle, const char* cls, const char* text, DWORD style, const Box& box, int id,
           HINSTANCE instance) {
    return ::CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, box.left, box.top, box.width,
                             box.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

void Place(HWND hwnd, const Box& box) { ::MoveWindow(hwnd, box.left, box.top, box.width, box.height, TRUE); }

std::string TextOf(HWND hwnd) {
    int length = ::GetWindowTextLengthA(hwnd);
    if (length <= 0)
        return std::string();
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    int got = ::GetWindowTextA(hwnd, &text[0], length + 1);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

// The installer's own full file name, as the settings rule reads it.
std::string ModuleFileName() {
    char buffer[261] = {};
    DWORD length = ::GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    if (length >= sizeof buffer)
        length = sizeof buffer - 1;
    return std::string(buffer, length);
}

} // namespace

TFormInstallNivaxel::~TFormInstallNivaxel() {
    if (handle_ && ::IsWindow(handle_))
        ::DestroyWindow(handle_);
}

bool TFormInstallNivaxel::Create(HINSTANCE instance, int showCommand) {
    instance_ = instance;
    moduleFileName_ = ModuleFileName();
    HICON icon = ::LoadIconA(instance, "MAINICON");
    HCURSOR arrow = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));

    WNDCLASSEXA form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = FormProc;
    form.hInstance = instance;
    form.hIcon = icon;
    form.hIconSm = icon;
    form.hCursor = arrow;
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kFormClass;
    WNDCLASSEXA panel = form;
    panel.lpfnWndProc = PanelProc;
    panel.hIcon = panel.hIconSm = nullptr;
    panel.lpszClassName = kPanelClass;
    WNDCLASSEXA splitter = panel;
    splitter.lpfnWndProc = SplitterProc;
    splitter.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_SIZENS));
    splitter.lpszClassName = kSplitterClass;
    if (!::RegisterClassExA(&form) || !::RegisterClassExA(&panel) || !::RegisterClassExA(&splitter))
        return false;

    font_.reset(::CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma"));

    const DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT outer{0, 0, kClientWidth, kClientHeight};
    ::AdjustWindowRectEx(&outer, style, FALSE, 0);
    Box where = CentredOnScreen(::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN),
                                outer.right - outer.left, outer.bottom - outer.top);
    handle_ = ::CreateWindowExA(0, kFormClass, texts::kFormCaption, style, where.left, where.top, where.width,
                                where.height, nullptr, nullptr, instance, this);
    if (!handle_)
        return false;
    ::ShowWindow(handle_, showCommand);
    ::UpdateWindow(handle_);
    ::SetFocus(editNomServVESKA_);
    return true;
}

LRESULT CALLBACK TFormInstallNivaxel::FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lp);
        auto* self = static_cast<TFormInstallNivaxel*>(create->lpCreateParams);
        self->handle_ = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    TFormInstallNivaxel* self = FormOf(hwnd);
    if (!self)
        return ::DefWindowProcA(hwnd, msg, wp, lp);
    LRESULT result = self->HandleMessage(msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->handle_ = nullptr;
    }
    return result;
}

LRESULT TFormInstallNivaxel::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_CREATE:
        CreateControls();
        FormCreate();
        return 0;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED) {
            if (LOWORD(wp) == kIdButtonInstall)
                ButtonInstallClick();
            else if (LOWORD(wp) == kIdButtonAnnuler)
                ButtonAnnulerClick();
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
        // A read-only edit box asks as a static would; the text box stays white.
        if (reinterpret_cast<HWND>(lp) == memoInfo_) {
            HDC dc = reinterpret_cast<HDC>(wp);
            ::SetTextColor(dc, ::GetSysColor(COLOR_WINDOWTEXT));
            ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case WM_ACTIVATE:
        // Give the focus back to the control that had it, as a dialog does.
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND focus = ::GetFocus();
            if (focus && ::IsChild(handle_, focus))
                lastFocus_ = focus;
        } else {
            ::SetFocus(lastFocus_ && ::IsWindow(lastFocus_) ? lastFocus_ : editNomServVESKA_);
        }
        return 0;
    case WM_CLOSE:
        ::DestroyWindow(handle_);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return ::DefWindowProcA(handle_, msg, wp, lp);
}

void TFormInstallNivaxel::CreateControls() {
    panelHeight_ = kPanelHeight;
    FormLayout layout = ComputeLayout(kClientWidth, kClientHeight, panelHeight_);
    // Creation order is the tab order: the panel (tab order 0) with the edit
    // box and the two buttons, then the information text (tab order 1).
    panelBas_ = Child(handle_, WS_EX_CONTROLPARENT, kPanelClass, "", WS_CLIPSIBLINGS, layout.panel, kIdPanelBas,
                      instance_);
    // One line, as the form's label: never wrapped, clipped if a font runs wider.
    label1_ = Child(panelBas_, 0, "STATIC", texts::kLabelServerName, SS_LEFTNOWORDWRAP, kLabelBox, kIdLabel1,
                    instance_);
    editNomServVESKA_ = Child(panelBas_, WS_EX_CLIENTEDGE, "EDIT", "", WS_TABSTOP | ES_AUTOHSCROLL, kEditBox,
                              kIdEditNomServVESKA, instance_);
    buttonInstall_ = Child(panelBas_, 0, "BUTTON", texts::kButtonInstall, WS_TABSTOP | BS_DEFPUSHBUTTON,
                           kInstallButtonBox, kIdButtonInstall, instance_);
    buttonAnnuler_ = Child(panelBas_, 0, "BUTTON", texts::kButtonCancel, WS_TABSTOP | BS_PUSHBUTTON,
                           kCancelButtonBox, kIdButtonAnnuler, instance_);
    memoInfo_ = Child(handle_, WS_EX_CLIENTEDGE, "EDIT", "",
                      WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, layout.memo, kIdMemoInfo, instance_);
    splitter1_ = Child(handle_, 0, kSplitterClass, "", 0, layout.splitter, kIdSplitter1, instance_);
    for (HWND control : {panelBas_, label1_, editNomServVESKA_, buttonInstall_, buttonAnnuler_, memoInfo_})
        ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    lastFocus_ = editNomServVESKA_;
}

void TFormInstallNivaxel::Layout() {
    RECT client{};
    ::GetClientRect(handle_, &client);
    FormLayout layout = ComputeLayout(client.right, client.bottom, panelHeight_);
    Place(panelBas_, layout.panel);
    Place(splitter1_, layout.splitter);
    Place(memoInfo_, layout.memo);
}

void TFormInstallNivaxel::SetPanelHeight(int height) {
    if (height == panelHeight_)
        return;
    panelHeight_ = height;
    Layout();
}

bool TFormInstallNivaxel::PreTranslateMessage(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || !handle_ || (msg.hwnd != handle_ && !::IsChild(handle_, msg.hwnd)))
        return false;
    if (msg.wParam != VK_TAB && msg.wParam != VK_RETURN && msg.wParam != VK_ESCAPE)
        return false;
    // The control that has the key decides first, as in a dialog: the
    // multi-line text box keeps Enter and Escape, nothing here keeps Tab.
    LRESULT wants = ::SendMessageA(msg.hwnd, WM_GETDLGCODE, msg.wParam, reinterpret_cast<LPARAM>(&msg));
    if (msg.wParam == VK_TAB) {
        if (wants & DLGC_WANTTAB)
            return false;
        HWND next = ::GetNextDlgTabItem(handle_, msg.hwnd, ::GetKeyState(VK_SHIFT) < 0);
        if (next) {
            ::SetFocus(next);
            if (::SendMessageA(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
                ::SendMessageA(next, EM_SETSEL, 0, -1);
        }
        return true;
    }
    if (wants & DLGC_WANTALLKEYS)
        return false;
    // Enter presses the focused button, else the default one; Escape the cancel one.
    HWND button = buttonAnnuler_;
    if (msg.wParam == VK_RETURN)
        button = msg.hwnd == buttonAnnuler_ || msg.hwnd == buttonInstall_ ? msg.hwnd : buttonInstall_;
    if (::IsWindowEnabled(button) && ::IsWindowVisible(button))
        ::SendMessageA(handle_, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(button), BN_CLICKED),
                       reinterpret_cast<LPARAM>(button));
    return true;
}

void TFormInstallNivaxel::FormCreate() {
    serverName_ = ReadInstallSettings(moduleFileName_);
    ::SetWindowTextA(editNomServVESKA_, serverName_.c_str());
    ::SetWindowTextA(memoInfo_, InfoText().c_str());
}

void TFormInstallNivaxel::ButtonInstallClick() {
    InstallContext context{*this};
    RunInstallSequence(context, TextOf(editNomServVESKA_), serverName_);
}

void TFormInstallNivaxel::ButtonAnnulerClick() { Close(); }

void TFormInstallNivaxel::ShowMessage(const std::string& text) {
    ::MessageBoxA(handle_, text.c_str(), ApplicationTitle(moduleFileName_).c_str(), MB_OK);
}

void TFormInstallNivaxel::CloseMainWindow() { Close(); }

// Posted, so that a handler that asks for the close returns before the window goes.
void TFormInstallNivaxel::Close() {
    if (handle_)
        ::PostMessageA(handle_, WM_CLOSE, 0, 0);
}

} // namespace nv
