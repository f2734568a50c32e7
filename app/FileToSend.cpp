// The file to send: opened by the name as typed, shown in capitals.
#include "app/FileToSend.h"

#include "config/TextOperations.h"
#include "framework/PathText.h"

FileToSend TakeFileToSend(const CText& commandLineText) {
    FileToSend file;
    file.name = TrimText(commandLineText);
    file.shown = platform::ShownPath(file.name);
    file.shown.MakeUpper();
    return file;
}
