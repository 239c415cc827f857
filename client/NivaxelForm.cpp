#include "client/NivaxelForm.h"

#include "client/Textes.h"

namespace nv {

void NivaxelForm::FormCreate(const ClientSettings& settings) {
    settings_ = settings;
    if (settings_.serverName.empty())
        host_.SetServerLabel(textes::NomManquant, true);
    else
        host_.SetServerLabel(settings_.serverName, false);
    if (settings_.iconWanted) {
        hasIcon_ = true;
        picture_ = ImageIcone::Deconnecte;
        host_.NotifyIcon(NimAdd, picture_); // the result is not looked at
    }
    if (!settings_.serverName.empty())
        host_.StartConnection(settings_.serverName, settings_.port);
}

void NivaxelForm::FormShow() {
    Rect area;
    if (!host_.GetWorkArea(area))
        return;
    Point at = MenuPosition(area, host_.Width(), host_.Height());
    host_.SetPosition(at.x, at.y);
}

void NivaxelForm::FormCanResize() {
    host_.MovePanelAlerte(CentredOffset(host_.ScreenWidth(), host_.PanelAlerteWidth()),
                          CentredOffset(host_.ScreenHeight(), host_.PanelAlerteHeight()));
}

void NivaxelForm::FormClose() {
    if (!hasIcon_)
        return;
    hasIcon_ = false;
    host_.NotifyIcon(NimDelete, picture_);
}

void NivaxelForm::OnIconCallback(LPARAM mouseMessage) {
    // Without an icon nothing can have clicked it.
    if (!hasIcon_)
        return;
    if (mouseMessage == WM_LBUTTONDOWN || mouseMessage == WM_LBUTTONDBLCLK)
        OpenMenu();
}

void NivaxelForm::OpenMenu() {
    host_.ShowPanel(Panneau::Menu);
    host_.Restore();
    host_.SetSize(LargeurMenu, HauteurMenu);
    host_.FitMenuPanel();
    host_.SetTopmost(false);
    host_.SetCheckBoxQuitter(false);
    if (!host_.IsVisible()) {
        FormShow();
        host_.Show();
    }
    host_.BringToForeground();
    vue_ = Vue::Menu;
}

void NivaxelForm::OnAlertMessage(WPARAM length, LPARAM block) {
    ++alertesRecues_;
    if (static_cast<LONG_PTR>(length) <= 0 || block == 0)
        return;
    // The text read sets every field, the absent ones to empty: filling the
    // controls once both clears and fills them.
    void* memory = reinterpret_cast<void*>(block);
    host_.SetAlertFields(LitAlerteTexte(static_cast<const char*>(memory), length));
    host_.SetCheckBoxVu(false);
    host_.EnableButtonFermerAlerte(false);
    host_.ReleaseAlertBlock(memory);

    host_.ShowPanel(Panneau::Alerte);
    host_.Maximize();
    host_.EnableButtonFermerAlerte(false);
    buttonEnabled_ = false;
    host_.ApplyAlertColours();
    host_.SetTopmost(true);
    if (!host_.IsVisible()) {
        FormShow();
        host_.Show();
    }
    vue_ = Vue::Alerte;
}

void NivaxelForm::OnConnected() {
    picture_ = ImageIcone::Connecte;
    if (hasIcon_)
        host_.NotifyIcon(NimModify, picture_);
}

void NivaxelForm::OnDisconnected() {
    picture_ = ImageIcone::Deconnecte;
    if (hasIcon_)
        host_.NotifyIcon(NimModify, picture_);
}

void NivaxelForm::OnActivateApp(bool active) {
    if (!active && host_.IsVisible())
        HideWindow();
}

void NivaxelForm::OnTaskbarCreated() {
    // A restarted shell has forgotten the icon: add it again as it stands.
    if (hasIcon_)
        host_.NotifyIcon(NimAdd, picture_);
}

void NivaxelForm::CheckBoxVuClick() {
    buttonEnabled_ = host_.CheckBoxVuTicked();
    host_.EnableButtonFermerAlerte(buttonEnabled_);
}

void NivaxelForm::ButtonFermerAlerteClick() {
    if (!host_.CheckBoxVuTicked())
        return;
    host_.SetAcknowledged(alertesRecues_);
    HideWindow();
}

void NivaxelForm::ButtonFermerClick() {
    if (host_.CheckBoxQuitterTicked() && host_.AskUnload() == IdOui) {
        permission_.Grant();
        host_.CloseWindow();
        return;
    }
    HideWindow();
}

void NivaxelForm::OnDialogKey() {
    if (vue_ == Vue::Alerte && buttonEnabled_ && host_.IsVisible())
        ButtonFermerAlerteClick();
}

void NivaxelForm::HideWindow() {
    host_.Hide();
    vue_ = Vue::Cachee;
}

} // namespace nv
