// The client's one window, TFormNivaxel: frameless, titled "Message
// d'alerte", hidden until the menu or an alert shows it. Its behaviour is
// NivaxelForm's; this class is the Win32 side that NivaxelForm drives.
#pragma once

#include "client/NivaxelForm.h"
#include "common/Handles.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

namespace nv {

// The notification record's size: NOTIFYICONDATAA up to guidItem, 488 bytes
// in the 32-bit program.
constexpr DWORD TailleEnregistrementIcone = NOTIFYICONDATAA_V2_SIZE;
static_assert(sizeof(void*) != 4 || TailleEnregistrementIcone == 488);

class TThreadNivaxel;

class TFormNivaxel final : public FormHost {
public:
    TFormNivaxel(HINSTANCE instance, Clock& clock);
    ~TFormNivaxel() override;
    TFormNivaxel(const TFormNivaxel&) = delete;
    TFormNivaxel& operator=(const TFormNivaxel&) = delete;

    // Creates the hidden window, owned by `owner`; FormCreate runs inside,
    // reading the settings with these command-line parameters. False when
    // the window could not be made.
    bool Create(HWND owner, std::vector<std::string> params);
    HWND Handle() const { return hwnd_; }
    NivaxelForm& Logic() { return logic_; }
    // Enter and Escape for the alert, Tab between controls; true when the
    // message was handled and must not be dispatched.
    bool PreTranslateMessage(MSG& msg);

    // FormHost
    bool IsVisible() override;
    void Show() override;
    void Hide() override;
    void Maximize() override;
    void Restore() override;
    void SetSize(int width, int height) override;
    int Width() override;
    int Height() override;
    void SetPosition(int left, int top) override;
    void SetTopmost(bool topmost) override;
    void BringToForeground() override;
    void CloseWindow() override;
    void ShowPanel(Panneau panel) override;
    void FitMenuPanel() override;
    void SetServerLabel(const std::string& text, bool missing) override;
    void SetCheckBoxQuitter(bool ticked) override;
    bool CheckBoxQuitterTicked() override;
    void SetAlertFields(const AlerteTexte& fields) override;
    void SetCheckBoxVu(bool ticked) override;
    bool CheckBoxVuTicked() override;
    void EnableButtonFermerAlerte(bool enabled) override;
    void ApplyAlertColours() override;
    void MovePanelAlerte(int left, int top) override;
    int PanelAlerteWidth() override;
    int PanelAlerteHeight() override;
    bool GetWorkArea(Rect& area) override;
    int ScreenWidth() override;
    int ScreenHeight() override;
    int AskUnload() override;
    bool NotifyIcon(DWORD operation, ImageIcone picture) override;
    void StartConnection(const std::string& serverName, std::uint16_t port) override;
    void SetAcknowledged(std::uint32_t numeroAlerte) override;
    void ReleaseAlertBlock(void* block) override;

private:
    void SetWindowLevel(bool topmost); // HWND_TOPMOST or HWND_NOTOPMOST, now
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND AddControl(const char* className, const char* text, DWORD style, HWND parent, int id,
                    int left, int top, int width, int height, HFONT font);
    HWND AddLabel(const char* text, HWND parent, int id, int left, int top, HFONT font);
    void SetLabelText(HWND label, const std::string& text);
    void OnCommand(int id, int code);
    LRESULT OnControlColour(HDC dc, HWND control);
    HICON IconFor(ImageIcone picture) const;

    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    NivaxelForm logic_;
    std::vector<std::string> params_;
    UINT taskbarCreated_ = 0;
    bool maximizePending_ = false; // maximised while hidden: shown maximised
    bool topmostPending_ = false;  // and put on top then, with its size
    bool alertColours_ = false;
    bool serverMissing_ = false;
    std::unique_ptr<NOTIFYICONDATAA> record_;
    TThreadNivaxel* connection_ = nullptr; // deliberately never freed

    // GDI objects, released with the window.
    UniqueGdiObject fontTahoma_, fontTahomaBold_, fontSans13Bold_, fontSans11Bold_,
        fontSans16Bold_;
    UniqueGdiObject brushSilver_, brushWhite_, brushYellow_, brushRed_;
    UniqueIcon iconConnecte_, iconDeconnecte_, iconAlerte_;

    // Controls.
    HWND imageConnecte_ = nullptr, imageDeconnecte_ = nullptr;
    HWND panelAlerte_ = nullptr, labelAlerte_ = nullptr, groupBoxEntete_ = nullptr;
    HWND label9_ = nullptr, labelNomAuteur_ = nullptr, label12_ = nullptr, labelDate_ = nullptr;
    HWND label14_ = nullptr, labelObjet_ = nullptr, image2_ = nullptr, memoAlerte_ = nullptr;
    HWND checkBoxVu_ = nullptr, buttonFermerAlerte_ = nullptr;
    HWND panelMenu_ = nullptr, label1_ = nullptr, label2_ = nullptr, labelServeur_ = nullptr;
    HWND checkBoxQuitter_ = nullptr, buttonFermer_ = nullptr, label3_ = nullptr;
};

} // namespace nv
