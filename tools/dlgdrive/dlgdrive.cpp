// Test driver for the program's windows: reads one command a line on stdin and answers one JSON
// line on stdout, so a test can see and press what a user would. It runs in the same Wine prefix
// as the program it drives. Commands: find TITLE, dump HWND, click HWND ID, command HWND ID,
// close HWND, key HWND VK, alive HWND, kill PID, stats PID, lock PATH, unlock PATH,
// focus HWND, quit. `dlgdrive launch PROGRAM` instead starts
// a program with an exact command line.
#include "tools/dlgdrive/ProcessStats.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kStatusTextId = 1001;
constexpr int kMessageTextId = 0xFFFF;
constexpr int kMessageIconId = 1088;

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Bytes above 0x7F are ANSI, not UTF-8: pass them as code points of Latin-1.
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string Quote(const std::string& text) { return "\"" + Escape(text) + "\""; }
const char* Bool(bool value) { return value ? "true" : "false"; }

std::string Number(unsigned long long value) { return std::to_string(value); }

HWND ParseWindow(const std::string& text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 0)));
}

// How long a busy program may take to answer for a window's text. On an emulated PC under load a
// dialog took more than a second now and then, and its title read as empty.
constexpr UINT kTextAnswerMs = 5000;

// The window's text without risking a hang on a busy or dead window.
std::string WindowText(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kTextAnswerMs, &length)) return "";
    // The text may change between the two messages: a buffer sized by the first alone would cut
    // a longer new text to the old length. Room to spare, and more while the text fills it.
    std::vector<char> buffer(length + 2 < 1024 ? 1024 : length + 2);
    for (int attempt = 0;; ++attempt) {
        buffer.assign(buffer.size(), '\0');
        DWORD_PTR got = 0;
        if (!SendMessageTimeoutA(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                                 SMTO_ABORTIFHUNG, kTextAnswerMs, &got))
            return "";
        size_t read = std::strlen(buffer.data());
        if (read + 1 < buffer.size() || attempt == 4) return std::string(buffer.data(), read);
        buffer.resize(buffer.size() * 2);
    }
}

// A top-level caption as the window manager holds it: for another process's window this reads
// the stored text and sends no message, so a program stuck on its way out cannot stall us.
std::string Caption(HWND hwnd) {
    char buffer[512] = "";
    GetWindowTextA(hwnd, buffer, sizeof buffer);
    return buffer;
}

std::string ClassOf(HWND hwnd) {
    char name[256] = "";
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string Rect(HWND hwnd) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(hwnd, &r);
    return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom) + "]";
}

// A message box has the text static and none of the progress dialog's controls.
const char* KindOf(HWND hwnd) {
    if (GetDlgItem(hwnd, kStatusTextId) != nullptr) return "dialog";
    if (GetDlgItem(hwnd, kMessageTextId) != nullptr) return "message_box";
    return "other";
}

struct FindState {
    std::string title;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM parameter) {
    FindState* state = reinterpret_cast<FindState*>(parameter);
    if (ClassOf(hwnd) == "#32770" && Caption(hwnd) == state->title) state->found.push_back(hwnd);
    return TRUE;
}

std::string Find(const std::string& title) {
    FindState state;
    state.title = title;
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&state));
    std::string out = "{\"ok\":true,\"windows\":[";
    for (size_t i = 0; i < state.found.size(); ++i) {
        HWND hwnd = state.found[i];
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (i > 0) out += ",";
        out += "{\"hwnd\":" + Number(reinterpret_cast<uintptr_t>(hwnd)) + ",\"kind\":" + Quote(KindOf(hwnd)) +
               ",\"visible\":" + Bool(IsWindowVisible(hwnd)) + ",\"enabled\":" + Bool(IsWindowEnabled(hwnd)) +
               ",\"rect\":" + Rect(hwnd) + ",\"pid\":" + Number(pid) +
               ",\"owner\":" + Number(reinterpret_cast<uintptr_t>(GetWindow(hwnd, GW_OWNER))) + "}";
    }
    return out + "]}";
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM parameter) {
    reinterpret_cast<std::vector<HWND>*>(parameter)->push_back(hwnd);
    return TRUE;
}

std::string Dump(HWND hwnd) {
    if (!IsWindow(hwnd)) return "{\"ok\":false,\"error\":\"no such window\"}";
    std::vector<HWND> children;
    EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&children));

    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    DWORD thread = GetWindowThreadProcessId(hwnd, nullptr);
    HWND focus = GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
    HWND active = GetGUIThreadInfo(thread, &info) ? info.hwndActive : nullptr;

    std::string out = "{\"ok\":true,\"hwnd\":" + Number(reinterpret_cast<uintptr_t>(hwnd)) +
                      ",\"kind\":" + Quote(KindOf(hwnd)) + ",\"title\":" + Quote(WindowText(hwnd)) +
                      ",\"visible\":" + Bool(IsWindowVisible(hwnd)) + ",\"enabled\":" +
                      Bool(IsWindowEnabled(hwnd)) + ",\"rect\":" + Rect(hwnd) +
                      ",\"style\":" + Number(static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE))) +
                      ",\"exstyle\":" + Number(static_cast<DWORD>(GetWindowLongA(hwnd, GWL_EXSTYLE))) +
                      ",\"active\":" + Bool(active == hwnd) + ",\"focus_id\":";
    bool focusInside = focus != nullptr && (focus == hwnd || IsChild(hwnd, focus));
    out += focusInside && focus != hwnd ? std::to_string(GetDlgCtrlID(focus)) : "null";

    std::string statusBar = "null";
    std::string messageText = "null";
    std::string buttons = "[";
    std::string list = "[";
    bool first = true;
    bool firstButton = true;
    for (HWND child : children) {
        int id = GetDlgCtrlID(child);
        std::string cls = ClassOf(child);
        std::string text = WindowText(child);
        LONG style = GetWindowLongA(child, GWL_STYLE);
        bool visible = IsWindowVisible(child) != FALSE;
        bool enabled = IsWindowEnabled(child) != FALSE;
        if (!first) list += ",";
        first = false;
        list += "{\"id\":" + std::to_string(id) + ",\"class\":" + Quote(cls) + ",\"text\":" + Quote(text) +
                ",\"visible\":" + Bool(visible) + ",\"enabled\":" + Bool(enabled) +
                ",\"style\":" + Number(static_cast<DWORD>(style)) + ",\"rect\":" + Rect(child) +
                ",\"focused\":" + Bool(child == focus) + "}";
        if (lstrcmpiA(cls.c_str(), "msctls_statusbar32") == 0) statusBar = Quote(text);
        if (id == kMessageTextId && lstrcmpiA(cls.c_str(), "Static") == 0 && (style & SS_TYPEMASK) != SS_ETCHEDHORZ)
            messageText = Quote(text);
        if (lstrcmpiA(cls.c_str(), "Button") == 0) {
            if (!firstButton) buttons += ",";
            firstButton = false;
            buttons += "{\"id\":" + std::to_string(id) + ",\"text\":" + Quote(text) + ",\"visible\":" +
                       Bool(visible) + ",\"enabled\":" + Bool(enabled) + ",\"focused\":" +
                       Bool(child == focus) + "}";
        }
    }
    HWND icon = GetDlgItem(hwnd, kMessageIconId);
    out += ",\"status_bar\":" + statusBar + ",\"message_text\":" + messageText + ",\"buttons\":" + buttons +
           "],\"icon_rect\":" + (icon != nullptr && IsWindowVisible(icon) ? Rect(icon) : std::string("null")) +
           ",\"children\":" + list + "]}";
    return out;
}

UINT KeyCode(const std::string& name) {
    if (lstrcmpiA(name.c_str(), "Escape") == 0) return VK_ESCAPE;
    if (lstrcmpiA(name.c_str(), "Return") == 0 || lstrcmpiA(name.c_str(), "Enter") == 0) return VK_RETURN;
    if (lstrcmpiA(name.c_str(), "Tab") == 0) return VK_TAB;
    if (lstrcmpiA(name.c_str(), "Space") == 0) return VK_SPACE;
    return static_cast<UINT>(std::strtoul(name.c_str(), nullptr, 0));
}

std::string Posted(BOOL result) {
    if (result) return "{\"ok\":true}";
    return "{\"ok\":false,\"error\":\"post failed\",\"code\":" + std::to_string(GetLastError()) + "}";
}

std::string Key(HWND hwnd, const std::string& name) {
    if (!IsWindow(hwnd)) return "{\"ok\":false,\"error\":\"no such window\"}";
    UINT vk = KeyCode(name);
    if (vk == 0) return "{\"ok\":false,\"error\":\"unknown key\"}";
    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    HWND target = hwnd;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == hwnd || IsChild(hwnd, info.hwndFocus)))
        target = info.hwndFocus;
    UINT scan = MapVirtualKeyA(vk, 0);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (1u << 30) | (1u << 31);
    if (!PostMessageA(target, WM_KEYDOWN, vk, down)) return Posted(FALSE);
    return Posted(PostMessageA(target, WM_KEYUP, vk, up));
}

// ---- Resource counts of another process, and files held open without sharing (leak and
// bad-input tests).

std::string Stats(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid);
    if (process == nullptr) return "{\"ok\":false,\"error\":\"no such process\"}";
    const ProcessStats stats = ReadProcessStats(process, pid);
    CloseHandle(process);
    const std::string none("null");
    return "{\"ok\":true,\"handles\":" + Number(stats.handles) + ",\"handles_probed\":" + Bool(stats.handlesProbed) +
           ",\"threads\":" + Number(stats.threads) + ",\"windows\":" + Number(stats.windows) +
           ",\"gdi\":" + (stats.guiCountsKnown ? Number(stats.gdiObjects) : none) +
           ",\"user\":" + (stats.guiCountsKnown ? Number(stats.userObjects) : none) +
           ",\"working_set\":" + (stats.memoryKnown ? Number(stats.workingSet) : none) +
           ",\"private_bytes\":" + (stats.memoryKnown ? Number(stats.privateBytes) : none) + "}";
}

// Held until unlock or the end of the session: no other opener may read, write or delete.
std::map<std::string, HANDLE> lockedFiles;

std::string Lock(const std::string& path) {
    if (lockedFiles.count(path) != 0) return "{\"ok\":false,\"error\":\"already locked\"}";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "{\"ok\":false,\"error\":\"cannot open\",\"code\":" + std::to_string(GetLastError()) + "}";
    lockedFiles[path] = file;
    return "{\"ok\":true}";
}

std::string Unlock(const std::string& path) {
    auto found = lockedFiles.find(path);
    if (found == lockedFiles.end()) return "{\"ok\":false,\"error\":\"not locked\"}";
    CloseHandle(found->second);
    lockedFiles.erase(found);
    return "{\"ok\":true}";
}

// ---- Focus: gives the keyboard focus to a window of another thread, as the platform does when
// a window is activated while none of its controls has the focus (a late activation).

std::string FocusWindow(HWND hwnd) {
    if (hwnd == nullptr || !IsWindow(hwnd)) return "{\"ok\":false,\"error\":\"no such window\"}";
    const DWORD own = GetCurrentThreadId();
    const DWORD target = GetWindowThreadProcessId(hwnd, nullptr);
    if (!AttachThreadInput(own, target, TRUE))
        return "{\"ok\":false,\"error\":\"cannot share input\",\"code\":" + std::to_string(GetLastError()) + "}";
    // The window's own handling of the focus runs before SetFocus returns. A null result is
    // also the answer when nothing had the focus before.
    SetLastError(0);
    const bool moved = SetFocus(hwnd) != nullptr || GetLastError() == 0;
    AttachThreadInput(own, target, FALSE);
    return std::string("{\"ok\":") + Bool(moved) + "}";
}

// click-wait HWND ID: presses a button and answers only once the dialog has handled the click.
// A posted click may still sit in the program's queue while the next dump is answered (sent
// messages go first), so a test reading the state after it cannot tell "not yet handled" from
// "handled and already over". Only for buttons whose handler opens no modal box, which would
// hold the answer until the box closes.
std::string ClickAndWait(const std::string& arguments) {
    size_t split = arguments.find(' ');
    if (split == std::string::npos) return "{\"ok\":false,\"error\":\"missing argument\"}";
    HWND control = GetDlgItem(ParseWindow(arguments.substr(0, split)),
                              static_cast<int>(std::strtol(arguments.substr(split + 1).c_str(), nullptr, 0)));
    if (control == nullptr) return "{\"ok\":false,\"error\":\"no such control\"}";
    // Generous: it only bounds a hang; a loaded machine may take seconds to schedule the program.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(control, BM_CLICK, 0, 0, SMTO_NORMAL, 60000, &result))
        return "{\"ok\":false,\"error\":\"not handled\",\"code\":" + std::to_string(GetLastError()) + "}";
    return "{\"ok\":true}";
}

std::string Execute(const std::string& line) {
    size_t space = line.find(' ');
    std::string verb = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "find") return Find(rest);
    if (verb == "dump") return Dump(ParseWindow(rest));
    if (verb == "alive") return std::string("{\"ok\":true,\"alive\":") + Bool(IsWindow(ParseWindow(rest))) + "}";
    if (verb == "kill") {
        // Cleanup for a test that left the program running.
        DWORD pid = static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 0));
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
        if (process == nullptr) return "{\"ok\":false,\"error\":\"no such process\"}";
        BOOL done = TerminateProcess(process, 255);
        CloseHandle(process);
        return Posted(done);
    }
    if (verb == "stats") return Stats(static_cast<DWORD>(std::strtoul(rest.c_str(), nullptr, 0)));
    if (verb == "lock") return Lock(rest);
    if (verb == "unlock") return Unlock(rest);
    if (verb == "focus") return FocusWindow(ParseWindow(rest));
    if (verb == "close") return Posted(PostMessageA(ParseWindow(rest), WM_CLOSE, 0, 0));
    if (verb == "click-wait") return ClickAndWait(rest);
    if (verb == "click" || verb == "command" || verb == "key") {
        size_t split = rest.find(' ');
        if (split == std::string::npos) return "{\"ok\":false,\"error\":\"missing argument\"}";
        HWND hwnd = ParseWindow(rest.substr(0, split));
        std::string argument = rest.substr(split + 1);
        if (verb == "key") return Key(hwnd, argument);
        int id = static_cast<int>(std::strtol(argument.c_str(), nullptr, 0));
        HWND control = GetDlgItem(hwnd, id);
        if (verb == "click") {
            // Posted, never sent: a click that opens a modal box would block us until it closes.
            if (control == nullptr) return "{\"ok\":false,\"error\":\"no such control\"}";
            return Posted(PostMessageA(control, BM_CLICK, 0, 0));
        }
        return Posted(PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control)));
    }
    return "{\"ok\":false,\"error\":\"unknown command\"}";
}

int Serve() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        if (line == "quit") {
            std::fputs("{\"ok\":true}\n", stdout);
            std::fflush(stdout);
            return 0;
        }
        std::string answer = Execute(line);
        std::fputs(answer.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}

// The environment variable's value, wide: every character as it is, whatever the code page.
std::wstring WideEnvironment(const wchar_t* name) {
    std::vector<wchar_t> value(1024);
    for (;;) {
        DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) return std::wstring(value.data(), length); // 0: unset
        value.resize(length);
    }
}

// Starts PROGRAM (the second argument) with the command line in the environment variable
// DLGDRIVE_COMMAND_LINE, character for character (wine itself would re-quote arguments), waits for
// it and returns its exit status. Both are taken wide and the program is started with
// CreateProcessW, as a Unicode program starts another: names that the ANSI code page lacks reach
// the program as they are.
int Launch() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3) {
        std::fprintf(stderr, "dlgdrive: launch needs a program\n");
        if (arguments != nullptr) LocalFree(arguments);
        return 125;
    }
    std::wstring program = arguments[2];
    LocalFree(arguments);
    std::wstring commandLine = WideEnvironment(L"DLGDRIVE_COMMAND_LINE");
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "dlgdrive: cannot start %ls (error %lu)\n", program.c_str(), GetLastError());
        return 125;
    }
    std::printf("PID %lu\n", process.dwProcessId);
    std::fflush(stdout);
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 125;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "launch") == 0) return Launch();
    return Serve();
}
