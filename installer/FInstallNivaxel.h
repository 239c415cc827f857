// The installer's one window, TFormInstallNivaxel: plain Win32 controls laid
// out as the form was designed (client area 476 x 161), with the keyboard of
// a dialog (Tab, Enter = "Install", Escape = "Annuler"). Windows only.
#pragma once

#include "common/Handles.h"
#include "installer/InstallSequence.h"

#include <windows.h>

#include <string>

namespace nv {

class TFormInstallNivaxel : public InstallWindow {
public:
    // Control identifiers, as the end-to-end tests see them.
    enum ControlId : int {
        kIdMemoInfo = 100,
        kIdPanelBas,
        kIdLabel1,
        kIdEditNomServVESKA,
        kIdButtonInstall,
        kIdButtonAnnuler,
        kIdSplitter1,
    };

    TFormInstallNivaxel() = default;
    ~TFormInstallNivaxel() override;
    TFormInstallNivaxel(const TFormInstallNivaxel&) = delete;
    TFormInstallNivaxel& operator=(const TFormInstallNivaxel&) = delete;

    // Creates and shows the window; FormCreate runs during the creation.
    bool Create(HINSTANCE instance, int showCommand);
    HWND Handle() const { return handle_; }
    // Called for every message of the loop before it is dispatched: true
    // when it was a dialog key (Tab, Enter, Escape) and was handled here.
    bool PreTranslateMessage(const MSG& msg);

    void FormCreate();
    void ButtonInstallClick();
    void ButtonAnnulerClick();

    // InstallWindow: the sequence's message boxes and the final close.
    void ShowMessage(const std::string& text) override;
    void CloseMainWindow() override;

    // The splitter's drag: the panel takes this height, the text box the rest.
    void SetPanelHeight(int height);
    int PanelHeight() const { return panelHeight_; }

private:
    static LRESULT CALLBACK FormProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    void Layout();
    void Close();

    HINSTANCE instance_ = nullptr;
    HWND handle_ = nullptr;
    HWND memoInfo_ = nullptr;
    HWND panelBas_ = nullptr;
    HWND label1_ = nullptr;
    HWND editNomServVESKA_ = nullptr;
    HWND buttonInstall_ = nullptr;
    HWND buttonAnnuler_ = nullptr;
    HWND splitter1_ = nullptr;
    HWND lastFocus_ = nullptr;
    UniqueGdiObject font_; // Tahoma, height -11, shared by every control
    int panelHeight_ = 0;
    std::string moduleFileName_;
    std::string serverName_; // set by FormCreate, replaced at each click on "Install"
};

} // namespace nv
