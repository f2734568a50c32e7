// Windows paths held in texts: the running executable's path and directory, the directory part of
// a path, and joining a directory and a file name into one normalised path.
#pragma once

#include "framework/Text.h"

// The full path of the running executable, however long; the empty text when the platform cannot
// tell it.
CText GetModulePath();

// Everything before the last backslash; the empty text when there is none.
CText GetDirectoryPart(CText path);

// The executable's directory without a trailing backslash (a bare drive such as D: in a root).
CText GetModuleDirectory();

// The trimmed directory and the trimmed name joined by one backslash, then normalised. An empty
// directory gives the trimmed name alone.
CText JoinPath(CText directory, CText name);

// Collapses runs of backslashes (keeping the two that begin a network path), drops one trailing
// backslash, and roots a bare or drive-relative drive (D: -> D:\, D:data -> D:\data).
void NormalizePath(CText& path);
