// uidriver: finds, reads and drives the windows of the programs under test.
// Run under Wine by the end-to-end harness; prints one JSON value on stdout.
// Texts are read and written as 8-bit ANSI bytes (the "A" calls) so that a
// test can check Windows-1252 bytes exactly: every text appears twice, as
// "text" (each byte one code point, i.e. Latin-1) and as "text_hex".
//
// Exit codes: 0 done, 1 not found / timed out / refused, 2 bad command line.
// Every wait has a limit (--timeout, default 5000 ms).
#include <windows.h>
#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: uidriver COMMAND [options]\n"
    "window: --title T | --title-hex HEX | --hwnd H | --window-class C, [--pid P] [--visible]\n"
    "        [--timeout MS] (wait for the window, default 5000)\n"
    "control: --id N | --text T | --text-hex HEX | --class C, [--index I]\n"
    "commands:\n"
    "  find                      the window: hwnd, pid, title, rects\n"
    "  windows                   every top-level window (filters: --pid, --window-class, --visible)\n"
    "  controls                  every descendant control of the window\n"
    "  control                   the selected control (or the window)\n"
    "  text                      the text of the selected control (or window)\n"
    "  client-rect | window-rect rectangles of the selected control (or window)\n"
    "  style | is-topmost | pid-of-window | focus | acp | screen | syscolor [--index N]\n"
    "  set-text --value V | --value-hex HEX\n"
    "  type --value V | --value-hex HEX        posts WM_CHAR per byte\n"
    "  click [--send]            BM_CLICK (posted unless --send)\n"
    "  key --vk NAME|NUMBER      posts WM_KEYDOWN and WM_KEYUP (ESCAPE RETURN TAB SPACE F4 ...)\n"
    "  send|post --msg NAME|NUMBER|registered:NAME [--wparam W] [--lparam L]\n"
    "  tray-delete [--id N]      removes the window's notification icon N (default 1), as a\n"
    "                            restarted shell forgets it\n"
    "  msgbox [--wait MS] [--pid P] [--title T] [--press TEXT | --press-id N] [--gone-timeout MS]\n"
    "  wait-gone [--timeout MS]  waits until no window matches\n"
    "  reg-get|reg-delete --key HKLM\\... [--name N|--name-hex HEX] [--view 32|64]\n"
    "  reg-set --key K --name N --type REG_SZ|REG_DWORD|... --data-hex HEX [--view 32|64]\n"
    "  reg-list --key K [--view 32|64]   values and sub-keys\n"
    "  load-library --name DLL   LoadLibraryA with the ordinary search order\n"
    "  self-path                 uidriver's own GetModuleFileNameA\n";

// ---- small output helpers -------------------------------------------------

std::string Format(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, std::string& out) {
    out.clear();
    if (hex.size() % 2)
        return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        long v = strtol(pair, &end, 16);
        if (end != pair + 2)
            return false;
        out += static_cast<char>(v);
    }
    return true;
}

// A JSON string whose code points are the bytes: Python's json gives the
// Latin-1 reading, which equals Windows-1252 outside 0x80-0x9F.
std::string JsonStr(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            out += Format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonHwnd(HWND h) { return Format("%llu", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(h))); }
std::string JsonBool(bool b) { return b ? "true" : "false"; }

void Print(const std::string& json) {
    fputs(json.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int Fail(int code, const std::string& message) {
    Print("{\"error\":" + JsonStr(message) + "}");
    fprintf(stderr, "uidriver: %s\n", message.c_str());
    return code;
}

// ---- command line ---------------------------------------------------------

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    bool Has(const char* name) const { return values.count(name) != 0; }
    std::string Get(const char* name, const std::string& fallback = std::string()) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
};

const char* const kFlags[] = {"--send", "--visible", "--all"};

bool IsFlag(const std::string& name) {
    for (const char* f : kFlags)
        if (name == f)
            return true;
    return false;
}

bool ParseNumber(const std::string& text, long long& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    out = strtoll(text.c_str(), &end, 0);
    return end && *end == 0;
}

long long Number(const Options& o, const char* name, long long fallback) {
    long long v = 0;
    return o.Has(name) && ParseNumber(o.Get(name), v) ? v : fallback;
}

// A text option given either plainly or as hex bytes (name-hex).
bool TextOption(const Options& o, const std::string& name, std::string& out) {
    if (o.Has((name + "-hex").c_str()))
        return FromHex(o.Get((name + "-hex").c_str()), out);
    if (o.Has(name.c_str())) {
        out = o.Get(name.c_str());
        return true;
    }
    return false;
}

// ---- reading windows ------------------------------------------------------

const UINT kSendTimeout = 3000;

std::string ClassOf(HWND h) {
    char buf[256] = {};
    int n = GetClassNameA(h, buf, sizeof buf);
    return std::string(buf, n > 0 ? n : 0);
}

// WM_GETTEXT is sent (not GetWindowTextA's cached caption) so that edit boxes
// of another process report their current content.
std::string TextOf(HWND h) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutA(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &len)) {
        char buf[1024] = {};
        int n = GetWindowTextA(h, buf, sizeof buf);
        return std::string(buf, n > 0 ? n : 0);
    }
    std::vector<char> buf(len + 2, 0);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                             kSendTimeout, &got))
        return std::string();
    if (got > len + 1)
        got = strnlen(buf.data(), buf.size());
    return std::string(buf.data(), got);
}

std::string WithoutAmpersands(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '&' && i + 1 < s.size())
            ++i;
        out += s[i];
    }
    return out;
}

bool SameText(const std::string& a, const std::string& b) { return a == b || WithoutAmpersands(a) == b; }

std::string JsonRect(const RECT& r) {
    return Format("{\"left\":%ld,\"top\":%ld,\"right\":%ld,\"bottom\":%ld,\"width\":%ld,\"height\":%ld}", r.left, r.top,
                  r.right, r.bottom, r.right - r.left, r.bottom - r.top);
}

// The rectangle of h in the client coordinates of `ref`.
RECT RectIn(HWND h, HWND ref) {
    RECT r = {};
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, ref, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string CheckedOf(HWND h) {
    if (_stricmp(ClassOf(h).c_str(), "Button") != 0)
        return "null";
    LONG type = GetWindowLongA(h, GWL_STYLE) & BS_TYPEMASK;
    if (type != BS_CHECKBOX && type != BS_AUTOCHECKBOX && type != BS_3STATE && type != BS_AUTO3STATE &&
        type != BS_RADIOBUTTON && type != BS_AUTORADIOBUTTON)
        return "null";
    DWORD_PTR state = 0;
    if (!SendMessageTimeoutA(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeout, &state))
        return "null";
    return Format("%u", static_cast<unsigned>(state));
}

std::string Describe(HWND h, HWND top) {
    std::string text = TextOf(h);
    RECT screen = {};
    GetWindowRect(h, &screen);
    RECT client = {};
    GetClientRect(h, &client);
    HWND parent = GetAncestor(h, GA_PARENT);
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(h, &pid);
    std::string json = "{\"hwnd\":" + JsonHwnd(h);
    json += ",\"parent\":" + JsonHwnd(h == top ? nullptr : parent);
    json += ",\"class\":" + JsonStr(ClassOf(h));
    json += Format(",\"id\":%ld", static_cast<long>(GetDlgCtrlID(h)));
    json += ",\"text\":" + JsonStr(text) + ",\"text_hex\":\"" + Hex(text) + "\"";
    json += Format(",\"style\":%lu,\"exstyle\":%lu", static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)),
                   static_cast<unsigned long>(GetWindowLongA(h, GWL_EXSTYLE)));
    json += ",\"rect\":" + JsonRect(screen);
    json += ",\"client\":" + JsonRect(client);
    if (h != top) {
        json += ",\"pos\":" + JsonRect(RectIn(h, parent));
        json += ",\"top_pos\":" + JsonRect(RectIn(h, top));
    }
    json += ",\"enabled\":" + JsonBool(IsWindowEnabled(h));
    json += ",\"visible\":" + JsonBool(IsWindowVisible(h));
    json += ",\"checked\":" + CheckedOf(h);
    json += Format(",\"pid\":%lu,\"tid\":%lu}", static_cast<unsigned long>(pid), static_cast<unsigned long>(tid));
    return json;
}

// ---- finding windows ------------------------------------------------------

struct TopFilter {
    bool hasTitle = false;
    std::string title;
    std::string windowClass;
    DWORD pid = 0;
    bool visibleOnly = false;
    HWND hwnd = nullptr;
};

bool Matches(HWND h, const TopFilter& f) {
    if (f.visibleOnly && !IsWindowVisible(h))
        return false;
    if (f.pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid != f.pid)
            return false;
    }
    if (!f.windowClass.empty() && _stricmp(ClassOf(h).c_str(), f.windowClass.c_str()) != 0)
        return false;
    if (f.hasTitle) {
        char buf[1024] = {};
        int n = GetWindowTextA(h, buf, sizeof buf);
        if (std::string(buf, n > 0 ? n : 0) != f.title)
            return false;
    }
    return true;
}

BOOL CALLBACK CollectTop(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

std::vector<HWND> TopWindows(const TopFilter& f) {
    std::vector<HWND> all, out;
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&all));
    for (HWND h : all)
        if (Matches(h, f))
            out.push_back(h);
    return out;
}

bool ParseTopFilter(const Options& o, TopFilter& f, std::string& error) {
    f.hasTitle = TextOption(o, "--title", f.title);
    if (o.Has("--title-hex") && !f.hasTitle) {
        error = "bad --title-hex";
        return false;
    }
    f.windowClass = o.Get("--window-class");
    f.pid = static_cast<DWORD>(Number(o, "--pid", 0));
    f.visibleOnly = o.Has("--visible");
    if (o.Has("--hwnd")) {
        long long v = 0;
        if (!ParseNumber(o.Get("--hwnd"), v)) {
            error = "bad --hwnd";
            return false;
        }
        f.hwnd = reinterpret_cast<HWND>(static_cast<UINT_PTR>(v));
    }
    return true;
}

bool HasTopSelector(const TopFilter& f) { return f.hwnd || f.hasTitle || !f.windowClass.empty() || f.pid; }

HWND WaitForTop(const TopFilter& f, DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (f.hwnd) {
            if (IsWindow(f.hwnd))
                return f.hwnd;
        } else {
            std::vector<HWND> found = TopWindows(f);
            if (!found.empty())
                return found.front();
        }
        if (GetTickCount64() >= deadline)
            return nullptr;
        Sleep(50);
    }
}

BOOL CALLBACK CollectChild(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

std::vector<HWND> Descendants(HWND top) {
    std::vector<HWND> out;
    EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&out));
    return out;
}

bool HasControlSelector(const Options& o) {
    return o.Has("--id") || o.Has("--text") || o.Has("--text-hex") || o.Has("--class");
}

HWND FindControl(HWND top, const Options& o) {
    std::string text;
    bool byText = TextOption(o, "--text", text);
    long long id = Number(o, "--id", -1);
    std::string cls = o.Get("--class");
    long long index = Number(o, "--index", 0);
    for (HWND h : Descendants(top)) {
        if (o.Has("--id") && GetDlgCtrlID(h) != id)
            continue;
        if (!cls.empty() && _stricmp(ClassOf(h).c_str(), cls.c_str()) != 0)
            continue;
        if (byText && !SameText(TextOf(h), text))
            continue;
        if (index-- == 0)
            return h;
    }
    return nullptr;
}

// ---- names of messages and keys --------------------------------------------

struct Named {
    const char* name;
    long long value;
};

const Named kMessages[] = {
    {"WM_CLOSE", WM_CLOSE},         {"WM_QUERYENDSESSION", WM_QUERYENDSESSION},
    {"WM_ENDSESSION", WM_ENDSESSION}, {"WM_COMMAND", WM_COMMAND},
    {"WM_SYSCOMMAND", WM_SYSCOMMAND}, {"WM_USER", WM_USER},
    {"WM_KEYDOWN", WM_KEYDOWN},     {"WM_KEYUP", WM_KEYUP},
    {"WM_CHAR", WM_CHAR},           {"WM_SETTEXT", WM_SETTEXT},
    {"WM_LBUTTONDOWN", WM_LBUTTONDOWN}, {"WM_LBUTTONUP", WM_LBUTTONUP},
    {"WM_LBUTTONDBLCLK", WM_LBUTTONDBLCLK}, {"WM_RBUTTONDOWN", WM_RBUTTONDOWN},
    {"WM_RBUTTONUP", WM_RBUTTONUP}, {"WM_MOUSEMOVE", WM_MOUSEMOVE},
    {"WM_SETCURSOR", WM_SETCURSOR}, {"WM_NCHITTEST", WM_NCHITTEST},
    {"WM_ACTIVATE", WM_ACTIVATE},   {"WM_SETFOCUS", WM_SETFOCUS},
    {"WM_TIMER", WM_TIMER},         {"BM_CLICK", BM_CLICK},
    {"BM_GETCHECK", BM_GETCHECK},   {"BM_SETCHECK", BM_SETCHECK},
    {"WM_APP", WM_APP},
};

const Named kKeys[] = {
    {"ESCAPE", VK_ESCAPE}, {"RETURN", VK_RETURN}, {"ENTER", VK_RETURN}, {"TAB", VK_TAB},
    {"SPACE", VK_SPACE},   {"F4", VK_F4},         {"BACK", VK_BACK},    {"DELETE", VK_DELETE},
    {"LEFT", VK_LEFT},     {"RIGHT", VK_RIGHT},   {"UP", VK_UP},        {"DOWN", VK_DOWN},
    {"HOME", VK_HOME},     {"END", VK_END},       {"MENU", VK_MENU},
};

// "WM_USER+3" and plain numbers are accepted too.
bool LookUp(const Named* table, size_t count, const std::string& text, long long& out) {
    if (ParseNumber(text, out))
        return true;
    std::string base = text;
    long long offset = 0;
    size_t plus = text.find('+');
    if (plus != std::string::npos) {
        base = text.substr(0, plus);
        if (!ParseNumber(text.substr(plus + 1), offset))
            return false;
    }
    for (size_t i = 0; i < count; ++i)
        if (_stricmp(table[i].name, base.c_str()) == 0) {
            out = table[i].value + offset;
            return true;
        }
    return false;
}


// ---- registry (exact bytes through the "A" calls, in a chosen view) --------

bool SplitKey(const std::string& full, HKEY& root, std::string& sub) {
    static const struct {
        const char* name;
        HKEY key;
    } roots[] = {{"HKLM", HKEY_LOCAL_MACHINE}, {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                 {"HKCU", HKEY_CURRENT_USER},  {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                 {"HKCR", HKEY_CLASSES_ROOT},  {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                 {"HKU", HKEY_USERS},          {"HKEY_USERS", HKEY_USERS}};
    size_t slash = full.find('\\');
    std::string head = full.substr(0, slash);
    sub = slash == std::string::npos ? std::string() : full.substr(slash + 1);
    for (const auto& r : roots)
        if (_stricmp(r.name, head.c_str()) == 0) {
            root = r.key;
            return true;
        }
    return false;
}

REGSAM ViewFlag(const Options& o) {
    std::string view = o.Get("--view");
    if (view == "32")
        return KEY_WOW64_32KEY;
    if (view == "64")
        return KEY_WOW64_64KEY;
    return 0;
}

struct KeyCloser {
    HKEY key = nullptr;
    ~KeyCloser() {
        if (key)
            RegCloseKey(key);
    }
};

std::string JsonValue(const std::string& name, DWORD type, const std::string& data) {
    return "{\"name\":" + JsonStr(name) + ",\"name_hex\":\"" + Hex(name) + "\"" +
           Format(",\"type\":%lu,\"size\":%u", static_cast<unsigned long>(type), static_cast<unsigned>(data.size())) +
           ",\"data_hex\":\"" + Hex(data) + "\"}";
}

int CmdRegistry(const Options& o) {
    HKEY root = nullptr;
    std::string sub, name;
    if (!SplitKey(o.Get("--key"), root, sub))
        return Fail(2, "needs --key HKLM\\...");
    bool hasName = TextOption(o, "--name", name);
    REGSAM view = ViewFlag(o);
    KeyCloser key;
    LONG rc = 0;
    if (o.command == "reg-get") {
        if (!hasName)
            return Fail(2, "reg-get needs --name");
        rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_QUERY_VALUE | view, &key.key);
        if (rc != ERROR_SUCCESS)
            return Fail(1, Format("RegOpenKeyExA: %ld", static_cast<long>(rc)));
        DWORD type = 0, size = 0;
        rc = RegQueryValueExA(key.key, name.c_str(), nullptr, &type, nullptr, &size);
        std::string data(size, '\0');
        if (rc == ERROR_SUCCESS && size)
            rc = RegQueryValueExA(key.key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
        if (rc != ERROR_SUCCESS)
            return Fail(1, Format("RegQueryValueExA: %ld", static_cast<long>(rc)));
        data.resize(size);
        Print(JsonValue(name, type, data));
        return 0;
    }
    if (o.command == "reg-set") {
        static const Named types[] = {{"REG_NONE", REG_NONE},   {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
                                      {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ}};
        long long type = 0;
        std::string data;
        if (!hasName || !LookUp(types, sizeof types / sizeof types[0], o.Get("--type", "REG_SZ"), type) ||
            !FromHex(o.Get("--data-hex"), data))
            return Fail(2, "reg-set needs --name, --type and --data-hex");
        rc = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key.key, nullptr);
        if (rc == ERROR_SUCCESS)
            rc = RegSetValueExA(key.key, name.c_str(), 0, static_cast<DWORD>(type),
                                reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
        if (rc != ERROR_SUCCESS)
            return Fail(1, Format("registry write: %ld", static_cast<long>(rc)));
        Print("{\"ok\":true}");
        return 0;
    }
    if (o.command == "reg-delete") {
        if (hasName) {
            rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_SET_VALUE | view, &key.key);
            if (rc == ERROR_SUCCESS)
                rc = RegDeleteValueA(key.key, name.c_str());
        } else {
            rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_ALL_ACCESS | view, &key.key);
            if (rc == ERROR_SUCCESS)
                rc = RegDeleteTreeA(key.key, nullptr);
            if (rc == ERROR_SUCCESS)
                rc = RegDeleteKeyExA(root, sub.c_str(), view, 0);
        }
        if (rc != ERROR_SUCCESS)
            return Fail(1, Format("registry delete: %ld", static_cast<long>(rc)));
        Print("{\"ok\":true}");
        return 0;
    }
    // reg-list
    rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ | view, &key.key);
    if (rc != ERROR_SUCCESS)
        return Fail(1, Format("RegOpenKeyExA: %ld", static_cast<long>(rc)));
    std::string values = "[", keys = "[";
    for (DWORD i = 0;; ++i) {
        char valueName[16384];
        DWORD nameLen = sizeof valueName, type = 0, size = 0;
        if (RegEnumValueA(key.key, i, valueName, &nameLen, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::string data(size, '\0');
        nameLen = sizeof valueName;
        if (RegEnumValueA(key.key, i, valueName, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
            ERROR_SUCCESS)
            break;
        data.resize(size);
        if (values.size() > 1)
            values += ",";
        values += JsonValue(std::string(valueName, nameLen), type, data);
    }
    for (DWORD i = 0;; ++i) {
        char keyName[256];
        DWORD nameLen = sizeof keyName;
        if (RegEnumKeyExA(key.key, i, keyName, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (keys.size() > 1)
            keys += ",";
        keys += JsonStr(std::string(keyName, nameLen));
    }
    Print("{\"values\":" + values + "],\"keys\":" + keys + "]}");
    return 0;
}

// ---- commands -------------------------------------------------------------

int CmdAcp() {
    Print(Format("{\"acp\":%u,\"oemcp\":%u}", GetACP(), GetOEMCP()));
    return 0;
}

int CmdScreen() {
    RECT work = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    Print(Format("{\"width\":%d,\"height\":%d,\"work\":", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)) +
          JsonRect(work) + "}");
    return 0;
}

// A system colour as r, g, b (e.g. --index 15 for COLOR_BTNFACE).
int CmdSysColor(const Options& o) {
    COLORREF c = GetSysColor(static_cast<int>(Number(o, "--index", COLOR_BTNFACE)));
    Print(Format("{\"r\":%u,\"g\":%u,\"b\":%u}", GetRValue(c), GetGValue(c), GetBValue(c)));
    return 0;
}

int CmdWindows(const TopFilter& f) {
    std::string json = "[";
    for (HWND h : TopWindows(f)) {
        if (json.size() > 1)
            json += ",";
        json += Describe(h, h);
    }
    Print(json + "]");
    return 0;
}

int CmdControls(HWND top) {
    std::string json = "[";
    for (HWND h : Descendants(top)) {
        if (json.size() > 1)
            json += ",";
        json += Describe(h, top);
    }
    Print(json + "]");
    return 0;
}

int CmdFocus(HWND top) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    DWORD tid = GetWindowThreadProcessId(top, nullptr);
    if (!GetGUIThreadInfo(tid, &info))
        return Fail(1, Format("GetGUIThreadInfo failed: %lu", GetLastError()));
    std::string json = "{\"focus\":";
    json += info.hwndFocus ? Describe(info.hwndFocus, top) : "null";
    json += ",\"active\":" + JsonHwnd(info.hwndActive) + ",\"foreground\":" + JsonHwnd(GetForegroundWindow()) + "}";
    Print(json);
    return 0;
}

int CmdSetText(HWND target, const Options& o) {
    std::string value;
    if (!TextOption(o, "--value", value))
        return Fail(2, "set-text needs --value or --value-hex");
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()), SMTO_ABORTIFHUNG,
                             kSendTimeout, &result))
        return Fail(1, Format("WM_SETTEXT not answered: %lu", GetLastError()));
    Print("{\"ok\":" + JsonBool(result != 0) + ",\"text_hex\":\"" + Hex(TextOf(target)) + "\"}");
    return result ? 0 : 1;
}

int CmdType(HWND target, const Options& o) {
    std::string value;
    if (!TextOption(o, "--value", value))
        return Fail(2, "type needs --value or --value-hex");
    for (unsigned char c : value)
        if (!PostMessageA(target, WM_CHAR, c, 1))
            return Fail(1, Format("PostMessageA failed: %lu", GetLastError()));
    Print(Format("{\"posted\":%u}", static_cast<unsigned>(value.size())));
    return 0;
}

int CmdClick(HWND button, const Options& o) {
    if (o.Has("--send")) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG,
                                 static_cast<UINT>(Number(o, "--timeout", 5000)), &result))
            return Fail(1, Format("BM_CLICK not answered: %lu", GetLastError()));
    } else if (!PostMessageA(button, BM_CLICK, 0, 0)) {
        return Fail(1, Format("PostMessageA failed: %lu", GetLastError()));
    }
    Print("{\"clicked\":" + JsonHwnd(button) + "}");
    return 0;
}

int CmdKey(HWND target, const Options& o) {
    long long vk = 0;
    if (!LookUp(kKeys, sizeof kKeys / sizeof kKeys[0], o.Get("--vk"), vk))
        return Fail(2, "key needs --vk NAME|NUMBER");
    UINT scan = MapVirtualKeyA(static_cast<UINT>(vk), MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (static_cast<LPARAM>(3) << 30);
    if (!PostMessageA(target, WM_KEYDOWN, static_cast<WPARAM>(vk), down))
        return Fail(1, Format("PostMessageA failed: %lu", GetLastError()));
    // A key that closes its window (Escape, Enter) may have done so before
    // the key-up is posted; as for a person's key-up, that is no failure.
    if (!PostMessageA(target, WM_KEYUP, static_cast<WPARAM>(vk), up)) {
        const DWORD error = GetLastError();
        if (IsWindow(target))
            return Fail(1, Format("PostMessageA failed: %lu", error));
    }
    Print(Format("{\"vk\":%lld}", vk));
    return 0;
}

int CmdMessage(HWND target, const Options& o, bool send) {
    long long msg = 0, wp = 0, lp = 0;
    const std::string name = o.Get("--msg");
    if (name.rfind("registered:", 0) == 0)
        msg = RegisterWindowMessageA(name.substr(11).c_str());
    else if (!LookUp(kMessages, sizeof kMessages / sizeof kMessages[0], name, msg))
        return Fail(2, "needs --msg NAME|NUMBER");
    if ((o.Has("--wparam") && !ParseNumber(o.Get("--wparam"), wp)) ||
        (o.Has("--lparam") && !ParseNumber(o.Get("--lparam"), lp)))
        return Fail(2, "bad --wparam or --lparam");
    if (!send) {
        if (!PostMessageA(target, static_cast<UINT>(msg), static_cast<WPARAM>(wp), static_cast<LPARAM>(lp)))
            return Fail(1, Format("PostMessageA failed: %lu", GetLastError()));
        Print("{\"posted\":true}");
        return 0;
    }
    DWORD_PTR result = 0;
    SetLastError(0);
    if (!SendMessageTimeoutA(target, static_cast<UINT>(msg), static_cast<WPARAM>(wp), static_cast<LPARAM>(lp),
                             SMTO_ABORTIFHUNG, static_cast<UINT>(Number(o, "--timeout", 5000)), &result))
        return Fail(1, Format("SendMessageTimeoutA failed or timed out: %lu", GetLastError()));
    Print(Format("{\"result\":%lld}", static_cast<long long>(static_cast<LONG_PTR>(result))));
    return 0;
}

int CmdWaitGone(const TopFilter& f, DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        bool present = f.hwnd ? IsWindow(f.hwnd) != FALSE : !TopWindows(f).empty();
        ULONGLONG waited = GetTickCount64() - start;
        if (!present) {
            Print(Format("{\"gone\":true,\"waited_ms\":%llu}", waited));
            return 0;
        }
        if (waited >= timeoutMs) {
            Print(Format("{\"gone\":false,\"waited_ms\":%llu}", waited));
            return 1;
        }
        Sleep(50);
    }
}

std::string DescribeMessageBox(HWND box) {
    std::string caption = TextOf(box), text;
    std::string firstStatic, buttons = "[";
    bool haveText = false;
    for (HWND h : Descendants(box)) {
        std::string cls = ClassOf(h);
        if (_stricmp(cls.c_str(), "Button") == 0) {
            std::string t = TextOf(h);
            if (buttons.size() > 1)
                buttons += ",";
            buttons += "{\"hwnd\":" + JsonHwnd(h) + Format(",\"id\":%ld", static_cast<long>(GetDlgCtrlID(h))) +
                       ",\"text\":" + JsonStr(t) + ",\"text_hex\":\"" + Hex(t) + "\",\"visible\":" +
                       JsonBool(IsWindowVisible(h)) + "}";
        } else if (_stricmp(cls.c_str(), "Static") == 0) {
            std::string t = TextOf(h);
            // The message text is the static control 0xFFFF in both Windows and Wine.
            if ((GetDlgCtrlID(h) & 0xFFFF) == 0xFFFF) {
                text = t;
                haveText = true;
            } else if (firstStatic.empty()) {
                firstStatic = t;
            }
        }
    }
    if (!haveText)
        text = firstStatic;
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    return "{\"hwnd\":" + JsonHwnd(box) + Format(",\"pid\":%lu", static_cast<unsigned long>(pid)) +
           ",\"caption\":" + JsonStr(caption) + ",\"caption_hex\":\"" + Hex(caption) + "\",\"text\":" + JsonStr(text) +
           ",\"text_hex\":\"" + Hex(text) + "\",\"buttons\":" + buttons + "]";
}

int CmdMsgBox(const Options& o) {
    TopFilter f;
    std::string error;
    if (!ParseTopFilter(o, f, error))
        return Fail(2, error);
    f.windowClass = "#32770";
    f.visibleOnly = true;
    HWND box = WaitForTop(f, static_cast<DWORD>(Number(o, "--wait", Number(o, "--timeout", 5000))));
    if (!box)
        return Fail(1, "no message box");
    std::string json = DescribeMessageBox(box);
    std::string press;
    bool byText = TextOption(o, "--press", press);
    if (!byText && !o.Has("--press-id")) {
        Print(json + "}");
        return 0;
    }
    long long pressId = Number(o, "--press-id", -1);
    HWND target = nullptr;
    for (HWND h : Descendants(box)) {
        if (_stricmp(ClassOf(h).c_str(), "Button") != 0 || !IsWindowVisible(h))
            continue;
        if ((byText && SameText(TextOf(h), press)) || (!byText && GetDlgCtrlID(h) == pressId)) {
            target = h;
            break;
        }
    }
    if (!target) {
        Print(json + ",\"pressed\":false}");
        return 1;
    }
    // WM_COMMAND to the box rather than a simulated mouse click: needs neither focus nor capture.
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(target), BN_CLICKED), reinterpret_cast<LPARAM>(target));
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(Number(o, "--gone-timeout", 5000));
    while (IsWindow(box) && IsWindowVisible(box) && GetTickCount64() < deadline)
        Sleep(25);
    bool closed = !IsWindow(box) || !IsWindowVisible(box);
    Print(json + ",\"pressed\":true,\"closed\":" + JsonBool(closed) + "}");
    return closed ? 0 : 1;
}

int Run(const Options& o) {
    const std::string& cmd = o.command;
    if (cmd == "acp")
        return CmdAcp();
    if (cmd == "screen")
        return CmdScreen();
    if (cmd == "self-path") {
        // What a program started the same way reads as its own file name.
        char path[261] = {};
        DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        Print("{\"path\":" + JsonStr(std::string(path, n < sizeof path ? n : sizeof path - 1)) + "}");
        return 0;
    }
    if (cmd == "syscolor")
        return CmdSysColor(o);
    if (cmd == "msgbox")
        return CmdMsgBox(o);
    if (cmd.rfind("reg-", 0) == 0)
        return CmdRegistry(o);
    if (cmd == "load-library") {
        // Loads a DLL by the name given, with the ordinary search order.
        HMODULE module = LoadLibraryA(o.Get("--name").c_str());
        DWORD error = module ? 0 : GetLastError();
        char path[MAX_PATH] = {};
        if (module)
            GetModuleFileNameA(module, path, sizeof path);
        Print("{\"loaded\":" + JsonBool(module != nullptr) + Format(",\"error\":%lu", static_cast<unsigned long>(error)) +
              ",\"path\":" + JsonStr(path) + "}");
        return module ? 0 : 1;
    }

    TopFilter f;
    std::string error;
    if (!ParseTopFilter(o, f, error))
        return Fail(2, error);
    DWORD timeout = static_cast<DWORD>(Number(o, "--timeout", 5000));
    if (cmd == "windows")
        return CmdWindows(f);
    if (!HasTopSelector(f))
        return Fail(2, "no window selector (--title, --title-hex, --hwnd, --window-class, --pid)");
    if (cmd == "wait-gone")
        return CmdWaitGone(f, timeout);

    HWND top = WaitForTop(f, timeout);
    if (!top)
        return Fail(1, "window not found");
    if (cmd == "tray-delete") {
        NOTIFYICONDATAA icon = {};
        icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
        icon.hWnd = top;
        icon.uID = static_cast<UINT>(Number(o, "--id", 1));
        if (!Shell_NotifyIconA(NIM_DELETE, &icon))
            return Fail(1, "Shell_NotifyIconA(NIM_DELETE) failed");
        Print("{\"deleted\":true}");
        return 0;
    }
    if (cmd == "find") {
        Print(Describe(top, top));
        return 0;
    }
    if (cmd == "controls")
        return CmdControls(top);
    if (cmd == "focus")
        return CmdFocus(top);

    HWND target = top;
    if (HasControlSelector(o)) {
        // A window that was just created may not have its controls yet.
        ULONGLONG deadline = GetTickCount64() + timeout;
        while (!(target = FindControl(top, o)) && GetTickCount64() < deadline && IsWindow(top))
            Sleep(50);
        if (!target)
            return Fail(1, "control not found");
    }
    if (cmd == "control") {
        Print(Describe(target, top));
        return 0;
    }
    if (cmd == "text") {
        std::string t = TextOf(target);
        Print("{\"text\":" + JsonStr(t) + ",\"text_hex\":\"" + Hex(t) + "\"}");
        return 0;
    }
    if (cmd == "client-rect" || cmd == "window-rect") {
        RECT r = {};
        if (cmd == "client-rect") {
            GetClientRect(target, &r);
            POINT origin = {0, 0};
            ClientToScreen(target, &origin);
            Print("{\"rect\":" + JsonRect(r) + Format(",\"screen_x\":%ld,\"screen_y\":%ld}", origin.x, origin.y));
        } else {
            GetWindowRect(target, &r);
            Print("{\"rect\":" + JsonRect(r) + "}");
        }
        return 0;
    }
    if (cmd == "style") {
        Print(Format("{\"style\":%lu,\"exstyle\":%lu}", static_cast<unsigned long>(GetWindowLongA(target, GWL_STYLE)),
                     static_cast<unsigned long>(GetWindowLongA(target, GWL_EXSTYLE))));
        return 0;
    }
    if (cmd == "is-topmost") {
        bool topmost = (GetWindowLongA(target, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
        Print("{\"topmost\":" + JsonBool(topmost) + "}");
        return 0;
    }
    if (cmd == "pid-of-window") {
        DWORD pid = 0;
        DWORD tid = GetWindowThreadProcessId(target, &pid);
        Print(Format("{\"pid\":%lu,\"tid\":%lu}", static_cast<unsigned long>(pid), static_cast<unsigned long>(tid)));
        return 0;
    }
    if (cmd == "set-text")
        return CmdSetText(target, o);
    if (cmd == "type")
        return CmdType(target, o);
    if (cmd == "click")
        return CmdClick(target, o);
    if (cmd == "key")
        return CmdKey(target, o);
    if (cmd == "send" || cmd == "post")
        return CmdMessage(target, o, cmd == "send");
    return Fail(2, "unknown command " + cmd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    Options o;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name.rfind("--", 0) != 0)
            return Fail(2, "unexpected argument " + name);
        if (IsFlag(name)) {
            o.values[name] = "1";
        } else if (i + 1 < argc) {
            o.values[name] = argv[++i];
        } else {
            return Fail(2, "missing value after " + name);
        }
    }
    return Run(o);
}
