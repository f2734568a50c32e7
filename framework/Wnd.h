// The window object: a C++ object bound to one window handle, with a static message table per
// class chained to its base's. One static window procedure binds `this` when the window is made
// and forwards each message to the first matching table entry.
#pragma once

#include "framework/HandlerTable.h"
#include "framework/Handles.h"
#include "framework/Object.h"
#include "framework/Text.h"

#include <windows.h>

class CWnd;

// One entry of a message table. For WM_COMMAND, notifyCode and controlId select the command;
// for other messages they are ignored. The handler unpacks the parameters into typed arguments
// (written as a captureless lambda next to the class) and returns the message result.
struct MessageEntry {
    UINT message;
    UINT notifyCode;
    UINT controlId;
    LRESULT (*handler)(CWnd& window, WPARAM wParam, LPARAM lParam);
};

using MessageTable = HandlerTable<MessageEntry>;

// The first entry for the message in the table or its bases; null when none. For WM_COMMAND the
// notification code and control id must match too.
const MessageEntry* FindMessageEntry(const MessageTable& table, UINT message, WPARAM wParam) noexcept;

class CWnd : public CObject {
    DECLARE_RUNTIME_CLASS(CWnd)
public:
    CWnd() noexcept = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    // Destroys a window that still exists and belongs to this object; a borrowed one is left.
    ~CWnd() override;

    HWND GetSafeHwnd() const noexcept { return hwnd_; }
    bool HasWindow() const noexcept { return hwnd_ != nullptr && IsWindow(hwnd_); }

    // Registers (once) a window class for framework windows and creates a window of it bound to
    // this object. False when the window cannot be made.
    bool CreateFrameworkWindow(DWORD exStyle, const char* title, DWORD style, int x, int y, int width,
                               int height, HWND parent, HMENU menu);

    // Borrows an existing window without routing its messages (the controls of a dialog, which go
    // with the dialog): the object never destroys it. A window the object owned until now is
    // destroyed first.
    void Attach(HWND hwnd) noexcept;
    // Lets go of the window without destroying it; the caller takes over a window this object
    // owned. Its messages no longer reach this object.
    HWND Detach() noexcept;

    // Destroys the window if this object owns it, and forgets a borrowed one; the object stays,
    // without a window.
    void DestroyWindowNow() noexcept;

    virtual const MessageTable* GetMessageTable() const noexcept { return &messageTable; }

    // The object bound to a window by a framework window procedure, or null.
    static CWnd* FromHandle(HWND hwnd) noexcept;

    static const MessageTable messageTable;

protected:
    // Default processing of a message no table entry handles.
    virtual LRESULT DefaultProcessing(UINT message, WPARAM wParam, LPARAM lParam);
    // Routes a message through the table chain; default processing when no entry matches.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    // Dispatch for a window procedure: no exception leaves it. The system's frames between the
    // procedure and our own code cannot be unwound (the 32-bit program's unwind tables stop at
    // them, and the process is ended), so a handler's exception is caught here, a framework
    // exception deleted, and OnHandlerFailure gives the message's result.
    LRESULT DispatchGuarded(UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    // The result of a message whose handler threw. The base: the message counts as handled with
    // 0 (a lost notification, an update not drawn), except that a window whose creation message
    // failed is not made.
    virtual LRESULT OnHandlerFailure(UINT message, WPARAM wParam, LPARAM lParam) noexcept;

    // Takes over a window made for this object without routing its messages (a control it
    // creates): destroying the object destroys the window.
    void AdoptWindow(OwnedWindow window) noexcept;

    // Binds a window this object is making (before WM_CREATE reaches the tables): its messages
    // reach this object, which owns it. False when the binding cannot be recorded on the window;
    // the caller must then fail the window's creation.
    bool BindHandle(HWND hwnd) noexcept;
    // Undoes BindHandle when the window is going (window procedures other than CWnd's use it).
    void UnbindHandle() noexcept;
    // Called when the window is gone (WM_NCDESTROY).
    virtual void OnWindowGone() noexcept {}

    // The window this object stands for, owned or borrowed; null for none.
    HWND hwnd_ = nullptr;

private:
    // Holds hwnd_ too when this object owns its window; empty when it only borrows one.
    OwnedWindow ownedWindow_;

    static LRESULT CALLBACK WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// The module that holds the program's resources (the executable).
HINSTANCE ModuleInstance() noexcept;
