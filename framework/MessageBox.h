// The framework's message box: caption from the application title, a default icon, the help
// context while shown, and an owner taken from whatever window the thread has active.
#pragma once

#include "framework/Text.h"

#include <windows.h>

// Text from the string table; a help id of -1 stands for the string id itself. Returns the
// button pressed (0 when no box could be shown).
int ShowMessageBox(UINT stringId, UINT style, UINT helpId = static_cast<UINT>(-1));
int ShowMessageBox(const CText& text, UINT style, UINT helpId = 0);

// The style actually shown: the exclamation icon is added when style names no icon and its
// buttons are OK, OK/Cancel, Yes/No/Cancel or Yes/No.
UINT MessageBoxStyleWithIcon(UINT style) noexcept;
