// The behaviour of the client's one window, with the window itself behind
// FormHost: the three views (hidden, menu, alert), the alert fields, the
// notification icon's life, the close permission and the connection start.
// TFormNivaxel (FNivaxel.h) is the Win32 host; tests use a recording one.
#pragma once

#include "client/AlerteTexte.h"
#include "client/ClientState.h"
#include "common/Clock.h"
#include "common/WinTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace nv {

constexpr UINT WM_ICONE_NIVAXEL = WM_USER + 1; // notification icon callback
constexpr int LargeurMenu = 200;
constexpr int HauteurMenu = 110;
constexpr int IdOui = 6; // IDYES
constexpr DWORD NimAdd = 0, NimModify = 1, NimDelete = 2;

enum class Vue { Cachee, Menu, Alerte };
enum class ImageIcone { Deconnecte, Connecte };
enum class Panneau { Menu, Alerte };

class FormHost {
public:
    virtual ~FormHost() = default;

    // The window as a whole.
    virtual bool IsVisible() = 0;
    virtual void Show() = 0; // from hidden: placement already done by FormShow
    virtual void Hide() = 0;
    virtual void Maximize() = 0;
    virtual void Restore() = 0;
    virtual void SetSize(int width, int height) = 0;
    virtual int Width() = 0;
    virtual int Height() = 0;
    virtual void SetPosition(int left, int top) = 0;
    virtual void SetTopmost(bool topmost) = 0;
    virtual void BringToForeground() = 0;
    virtual void CloseWindow() = 0; // a close request, which meets FormCloseQuery

    // Panels and controls.
    virtual void ShowPanel(Panneau panel) = 0; // the other one is hidden
    virtual void FitMenuPanel() = 0;
    virtual void SetServerLabel(const std::string& text, bool missing) = 0;
    virtual void SetCheckBoxQuitter(bool ticked) = 0;
    virtual bool CheckBoxQuitterTicked() = 0;
    virtual void SetAlertFields(const AlerteTexte& fields) = 0;
    virtual void SetCheckBoxVu(bool ticked) = 0;
    virtual bool CheckBoxVuTicked() = 0;
    virtual void EnableButtonFermerAlerte(bool enabled) = 0;
    virtual void ApplyAlertColours() = 0; // dark red texts, silver backgrounds, white check box
    virtual void MovePanelAlerte(int left, int top) = 0;
    virtual int PanelAlerteWidth() = 0;
    virtual int PanelAlerteHeight() = 0;

    // Windows around the window.
    virtual bool GetWorkArea(Rect& area) = 0;
    virtual int ScreenWidth() = 0;
    virtual int ScreenHeight() = 0;
    virtual int AskUnload() = 0; // the "Attention" question; IdOui for yes
    virtual bool NotifyIcon(DWORD operation, ImageIcone picture) = 0;

    // The other thread and the alert's heap block.
    virtual void StartConnection(const std::string& serverName, std::uint16_t port) = 0;
    // numeroAlerte: how many alert messages the window had received.
    virtual void SetAcknowledged(std::uint32_t numeroAlerte) = 0;
    virtual void ReleaseAlertBlock(void* block) = 0;
};

class NivaxelForm {
public:
    NivaxelForm(FormHost& host, Clock& clock) : host_(host), permission_(clock) {}

    // Start-up: settings, server label, icon, connection thread.
    void FormCreate(const ClientSettings& settings);
    void FormShow();
    void FormCanResize();
    bool FormCloseQuery() { return permission_.Check(); }
    void FormClose();

    void OnIconCallback(LPARAM mouseMessage);
    void OnAlertMessage(WPARAM length, LPARAM block);
    void OnConnected();
    void OnDisconnected();
    void OnEndSession() { permission_.Grant(); }
    bool OnQueryEndSession() { return permission_.Check(); }
    void OnActivateApp(bool active);
    void OnTaskbarCreated();

    void CheckBoxVuClick();
    void ButtonFermerAlerteClick();
    void ButtonFermerClick();
    // Enter or Escape: they press ButtonFermerAlerte only while it can be pressed.
    void OnDialogKey();

    Vue CurrentView() const { return vue_; }
    bool HasIcon() const { return hasIcon_; }
    ImageIcone IconPicture() const { return picture_; }
    const ClientSettings& Settings() const { return settings_; }
    ClosePermission& Permission() { return permission_; }

private:
    void OpenMenu();
    void HideWindow();

    FormHost& host_;
    ClosePermission permission_;
    ClientSettings settings_;
    Vue vue_ = Vue::Cachee;
    bool hasIcon_ = false; // the notification record exists
    ImageIcone picture_ = ImageIcone::Deconnecte;
    bool buttonEnabled_ = false;
    std::uint32_t alertesRecues_ = 0; // every alert message, empty ones too, as the thread counts
};

} // namespace nv
