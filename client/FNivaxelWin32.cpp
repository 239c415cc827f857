#include "client/FNivaxel.h"

#include "client/ClientResources.h"
#include "client/MessagePoster.h"
#include "client/Textes.h"
#include "client/UThreadNivaxel.h"

#include <cstring>
#include <new>

namespace nv {

namespace {

constexpr char ClasseFenetre[] = "TFormNivaxel";
constexpr char ClassePanneau[] = "TPanel";
constexpr char ClasseCadre[] = "TGroupBox";

constexpr COLORREF Argent = RGB(192, 192, 192);
constexpr COLORREF Blanc = RGB(255, 255, 255);
constexpr COLORREF JaunePale = RGB(255, 255, 136);
constexpr COLORREF Rouge = RGB(255, 0, 0);
constexpr COLORREF RougeSombre = RGB(102, 0, 0);
constexpr COLORREF Noir = RGB(0, 0, 0);

constexpr int LargeurConception = 555, HauteurConception = 445;

enum IdControle {
    IdImageConnecte = 100,
    IdImageDeconnecte,
    IdPanelAlerte = 110,
    IdLabelAlerte,
    IdGroupBoxEnteteAlerte,
    IdLabel9,
    IdLabelNomAuteurAlerte,
    IdLabel12,
    IdLabelDateAlerte,
    IdLabel14,
    IdLabelObjetAlerte,
    IdImage2,
    IdMemoAlerte,
    IdCheckBoxVu,
    IdButtonFermerAlerte,
    IdPanelMenu = 130,
    IdLabel1,
    IdLabel2,
    IdLabelServeur,
    IdCheckBoxQuitter,
    IdButtonFermer,
    IdLabel3,
};

HFONT MakeFont(int height, bool bold, const char* face) {
    return ::CreateFontA(-height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                         DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                         DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

HFONT AsFont(const UniqueGdiObject& font) { return static_cast<HFONT>(font.get()); }
HBRUSH AsBrush(const UniqueGdiObject& brush) { return static_cast<HBRUSH>(brush.get()); }

// Panels and the header frame: they paint themselves and hand their
// children's notifications and colour questions to the window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        return ::SendMessageA(::GetAncestor(hwnd, GA_ROOT), message, wParam, lParam);
    case WM_ERASEBKGND: {
        RECT rc;
        ::GetClientRect(hwnd, &rc);
        auto brush = reinterpret_cast<HBRUSH>(::SendMessageA(
            ::GetAncestor(hwnd, GA_ROOT), WM_CTLCOLORSTATIC, wParam, reinterpret_cast<LPARAM>(hwnd)));
        ::FillRect(reinterpret_cast<HDC>(wParam), &rc, brush);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = ::BeginPaint(hwnd, &ps);
        if (::GetDlgCtrlID(hwnd) == IdPanelAlerte) {
            // Shape1: the white rounded card behind the alert.
            HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(BLACK_PEN));
            HGDIOBJ oldBrush = ::SelectObject(dc, ::GetStockObject(WHITE_BRUSH));
            const int w = 489, h = 276, corner = (w < h ? w : h) / 4;
            ::RoundRect(dc, 20, 22, 20 + w, 22 + h, corner, corner);
            ::SelectObject(dc, oldBrush);
            ::SelectObject(dc, oldPen);
        } else if (::GetDlgCtrlID(hwnd) == IdGroupBoxEnteteAlerte) {
            RECT rc;
            ::GetClientRect(hwnd, &rc);
            rc.top += 6; // where a caption's middle would be
            ::DrawEdge(dc, &rc, EDGE_ETCHED, BF_RECT);
        }
        ::EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_CLOSE:
        return 0; // a multi-line edit asks its parent to close on Escape
    default:
        return ::DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

bool RegisterClasses(HINSTANCE instance) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PanelProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = ClassePanneau;
    if (!::RegisterClassA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    wc.lpszClassName = ClasseCadre;
    if (!::RegisterClassA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    return true;
}

} // namespace

TFormNivaxel::TFormNivaxel(HINSTANCE instance, Clock& clock)
    : instance_(instance), logic_(*this, clock) {}

TFormNivaxel::~TFormNivaxel() {
    if (hwnd_ != nullptr)
        ::DestroyWindow(hwnd_);
}

bool TFormNivaxel::Create(HWND owner, std::vector<std::string> params) {
    params_ = std::move(params);
    if (!RegisterClasses(instance_))
        return false;
    WNDCLASSA wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance_;
    wc.hIcon = ::LoadIconA(instance_, "MAINICON");
    wc.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = ClasseFenetre;
    if (!::RegisterClassA(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return false;
    taskbarCreated_ = ::RegisterWindowMessageA("TaskbarCreated");
    // Frameless from the start: no caption, no title-bar icons, no border.
    HWND hwnd = ::CreateWindowExA(WS_EX_CONTROLPARENT, ClasseFenetre, textes::TitreFenetre,
                                  WS_POPUP | WS_CLIPCHILDREN, 0, 0, LargeurConception,
                                  HauteurConception, owner, nullptr, instance_, this);
    return hwnd != nullptr;
}

LRESULT CALLBACK TFormNivaxel::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
    TFormNivaxel* self;
    if (message == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        self = static_cast<TFormNivaxel*>(cs->lpCreateParams);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<TFormNivaxel*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    }
    if (self == nullptr)
        return ::DefWindowProcA(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        return ::DefWindowProcA(hwnd, message, wParam, lParam);
    }
    return self->Handle(message, wParam, lParam);
}

LRESULT TFormNivaxel::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls();
        logic_.FormCreate(ReadClientSettings(params_));
        return 0;
    case WM_ICONE_NIVAXEL:
        logic_.OnIconCallback(lParam);
        return 0;
    case kMessageAlerte:
        logic_.OnAlertMessage(wParam, lParam);
        return 0;
    case kMessageConnecte:
        logic_.OnConnected();
        return 0;
    case kMessageDeconnecte:
        logic_.OnDisconnected();
        return 0;
    case WM_ENDSESSION:
        logic_.OnEndSession();
        return 0;
    case WM_QUERYENDSESSION:
        return logic_.OnQueryEndSession() ? TRUE : FALSE;
    case WM_CLOSE:
        if (logic_.FormCloseQuery()) {
            logic_.FormClose();
            ::DestroyWindow(hwnd_);
        }
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0); // the main window: its end is the program's
        return 0;
    case WM_ACTIVATEAPP:
        logic_.OnActivateApp(wParam != FALSE);
        return 0;
    case WM_WINDOWPOSCHANGING: {
        auto* pos = reinterpret_cast<WINDOWPOS*>(lParam);
        if (::IsZoomed(hwnd_) && (pos->flags & (SWP_NOSIZE | SWP_NOMOVE)) == 0) {
            // Maximised, the window covers the screen whoever moves it (a
            // display server without window manager sends it back otherwise).
            pos->x = 0;
            pos->y = 0;
            pos->cx = ScreenWidth();
            pos->cy = ScreenHeight();
        }
        if (!(pos->flags & SWP_NOSIZE))
            logic_.FormCanResize();
        break;
    }
    case WM_GETMINMAXINFO: {
        // Maximised, the frameless window covers the whole screen.
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMaxPosition = POINT{0, 0};
        info->ptMaxSize = POINT{ScreenWidth(), ScreenHeight()};
        return 0;
    }
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT:
        return OnControlColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_ERASEBKGND: {
        RECT rc;
        ::GetClientRect(hwnd_, &rc);
        ::FillRect(reinterpret_cast<HDC>(wParam), &rc,
                   alertColours_ ? AsBrush(brushSilver_) : ::GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    default:
        if (taskbarCreated_ != 0 && message == taskbarCreated_) {
            logic_.OnTaskbarCreated();
            return 0;
        }
        break;
    }
    return ::DefWindowProcA(hwnd_, message, wParam, lParam);
}

void TFormNivaxel::OnCommand(int id, int code) {
    switch (id) {
    case IDOK:
    case IDCANCEL:
        logic_.OnDialogKey();
        break;
    case IdCheckBoxVu:
        if (code == BN_CLICKED)
            logic_.CheckBoxVuClick();
        break;
    case IdButtonFermerAlerte:
        if (code == BN_CLICKED)
            logic_.ButtonFermerAlerteClick();
        break;
    case IdButtonFermer:
        if (code == BN_CLICKED)
            logic_.ButtonFermerClick();
        break;
    default:
        break;
    }
}

LRESULT TFormNivaxel::OnControlColour(HDC dc, HWND control) {
    COLORREF back = ::GetSysColor(COLOR_BTNFACE);
    HBRUSH brush = ::GetSysColorBrush(COLOR_BTNFACE);
    COLORREF text = ::GetSysColor(COLOR_WINDOWTEXT);
    HWND parent = ::GetParent(control);
    if (control == panelMenu_ || parent == panelMenu_) {
        back = JaunePale;
        brush = AsBrush(brushYellow_);
        if (control == labelServeur_ && serverMissing_) {
            back = Rouge;
            brush = AsBrush(brushRed_);
        }
    } else if (control == panelAlerte_) {
        if (alertColours_) {
            back = Argent;
            brush = AsBrush(brushSilver_);
        }
    } else if (control == groupBoxEntete_ || parent == groupBoxEntete_ ||
               control == labelAlerte_ || control == memoAlerte_ || control == checkBoxVu_) {
        back = Blanc;
        brush = AsBrush(brushWhite_);
        if (control == labelAlerte_) { // the system's window colour, not a fixed white
            back = ::GetSysColor(COLOR_WINDOW);
            brush = ::GetSysColorBrush(COLOR_WINDOW);
        }
        if (alertColours_ &&
            (control == labelObjet_ || control == memoAlerte_ || control == labelAlerte_))
            text = RougeSombre;
    }
    ::SetBkColor(dc, back);
    ::SetTextColor(dc, text);
    return reinterpret_cast<LRESULT>(brush);
}

HWND TFormNivaxel::AddControl(const char* className, const char* text, DWORD style, HWND parent,
                              int id, int left, int top, int width, int height, HFONT font) {
    DWORD exStyle = 0;
    if (std::strcmp(className, "EDIT") == 0)
        exStyle = WS_EX_CLIENTEDGE;
    else if (std::strcmp(className, ClassePanneau) == 0 || std::strcmp(className, ClasseCadre) == 0)
        exStyle = WS_EX_CONTROLPARENT;
    HWND control = ::CreateWindowExA(exStyle, className, text, WS_CHILD | style, left, top, width,
                                     height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                     instance_, nullptr);
    if (control != nullptr && font != nullptr)
        ::SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

HWND TFormNivaxel::AddLabel(const char* text, HWND parent, int id, int left, int top,
                            HFONT font) {
    HWND label = AddControl("STATIC", "", WS_VISIBLE | SS_LEFT | SS_NOPREFIX, parent, id, left,
                            top, 0, 0, font);
    SetLabelText(label, text);
    return label;
}

// Labels size themselves to their text, as the toolkit's do.
void TFormNivaxel::SetLabelText(HWND label, const std::string& text) {
    if (label == nullptr)
        return;
    ::SetWindowTextA(label, text.c_str());
    HDC dc = ::GetDC(label);
    if (dc == nullptr)
        return;
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICA tm{};
    ::GetTextMetricsA(dc, &tm);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    ::SetWindowPos(label, nullptr, 0, 0, size.cx, tm.tmHeight,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(label, nullptr, TRUE);
}

void TFormNivaxel::CreateControls() {
    fontTahoma_.reset(MakeFont(11, false, "Tahoma"));
    fontTahomaBold_.reset(MakeFont(11, true, "Tahoma"));
    fontSans13Bold_.reset(MakeFont(13, true, "MS Sans Serif"));
    fontSans11Bold_.reset(MakeFont(11, true, "MS Sans Serif"));
    fontSans16Bold_.reset(MakeFont(16, true, "MS Sans Serif"));
    brushSilver_.reset(::CreateSolidBrush(Argent));
    brushWhite_.reset(::CreateSolidBrush(Blanc));
    brushYellow_.reset(::CreateSolidBrush(JaunePale));
    brushRed_.reset(::CreateSolidBrush(Rouge));
    auto loadIcon = [this](int id) {
        return static_cast<HICON>(
            ::LoadImageA(instance_, MAKEINTRESOURCEA(id), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    };
    iconConnecte_.reset(loadIcon(ICONE_CONNECTE));
    iconDeconnecte_.reset(loadIcon(ICONE_DECONNECTE));
    iconAlerte_.reset(loadIcon(ICONE_ALERTE));
    ::SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(AsFont(fontTahoma_)), FALSE);

    const HFONT tahoma = AsFont(fontTahoma_);
    // Pictures kept by the window; never shown.
    imageConnecte_ = AddControl("STATIC", "", SS_ICON, hwnd_, IdImageConnecte, 275, 350, 32, 32,
                                nullptr);
    ::SendMessageA(imageConnecte_, STM_SETICON, reinterpret_cast<WPARAM>(iconConnecte_.get()), 0);
    imageDeconnecte_ = AddControl("STATIC", "", SS_ICON, hwnd_, IdImageDeconnecte, 313, 350, 32,
                                  32, nullptr);
    ::SendMessageA(imageDeconnecte_, STM_SETICON,
                   reinterpret_cast<WPARAM>(iconDeconnecte_.get()), 0);

    // The alert panel.
    panelAlerte_ = AddControl(ClassePanneau, "", WS_VISIBLE | WS_CLIPCHILDREN, hwnd_,
                              IdPanelAlerte, 8, 35, 537, 314, tahoma);
    labelAlerte_ = AddLabel(textes::Alerte, panelAlerte_, IdLabelAlerte, 235, 36,
                            AsFont(fontSans13Bold_));
    groupBoxEntete_ = AddControl(ClasseCadre, "", WS_VISIBLE | WS_CLIPCHILDREN, panelAlerte_,
                                 IdGroupBoxEnteteAlerte, 56, 51, 421, 49, tahoma);
    label9_ = AddLabel(textes::EnvoyePar, groupBoxEntete_, IdLabel9, 8, 12, tahoma);
    labelNomAuteur_ = AddLabel(textes::Inconnu, groupBoxEntete_, IdLabelNomAuteurAlerte, 67, 12,
                               AsFont(fontSans11Bold_));
    label12_ = AddLabel(textes::Le, groupBoxEntete_, IdLabel12, 226, 12, tahoma);
    labelDate_ = AddLabel(textes::Inconnu, groupBoxEntete_, IdLabelDateAlerte, 242, 12,
                          AsFont(fontSans11Bold_));
    label14_ = AddLabel(textes::Objet, groupBoxEntete_, IdLabel14, 8, 28, tahoma);
    labelObjet_ = AddLabel(textes::Inconnu, groupBoxEntete_, IdLabelObjetAlerte, 40, 28,
                           AsFont(fontSans11Bold_));
    image2_ = AddControl("STATIC", "", WS_VISIBLE | SS_ICON, groupBoxEntete_, IdImage2, 381, 11,
                         32, 32, nullptr);
    ::SendMessageA(image2_, STM_SETICON, reinterpret_cast<WPARAM>(iconAlerte_.get()), 0);
    memoAlerte_ = AddControl("EDIT", "",
                             WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                                 ES_AUTOVSCROLL,
                             panelAlerte_, IdMemoAlerte, 56, 109, 421, 123,
                             AsFont(fontSans16Bold_));
    checkBoxVu_ = AddControl("BUTTON", textes::PrisConnaissance,
                             WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, panelAlerte_, IdCheckBoxVu,
                             174, 238, 217, 17, tahoma);
    buttonFermerAlerte_ = AddControl("BUTTON", textes::Fermer,
                                     WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_DEFPUSHBUTTON,
                                     panelAlerte_, IdButtonFermerAlerte, 235, 261, 75, 25, tahoma);

    // The menu panel.
    panelMenu_ = AddControl(ClassePanneau, "", WS_VISIBLE | WS_CLIPCHILDREN, hwnd_, IdPanelMenu,
                            31, 339, LargeurMenu, HauteurMenu, tahoma);
    label1_ = AddLabel(textes::Nivaxel, panelMenu_, IdLabel1, 47, 6, AsFont(fontTahomaBold_));
    label2_ = AddLabel(textes::Serveur, panelMenu_, IdLabel2, 18, 30, tahoma);
    labelServeur_ = AddLabel("", panelMenu_, IdLabelServeur, 67, 30, tahoma);
    checkBoxQuitter_ = AddControl("BUTTON", textes::Decharger,
                                  WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, panelMenu_,
                                  IdCheckBoxQuitter, 18, 52, 150, 17, tahoma);
    buttonFermer_ = AddControl("BUTTON", textes::Fermer, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                               panelMenu_, IdButtonFermer, 57, 75, 75, 25, tahoma);
    label3_ = AddLabel(textes::Version, panelMenu_, IdLabel3, 8, 80, tahoma);
}

bool TFormNivaxel::PreTranslateMessage(MSG& msg) {
    if (hwnd_ == nullptr)
        return false;
    if (msg.hwnd != hwnd_ && !::IsChild(hwnd_, msg.hwnd))
        return false;
    if (msg.message == WM_KEYDOWN && (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) &&
        logic_.CurrentView() == Vue::Alerte) {
        logic_.OnDialogKey(); // nothing while ButtonFermerAlerte is disabled
        return true;
    }
    return ::IsDialogMessageA(hwnd_, &msg) != FALSE;
}

bool TFormNivaxel::IsVisible() { return ::IsWindowVisible(hwnd_) != FALSE; }

void TFormNivaxel::Show() {
    if (maximizePending_) {
        // Already at full size and level while hidden, in one change, so
        // that the display server never shows the window at its normal size
        // first and rewrites its state as few times as it can.
        ::SetWindowPos(hwnd_, topmostPending_ ? HWND_TOPMOST : nullptr, 0, 0, ScreenWidth(),
                       ScreenHeight(), (topmostPending_ ? 0 : SWP_NOZORDER) | SWP_NOACTIVATE);
        ::ShowWindow(hwnd_, SW_SHOWMAXIMIZED);
    } else {
        ::ShowWindow(hwnd_, SW_SHOWNORMAL);
    }
    maximizePending_ = false;
    topmostPending_ = false;
}

void TFormNivaxel::Hide() { ::ShowWindow(hwnd_, SW_HIDE); }

void TFormNivaxel::Maximize() {
    if (IsVisible())
        ::ShowWindow(hwnd_, SW_MAXIMIZE);
    else
        maximizePending_ = true; // ShowWindow would show it now
}

void TFormNivaxel::Restore() {
    if (topmostPending_)
        SetWindowLevel(true);
    maximizePending_ = false;
    topmostPending_ = false;
    if (!::IsZoomed(hwnd_))
        return;
    if (IsVisible()) {
        ::ShowWindow(hwnd_, SW_RESTORE);
        return;
    }
    // Hidden but still maximised: leave that state without showing the
    // window, back at its normal rectangle.
    WINDOWPLACEMENT wp{};
    wp.length = sizeof wp;
    ::GetWindowPlacement(hwnd_, &wp);
    ::SetWindowLongPtrA(hwnd_, GWL_STYLE, ::GetWindowLongPtrA(hwnd_, GWL_STYLE) & ~WS_MAXIMIZE);
    const RECT& r = wp.rcNormalPosition;
    ::SetWindowPos(hwnd_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

void TFormNivaxel::SetSize(int width, int height) {
    ::SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int TFormNivaxel::Width() {
    RECT rc{};
    ::GetWindowRect(hwnd_, &rc);
    return rc.right - rc.left;
}

int TFormNivaxel::Height() {
    RECT rc{};
    ::GetWindowRect(hwnd_, &rc);
    return rc.bottom - rc.top;
}

void TFormNivaxel::SetPosition(int left, int top) {
    // Showing a pending maximised window puts it at 0,0 first: moving it now
    // would only be one more change of the hidden window.
    if (maximizePending_)
        return;
    ::SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFormNivaxel::SetTopmost(bool topmost) {
    // A pending maximised window takes its level when shown, with its size.
    topmostPending_ = topmost && maximizePending_;
    if (!topmostPending_)
        SetWindowLevel(topmost);
}

void TFormNivaxel::SetWindowLevel(bool topmost) {
    ::SetWindowPos(hwnd_, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TFormNivaxel::BringToForeground() { ::SetForegroundWindow(hwnd_); }

void TFormNivaxel::CloseWindow() {
    // Posted, so that the window is not destroyed under the click that asks it.
    ::PostMessageA(hwnd_, WM_CLOSE, 0, 0);
}

void TFormNivaxel::ShowPanel(Panneau panel) {
    ::ShowWindow(panel == Panneau::Menu ? panelAlerte_ : panelMenu_, SW_HIDE);
    ::ShowWindow(panel == Panneau::Menu ? panelMenu_ : panelAlerte_, SW_SHOW);
}

void TFormNivaxel::FitMenuPanel() {
    RECT rc{};
    ::GetClientRect(hwnd_, &rc);
    ::SetWindowPos(panelMenu_, nullptr, 0, 0, rc.right, rc.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFormNivaxel::SetServerLabel(const std::string& text, bool missing) {
    serverMissing_ = missing;
    SetLabelText(labelServeur_, text);
}

void TFormNivaxel::SetCheckBoxQuitter(bool ticked) {
    ::SendMessageA(checkBoxQuitter_, BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TFormNivaxel::CheckBoxQuitterTicked() {
    return ::SendMessageA(checkBoxQuitter_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TFormNivaxel::SetAlertFields(const AlerteTexte& fields) {
    SetLabelText(labelNomAuteur_, fields.Auteur);
    SetLabelText(labelDate_, fields.Date);
    SetLabelText(labelObjet_, fields.Sujet);
    std::string body;
    for (std::size_t i = 0; i < fields.Lignes.size(); ++i) {
        if (i != 0)
            body += "\r\n";
        body += fields.Lignes[i];
    }
    ::SetWindowTextA(memoAlerte_, body.c_str());
}

void TFormNivaxel::SetCheckBoxVu(bool ticked) {
    ::SendMessageA(checkBoxVu_, BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TFormNivaxel::CheckBoxVuTicked() {
    return ::SendMessageA(checkBoxVu_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TFormNivaxel::EnableButtonFermerAlerte(bool enabled) {
    ::EnableWindow(buttonFermerAlerte_, enabled ? TRUE : FALSE);
}

void TFormNivaxel::ApplyAlertColours() {
    alertColours_ = true;
    ::InvalidateRect(hwnd_, nullptr, TRUE);
    ::RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TFormNivaxel::MovePanelAlerte(int left, int top) {
    if (panelAlerte_ != nullptr)
        ::SetWindowPos(panelAlerte_, nullptr, left, top, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int TFormNivaxel::PanelAlerteWidth() {
    RECT rc{};
    ::GetWindowRect(panelAlerte_, &rc);
    return rc.right - rc.left;
}

int TFormNivaxel::PanelAlerteHeight() {
    RECT rc{};
    ::GetWindowRect(panelAlerte_, &rc);
    return rc.bottom - rc.top;
}

bool TFormNivaxel::GetWorkArea(Rect& area) {
    RECT rc{};
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rc, 0))
        return false;
    area = Rect{rc.left, rc.top, rc.right, rc.bottom};
    return true;
}

int TFormNivaxel::ScreenWidth() { return ::GetSystemMetrics(SM_CXSCREEN); }
int TFormNivaxel::ScreenHeight() { return ::GetSystemMetrics(SM_CYSCREEN); }

int TFormNivaxel::AskUnload() {
    return ::MessageBoxA(hwnd_, textes::QuestionDecharger, textes::Attention,
                         MB_YESNO | MB_DEFBUTTON2);
}

HICON TFormNivaxel::IconFor(ImageIcone picture) const {
    return static_cast<HICON>(picture == ImageIcone::Connecte ? iconConnecte_.get()
                                                                : iconDeconnecte_.get());
}

bool TFormNivaxel::NotifyIcon(DWORD operation, ImageIcone picture) {
    if (!record_) {
        if (operation != NimAdd)
            return false;
        record_ = std::make_unique<NOTIFYICONDATAA>();
        std::memset(record_.get(), 0, sizeof(NOTIFYICONDATAA));
        record_->cbSize = TailleEnregistrementIcone;
        record_->hWnd = hwnd_;
        record_->uID = 1;
        record_->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        record_->uCallbackMessage = WM_ICONE_NIVAXEL;
        std::memcpy(record_->szTip, textes::InfoBulle, sizeof textes::InfoBulle);
    }
    record_->hIcon = IconFor(picture);
    const bool ok = ::Shell_NotifyIconA(operation, record_.get()) != FALSE;
    if (operation == NimDelete)
        record_.reset(); // the shell keeps no pointer into it
    return ok;
}

namespace {
// The end-to-end fault tests shorten the keep-alive and the read limit
// through the environment instead of waiting minutes; unset in real use.
DWORD MillisecondesDeTest(const char* nom, DWORD sinon) {
    char texte[16];
    const DWORD n = ::GetEnvironmentVariableA(nom, texte, sizeof texte);
    if (n == 0 || n >= sizeof texte)
        return sinon;
    DWORD v = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (texte[i] < '0' || texte[i] > '9' || v > 100000000)
            return sinon;
        v = v * 10 + static_cast<DWORD>(texte[i] - '0');
    }
    return v > 0 ? v : sinon;
}
} // namespace

void TFormNivaxel::StartConnection(const std::string& serverName, std::uint16_t port) {
    OptionsThread options;
    options.intervalleSondeMs = MillisecondesDeTest("NIVAXEL_TEST_SONDE_MS", kIntervalleSondeMs);
    options.limiteLectureMs = static_cast<int>(
        MillisecondesDeTest("NIVAXEL_TEST_LECTURE_MS", static_cast<DWORD>(kLimiteLectureMs)));
    // Never stopped, awaited nor freed: the thread ends with the process.
    connection_ = new (std::nothrow) TThreadNivaxel(serverName, port, hwnd_, options);
}

void TFormNivaxel::SetAcknowledged(std::uint32_t numeroAlerte) {
    DrapeauxProcessus().Acquitte(numeroAlerte);
}

void TFormNivaxel::ReleaseAlertBlock(void* block) {
    LibereBlocAlerte(reinterpret_cast<LPARAM>(block));
}

} // namespace nv
