// The main window's logic, away from any window: what FormCreate works out
// (server name, server port, information text), the caption of the
// installer's message boxes, and the layout arithmetic of the window and its
// splitter. The Win32 window (FInstallNivaxel.h) only shows these results.
#pragma once

#include "common/WinTypes.h"

#include <string>

namespace nv {

// The server name that a launch path gives when the settings hold none:
// "\\fileserver\install\inst.exe" gives "fileserver"; anything that is not at
// least 8 characters starting with two backslashes, or has no backslash after
// the host part, gives "".
std::string ServerNameFromLaunchPath(const std::string& launchPath);

// The Port setting's rule: 5000..65534 is used as is, anything else is 5088.
WORD ServerPortFromSetting(DWORD value);

// FormCreate's reads: NomServeur (else the launch-path rule on
// `moduleFileName`) is returned; the Port setting is applied to ServerPort.
// Registry failures are silent.
std::string ReadInstallSettings(const std::string& moduleFileName);

// The information text: three lines, each ended by CR LF as a multi-line
// edit box keeps them.
std::string InfoText();

// The toolkit's default application title: the executable's file name
// without folder and extension ("C:\x\NivaxelSetup.exe" -> "NivaxelSetup").
std::string ApplicationTitle(const std::string& moduleFileName);

// ---- layout, in client pixels ---------------------------------------------

struct Box {
    int left, top, width, height;
};

inline constexpr int kClientWidth = 476;
inline constexpr int kClientHeight = 161;
inline constexpr int kPanelHeight = 85;
inline constexpr int kSplitterHeight = 3;
// Neither side of the splitter can be dragged below this height.
inline constexpr int kSplitterMinSize = 30;

inline constexpr Box kLabelBox{57, 19, 104, 13};        // in the panel
inline constexpr Box kEditBox{181, 16, 165, 21};        // in the panel
inline constexpr Box kInstallButtonBox{181, 43, 75, 25}; // in the panel
inline constexpr Box kCancelButtonBox{271, 47, 75, 25};  // in the panel

// The three bands of the client area: the information text above, the
// splitter, and the bottom panel of `panelHeight` (clamped to fit).
struct FormLayout {
    Box memo, splitter, panel;
};
FormLayout ComputeLayout(int clientWidth, int clientHeight, int panelHeight);

// The panel height after the splitter's top edge was dragged to `splitterTop`
// (client coordinates): both the text box and the panel keep at least
// kSplitterMinSize while the client area allows it.
int PanelHeightForSplitterTop(int splitterTop, int clientHeight);

// Top-left corner that centres a window of the given outer size on a screen.
Box CentredOnScreen(int screenWidth, int screenHeight, int windowWidth, int windowHeight);

} // namespace nv
