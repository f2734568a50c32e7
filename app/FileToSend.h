// The file to send as start-up takes it from the command line.
#pragma once

#include "framework/Text.h"

struct FileToSend {
    CText name;  // opened by this name
    CText shown; // start-up's messages show this
};

// The whole rest of the command line is the name, trimmed: blanks inside it and quotes around it
// stay. It is opened as typed, since a folder may match names case-sensitively (Windows 10 and
// later allow it), where DATA.TXT is not data.txt. Messages show it in capitals.
FileToSend TakeFileToSend(const CText& commandLineText);
