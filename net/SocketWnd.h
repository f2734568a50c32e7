// The hidden window that receives a thread's socket notifications and hands them to the registry.
#pragma once

#include "framework/Wnd.h"

class CSocketWnd : public CWnd {
    DECLARE_RUNTIME_CLASS(CSocketWnd)
public:
    // Makes the invisible top-level window; CResourceException when it cannot be made.
    void Create();

    const MessageTable* GetMessageTable() const noexcept override { return &messageTable; }
    static const MessageTable messageTable;
};
