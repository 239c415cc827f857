// The window's behaviour (views, alert fields, icon, close permission),
// driven through a host that records what the window was asked to do.
#include "client/NivaxelForm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace nv {
namespace {

class RecordingHost : public FormHost {
public:
    std::vector<std::string> ops;
    bool visible = false, quitter = false, vu = false, buttonEnabled = false;
    int width = 555, height = 445, answer = 7; // IDNO
    bool workAreaOk = true;
    Rect workArea{0, 0, 1280, 994};
    AlerteTexte fields;
    std::string serverLabel;
    bool serverMissing = false;
    int acknowledged = 0, released = 0, started = 0;
    std::uint32_t acknowledgedNumber = 0;
    std::string startedName;
    std::uint16_t startedPort = 0;

    void Op(std::string s) { ops.push_back(std::move(s)); }
    bool Has(const std::string& s) const {
        return std::find(ops.begin(), ops.end(), s) != ops.end();
    }

    bool IsVisible() override { return visible; }
    void Show() override { Op("show"); visible = true; }
    void Hide() override { Op("hide"); visible = false; }
    void Maximize() override { Op("maximize"); }
    void Restore() override { Op("restore"); }
    void SetSize(int w, int h) override {
        Op("size " + std::to_string(w) + "x" + std::to_string(h));
        width = w, height = h;
    }
    int Width() override { return width; }
    int Height() override { return height; }
    void SetPosition(int l, int t) override {
        Op("move " + std::to_string(l) + "," + std::to_string(t));
    }
    void SetTopmost(bool t) override { Op(t ? "topmost" : "notopmost"); }
    void BringToForeground() override { Op("foreground"); }
    void CloseWindow() override { Op("close"); }
    void ShowPanel(Panneau p) override { Op(p == Panneau::Menu ? "panel menu" : "panel alert"); }
    void FitMenuPanel() override { Op("fit menu"); }
    void SetServerLabel(const std::string& t, bool missing) override {
        serverLabel = t, serverMissing = missing;
    }
    void SetCheckBoxQuitter(bool t) override { quitter = t; Op(t ? "quitter on" : "quitter off"); }
    bool CheckBoxQuitterTicked() override { return quitter; }
    void SetAlertFields(const AlerteTexte& f) override { fields = f; Op("fields"); }
    void SetCheckBoxVu(bool t) override { vu = t; }
    bool CheckBoxVuTicked() override { return vu; }
    void EnableButtonFermerAlerte(bool e) override { buttonEnabled = e; }
    void ApplyAlertColours() override { Op("colours"); }
    void MovePanelAlerte(int l, int t) override {
        Op("panel at " + std::to_string(l) + "," + std::to_string(t));
    }
    int PanelAlerteWidth() override { return 537; }
    int PanelAlerteHeight() override { return 314; }
    bool GetWorkArea(Rect& a) override {
        a = workArea;
        return workAreaOk;
    }
    int ScreenWidth() override { return 1280; }
    int ScreenHeight() override { return 1024; }
    int AskUnload() override { Op("ask"); return answer; }
    bool NotifyIcon(DWORD op, ImageIcone p) override {
        Op("icon " + std::to_string(op) + (p == ImageIcone::Connecte ? " on" : " off"));
        return true;
    }
    void StartConnection(const std::string& name, std::uint16_t port) override {
        ++started, startedName = name, startedPort = port;
    }
    void SetAcknowledged(std::uint32_t numero) override {
        ++acknowledged;
        acknowledgedNumber = numero;
    }
    void ReleaseAlertBlock(void* block) override {
        ++released;
        std::free(block);
    }
};

// A heap block as the connection thread hands it over.
LPARAM Block(const std::string& text) {
    void* p = std::malloc(text.size());
    std::memcpy(p, text.data(), text.size());
    return reinterpret_cast<LPARAM>(p);
}

const std::string Exemple = "[Accueil]\r\nD=12/03 10:42\r\nO=Exercice\r\nI=27\r\n"
                            "M=Evacuation du batiment A.\r\nM=Merci.\r\n";

class Form : public ::testing::Test {
protected:
    FakeClock clock{1000};
    RecordingHost host;
    NivaxelForm form{host, clock};

    void Create(const std::string& server = "veska", bool icon = true) {
        form.FormCreate(ClientSettings{icon, server, 6001});
        host.ops.clear();
    }
    void Alert(const std::string& text) {
        form.OnAlertMessage(text.size(), Block(text));
    }
};

TEST_F(Form, CreateAddsTheIconAndStartsTheConnectionOnlyWithAServer) {
    form.FormCreate(ClientSettings{true, "veska", 6001});
    EXPECT_EQ(host.serverLabel, "veska");
    EXPECT_FALSE(host.serverMissing);
    EXPECT_EQ(host.ops, std::vector<std::string>{"icon 0 off"});
    EXPECT_EQ(host.started, 1);
    EXPECT_EQ(host.startedName, "veska");
    EXPECT_EQ(host.startedPort, 6001);
    EXPECT_FALSE(host.visible);

    RecordingHost other;
    NivaxelForm unnamed(other, clock);
    unnamed.FormCreate(ClientSettings{true, "", 5088});
    EXPECT_EQ(other.serverLabel, "Nom manquant dans BDR !");
    EXPECT_TRUE(other.serverMissing);
    EXPECT_EQ(other.started, 0);
    unnamed.OnIconCallback(WM_LBUTTONDOWN); // the menu still opens
    EXPECT_EQ(unnamed.CurrentView(), Vue::Menu);
}

TEST_F(Form, LeftClickOpensTheMenuAtTheWorkAreasCorner) {
    Create();
    host.quitter = true;
    form.OnIconCallback(WM_LBUTTONDOWN);
    EXPECT_EQ(host.ops, (std::vector<std::string>{"panel menu", "restore", "size 200x110",
                                                  "fit menu", "notopmost", "quitter off",
                                                  "move 1080,884", "show", "foreground"}));
    EXPECT_FALSE(host.quitter);
    EXPECT_EQ(form.CurrentView(), Vue::Menu);

    // Already visible: not moved again, only brought forward.
    host.ops.clear();
    form.OnIconCallback(WM_LBUTTONDBLCLK);
    EXPECT_FALSE(host.Has("move 1080,884"));
    EXPECT_FALSE(host.Has("show"));
    EXPECT_TRUE(host.Has("foreground"));
}

TEST_F(Form, OtherMouseMessagesAndMissingIconOpenNothing) {
    Create();
    form.OnIconCallback(WM_RBUTTONDOWN);
    form.OnIconCallback(0x200); // mouse move
    EXPECT_TRUE(host.ops.empty());

    RecordingHost other;
    NivaxelForm hidden(other, clock);
    hidden.FormCreate(ClientSettings{false, "veska", 5088});
    EXPECT_TRUE(other.ops.empty()); // no icon at all
    hidden.OnIconCallback(WM_LBUTTONDOWN);
    hidden.OnConnected();
    hidden.OnDisconnected();
    hidden.FormClose();
    EXPECT_TRUE(other.ops.empty());
}

TEST_F(Form, WorkAreaFailureLeavesThePosition) {
    Create();
    host.workAreaOk = false;
    form.OnIconCallback(WM_LBUTTONDOWN);
    for (const auto& op : host.ops)
        EXPECT_NE(op.rfind("move", 0), 0u) << op;
    EXPECT_TRUE(host.visible);
}

TEST_F(Form, AlertFillsTheFieldsAndShowsTheAlertView) {
    Create();
    Alert(Exemple);
    EXPECT_EQ(host.released, 1);
    EXPECT_EQ(host.fields.Auteur, "Accueil");
    EXPECT_EQ(host.fields.Date, "12/03 10:42");
    EXPECT_EQ(host.fields.Sujet, "Exercice");
    EXPECT_EQ(host.fields.Lignes,
              (std::vector<std::string>{"Evacuation du batiment A.", "Merci."}));
    EXPECT_EQ(host.ops, (std::vector<std::string>{"fields", "panel alert", "maximize",
                                                  "colours", "topmost", "move 725,549",
                                                  "show"}));
    EXPECT_FALSE(host.buttonEnabled);
    EXPECT_EQ(form.CurrentView(), Vue::Alerte);
}

TEST_F(Form, EmptyAlertMessagesAreIgnoredAndNotReleased) {
    Create();
    form.OnAlertMessage(0, 0);
    const LPARAM block = Block("O=x");
    form.OnAlertMessage(static_cast<WPARAM>(-5), block); // negative as a signed length
    EXPECT_EQ(host.released, 0);
    std::free(reinterpret_cast<void*>(block));
    EXPECT_TRUE(host.ops.empty());
    EXPECT_EQ(form.CurrentView(), Vue::Cachee);
}

TEST_F(Form, TextWithoutFieldsStillShowsAndCanBeAcknowledged) {
    Create();
    Alert("bonjour\r\nxy");
    EXPECT_EQ(form.CurrentView(), Vue::Alerte);
    EXPECT_TRUE(host.fields.Auteur.empty() && host.fields.Lignes.empty());
    host.vu = true;
    form.CheckBoxVuClick();
    form.ButtonFermerAlerteClick();
    EXPECT_EQ(host.acknowledged, 1);
}

TEST_F(Form, CheckBoxEnablesTheButtonWhichAcknowledges) {
    Create();
    Alert(Exemple);
    form.ButtonFermerAlerteClick(); // not ticked: nothing
    form.OnDialogKey();             // Enter/Escape while disabled: nothing
    EXPECT_EQ(host.acknowledged, 0);
    EXPECT_TRUE(host.visible);
    host.vu = true;
    form.CheckBoxVuClick();
    EXPECT_TRUE(host.buttonEnabled);
    host.vu = false;
    form.CheckBoxVuClick();
    EXPECT_FALSE(host.buttonEnabled);
    form.OnDialogKey();
    EXPECT_EQ(host.acknowledged, 0);
    host.vu = true;
    form.CheckBoxVuClick();
    form.OnDialogKey();
    EXPECT_EQ(host.acknowledged, 1);
    EXPECT_FALSE(host.visible);
    EXPECT_EQ(form.CurrentView(), Vue::Cachee);
    form.OnDialogKey(); // hidden: nothing more
    EXPECT_EQ(host.acknowledged, 1);
}

// The thread sends the acknowledgement only for the alert whose number the
// window gives, so the number must be that of the alert on screen when the
// user closed it, counting empty alert messages as the thread does.
TEST_F(Form, AcknowledgementCarriesTheNumberOfTheAlertShown) {
    Create();
    Alert("O=un");
    form.OnAlertMessage(0, 0); // empty: not shown, but counted
    Alert("O=trois");
    host.vu = true;
    form.CheckBoxVuClick();
    form.ButtonFermerAlerteClick();
    EXPECT_EQ(host.acknowledged, 1);
    EXPECT_EQ(host.acknowledgedNumber, 3u);
    Alert("O=quatre");
    host.vu = true;
    form.CheckBoxVuClick();
    form.ButtonFermerAlerteClick();
    EXPECT_EQ(host.acknowledgedNumber, 4u);
}

TEST_F(Form, DialogKeysDoNothingInTheMenu) {
    Create();
    Alert(Exemple);
    host.vu = true;
    form.CheckBoxVuClick();
    form.OnIconCallback(WM_LBUTTONDOWN); // the menu replaces the alert, unacknowledged
    form.OnDialogKey();
    EXPECT_EQ(host.acknowledged, 0);
    EXPECT_EQ(form.CurrentView(), Vue::Menu);
}

TEST_F(Form, LosingActivationHidesWithoutAcknowledging) {
    Create();
    Alert(Exemple);
    form.OnActivateApp(true);
    EXPECT_TRUE(host.visible);
    form.OnActivateApp(false);
    EXPECT_FALSE(host.visible);
    EXPECT_EQ(host.acknowledged, 0);
    host.ops.clear();
    form.OnActivateApp(false);
    EXPECT_TRUE(host.ops.empty()); // already hidden
}

TEST_F(Form, MenuCloseHidesUnlessTheUnloadIsConfirmed) {
    Create();
    form.OnIconCallback(WM_LBUTTONDOWN);
    form.ButtonFermerClick(); // box unticked: no question
    EXPECT_FALSE(host.Has("ask"));
    EXPECT_FALSE(host.visible);

    form.OnIconCallback(WM_LBUTTONDOWN);
    host.quitter = true;
    form.ButtonFermerClick(); // answered No
    EXPECT_TRUE(host.Has("ask"));
    EXPECT_FALSE(host.Has("close"));
    EXPECT_FALSE(host.visible);
    EXPECT_FALSE(form.FormCloseQuery());

    host.answer = IdOui;
    host.ops.clear();
    form.ButtonFermerClick();
    EXPECT_EQ(host.ops, (std::vector<std::string>{"ask", "close"}));
    EXPECT_TRUE(form.FormCloseQuery()); // the permission came with the Yes
}

TEST_F(Form, EndSessionOpensTheCloseAndTheQueryFor20Seconds) {
    Create();
    EXPECT_FALSE(form.FormCloseQuery()); // WM_CLOSE alone
    EXPECT_FALSE(form.OnQueryEndSession());
    form.OnEndSession();
    clock.Advance(19000);
    EXPECT_TRUE(form.OnQueryEndSession());
    EXPECT_TRUE(form.FormCloseQuery());
    clock.Advance(6000);
    EXPECT_FALSE(form.FormCloseQuery());
}

TEST_F(Form, IconFollowsTheConnectionAndGoesAwayOnce) {
    Create();
    form.OnConnected();
    form.OnDisconnected();
    form.OnConnected();
    form.OnTaskbarCreated(); // a restarted shell gets the current picture
    form.FormClose();
    form.FormClose();
    form.OnDisconnected();
    form.OnTaskbarCreated();
    EXPECT_EQ(host.ops, (std::vector<std::string>{"icon 1 on", "icon 1 off", "icon 1 on",
                                                  "icon 0 on", "icon 2 on"}));
}

} // namespace
} // namespace nv
