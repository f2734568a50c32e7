// Window objects, their message tables and the framework window class.
#include "framework/Wnd.h"

IMPLEMENT_RUNTIME_CLASS(CWnd, CObject)

namespace {
// The window property that carries the bound object.
const char kObjectProperty[] = "ParvoletWindowObject";
const char kWindowClassName[] = "ParvoletWindow";
} // namespace

const MessageTable CWnd::messageTable = {nullptr, nullptr, 0};

const MessageEntry* FindMessageEntry(const MessageTable& table, UINT message, WPARAM wParam) noexcept {
    return table.Find([message, wParam](const MessageEntry& entry) {
        if (entry.message != message) return false;
        return message != WM_COMMAND ||
               (entry.notifyCode == HIWORD(wParam) && entry.controlId == LOWORD(wParam));
    });
}

HINSTANCE ModuleInstance() noexcept { return GetModuleHandleA(nullptr); }

CWnd::~CWnd() { DestroyWindowNow(); }

CWnd* CWnd::FromHandle(HWND hwnd) noexcept {
    return static_cast<CWnd*>(GetPropA(hwnd, kObjectProperty));
}

void CWnd::BindHandle(HWND hwnd) noexcept {
    hwnd_ = hwnd;
    SetPropA(hwnd, kObjectProperty, this);
}

void CWnd::UnbindHandle() noexcept {
    if (hwnd_ != nullptr) RemovePropA(hwnd_, kObjectProperty);
    hwnd_ = nullptr;
    ownsWindow_ = false;
}

HWND CWnd::Detach() noexcept {
    HWND hwnd = hwnd_;
    hwnd_ = nullptr;
    ownsWindow_ = false;
    return hwnd;
}

void CWnd::DestroyWindowNow() noexcept {
    if (hwnd_ == nullptr) return;
    HWND hwnd = hwnd_;
    if (IsWindow(hwnd)) ::DestroyWindow(hwnd); // WM_NCDESTROY clears hwnd_ for bound windows
    hwnd_ = nullptr;
    ownsWindow_ = false;
}

bool CWnd::CreateFrameworkWindow(DWORD exStyle, const char* title, DWORD style, int x, int y, int width,
                                 int height, HWND parent, HMENU menu) {
    HINSTANCE instance = ModuleInstance();
    WNDCLASSA existing;
    if (!GetClassInfoA(instance, kWindowClassName, &existing)) {
        // No class style, cursor, background or icon: the framework's windows here are hidden.
        WNDCLASSA wc = {};
        wc.lpfnWndProc = &CWnd::WindowProcedure;
        wc.hInstance = instance;
        wc.lpszClassName = kWindowClassName;
        if (RegisterClassA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    }
    HWND hwnd = CreateWindowExA(exStyle, kWindowClassName, title, style, x, y, width, height, parent, menu,
                                instance, this);
    if (hwnd == nullptr) return false;
    ownsWindow_ = true;
    return true;
}

LRESULT CWnd::DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    const MessageEntry* entry = FindMessageEntry(*GetMessageTable(), message, wParam);
    if (entry != nullptr) return entry->handler(*this, wParam, lParam);
    return DefaultProcessing(message, wParam, lParam);
}

LRESULT CALLBACK CWnd::WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* self = FromHandle(hwnd);
    if (self == nullptr && message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        self = static_cast<CWnd*>(create->lpCreateParams);
        if (self != nullptr) self->BindHandle(hwnd);
    }
    if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        LRESULT result = self->Dispatch(message, wParam, lParam);
        RemovePropA(hwnd, kObjectProperty);
        self->hwnd_ = nullptr;
        self->ownsWindow_ = false;
        self->OnWindowGone();
        return result;
    }
    return self->Dispatch(message, wParam, lParam);
}
