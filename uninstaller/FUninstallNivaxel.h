// The uninstaller's one window (Windows only): a label and two buttons.
#pragma once

#include "common/Handles.h"
#include "uninstaller/UninstallSequence.h"

#include <windows.h>

namespace nv {

class TFormUninstallNivaxel final : public UninstallHost {
  public:
    TFormUninstallNivaxel() = default;
    TFormUninstallNivaxel(const TFormUninstallNivaxel&) = delete;
    TFormUninstallNivaxel& operator=(const TFormUninstallNivaxel&) = delete;

    // Registers the class, creates and shows the window; false if it could not.
    bool Create(HINSTANCE instance, int show);
    HWND Handle() const { return handle_; }
    // Keyboard navigation between the buttons (Tab, arrows, Space, Enter).
    bool PreTranslateMessage(MSG& msg);

    void ButtonDesinstallerClick();
    void ButtonAnnulerClick();

    // UninstallHost
    bool ConfirmUninstall(const char* text) override;
    std::string OwnModuleName() override;
    void CloseWindow() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void CreateControls();
    int LabelWidth(const char* text) const;
    HWND AddControl(const char* className, const char* text, DWORD style, int x, int y, int w,
                    int h, int id);

    HINSTANCE instance_ = nullptr;
    HWND handle_ = nullptr;
    HWND label1_ = nullptr;
    HWND buttonDesinstaller_ = nullptr;
    HWND buttonAnnuler_ = nullptr;
    HWND lastFocus_ = nullptr;
    bool busy_ = false;
    UniqueGdiObject font_;
};

} // namespace nv
