// Window objects, their message tables and the framework window class.
#include "framework/Wnd.h"

#include "framework/Exceptions.h"

#include <utility>

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

bool CWnd::BindHandle(HWND hwnd) noexcept {
    // Without the property no message would reach this object: the window would run with none
    // of its handlers.
    if (!SetPropA(hwnd, kObjectProperty, this)) return false;
    hwnd_ = hwnd;
    ownedWindow_.reset(hwnd);
    return true;
}

void CWnd::UnbindHandle() noexcept {
    if (hwnd_ != nullptr) RemovePropA(hwnd_, kObjectProperty);
    // The window is already going: let go of it without destroying it again.
    ownedWindow_.release();
    hwnd_ = nullptr;
}

void CWnd::Attach(HWND hwnd) noexcept {
    DestroyWindowNow();
    hwnd_ = hwnd;
}

void CWnd::AdoptWindow(OwnedWindow window) noexcept {
    DestroyWindowNow();
    hwnd_ = window.get();
    ownedWindow_ = std::move(window);
}

HWND CWnd::Detach() noexcept {
    HWND hwnd = hwnd_;
    if (hwnd != nullptr && FromHandle(hwnd) == this) RemovePropA(hwnd, kObjectProperty);
    ownedWindow_.release();
    hwnd_ = nullptr;
    return hwnd;
}

void CWnd::DestroyWindowNow() noexcept {
    // hwnd_ stays set while an owned window is destroyed: its last messages are still handled
    // through it, and WM_NCDESTROY clears it for a bound window.
    ownedWindow_.reset();
    hwnd_ = nullptr;
}

bool CWnd::CreateFrameworkWindow(DWORD exStyle, const char* title, DWORD style, int x, int y, int width,
                                 int height, HWND parent, HMENU menu) {
    DestroyWindowNow();
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
    // WM_NCCREATE binds the window to this object, which owns it from then on.
    HWND hwnd = CreateWindowExA(exStyle, kWindowClassName, title, style, x, y, width, height, parent, menu,
                                instance, this);
    return hwnd != nullptr;
}

LRESULT CWnd::DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd_, message, wParam, lParam);
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    const MessageEntry* entry = FindMessageEntry(*GetMessageTable(), message, wParam);
    if (entry != nullptr) return entry->handler(*this, wParam, lParam);
    return DefaultProcessing(message, wParam, lParam);
}

LRESULT CWnd::DispatchGuarded(UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        return Dispatch(message, wParam, lParam);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    // Outside the handlers: the exception is gone, and with it whatever memory it held.
    return OnHandlerFailure(message, wParam, lParam);
}

LRESULT CWnd::OnHandlerFailure(UINT message, WPARAM, LPARAM) noexcept {
    if (message == WM_NCCREATE) return FALSE;
    if (message == WM_CREATE) return -1;
    return 0;
}

LRESULT CALLBACK CWnd::WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* self = FromHandle(hwnd);
    if (self == nullptr && message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        self = static_cast<CWnd*>(create->lpCreateParams);
        // FALSE from WM_NCCREATE fails the creation, and CreateFrameworkWindow reports it.
        if (self != nullptr && !self->BindHandle(hwnd)) return FALSE;
    }
    if (self == nullptr) return DefWindowProcA(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        LRESULT result = self->DispatchGuarded(message, wParam, lParam);
        self->UnbindHandle();
        self->OnWindowGone();
        return result;
    }
    return self->DispatchGuarded(message, wParam, lParam);
}
