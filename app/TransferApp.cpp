// Start-up of the program, in the order that decides which message a broken setup shows: the
// sockets layer, the file name, the configuration, then the file to send.
#include "app/TransferApp.h"

#include "app/DecimalConversion.h"
#include "app/FileToSend.h"
#include "app/PayloadLoader.h"
#include "config/PathOperations.h"
#include "config/ProfileReader.h"
#include "config/TextOperations.h"
#include "framework/MessageBox.h"
#include "net/SocketStartup.h"
#include "res/resource.h"

#include "transfer/TlsSettings.h"
#include "transfer/TransferDialog.h"

#include <string>
#include <vector>

IMPLEMENT_RUNTIME_CLASS(TransferApp, CWinApp)

namespace {
// The system's own words for an error code, in the ANSI code page; the number when it has none.
CText SystemErrorText(unsigned long code) {
    std::vector<char> buffer(512);
    for (;;) {
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
        if (length > 0) return TrimText(CText(buffer.data(), length)); // it ends in CR LF
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= 65536)
            return CText(std::to_string(code).c_str());
        buffer.resize(buffer.size() * 4);
    }
}

const CommandEntry transferAppCommands[] = {
    {kHelpCommand, [](CWinApp& app) { app.OnHelp(); }},
};

// The one application object; WinMain finds it.
TransferApp theApp;
} // namespace

const CommandMap TransferApp::commandMap = MakeHandlerTable(&CWinApp::commandMap, transferAppCommands);

TransferApp::TransferApp() : CWinApp(nullptr) {}
TransferApp::~TransferApp() = default;

int TransferApp::StartApplication() {
    CText payload;

    EnableThreeDimensionalControls();

    if (!StartWindowsSockets()) {
        ShowMessageBox(IDS_SOCKETS_INIT_FAILED, 0);
        return 0;
    }

    const FileToSend file = TakeFileToSend(CommandLineText());
    if (file.name.IsEmpty()) {
        ShowMessageBox(IDS_NO_FILE_ARGUMENT, MB_ICONSTOP);
        return 0;
    }

    const CText configPath = JoinPath(GetModuleDirectory(), "Parvolet.ini");
    // A file that is there but cannot be read (held by an editor that is saving it, or denied)
    // is not a missing one: say why.
    const unsigned long configError = CheckProfileFile(configPath);
    if (configError != 0) {
        ShowMessageBox(LoadResourceText(IDS_CONFIG_READ_FAILED) + "\n\n" + SystemErrorText(configError), MB_ICONSTOP,
                       0);
        return 0;
    }
    CText serverAddress = ReadProfileValue(configPath, "Network", "ServerAddress");
    int32_t clientId = ConvertDecimal(ReadProfileValue(configPath, "Network", "ClientID"));
    int32_t port = ConvertDecimal(ReadProfileValue(configPath, "Network", "Port"));
    const TlsSettings tls = MakeTlsSettings(ReadProfileValue(configPath, "Network", "Tls"),
                                            ReadProfileValue(configPath, "Network", "TlsServerName"),
                                            ReadProfileValue(configPath, "Network", "TlsPin"), serverAddress);
    // Only the address is checked, and only after all three reads; any port or id goes on.
    if (serverAddress.IsEmpty()) {
        ShowMessageBox(IDS_CONFIG_MISSING, MB_ICONSTOP);
        return 0;
    }

    unsigned long readError = 0;
    switch (LoadPayload(file.name, payload, readError)) {
    case PayloadLoad::loaded:
        break;
    case PayloadLoad::notOpened:
        ShowMessageBox(LoadResourceText(IDS_FILE_NOT_FOUND) + file.shown, MB_ICONSTOP, 0);
        return 0;
    case PayloadLoad::tooLarge:
        // A length beyond 32 bits would wrap in the frame; memory may run out before that.
        ShowMessageBox(LoadResourceText(IDS_FILE_TOO_LARGE) + file.shown, MB_ICONSTOP, 0);
        return 0;
    case PayloadLoad::readFailed:
        // Held by another program past the wait, access denied, a share that dropped, a lock on a
        // range: the file is there, so "not found" would mislead.
        ShowMessageBox(LoadResourceText(IDS_FILE_READ_FAILED) + file.shown + "\n\n" + SystemErrorText(readError),
                       MB_ICONSTOP, 0);
        return 0;
    }

    // The dialog shares the payload's buffer; dropping ours leaves it the only holder.
    TransferDialog dialog(payload, serverAddress, port, clientId, nullptr);
    dialog.UseTls(tls);
    payload.Clear();
    const INT_PTR result = dialog.RunModal();
    if (result == -1) {
        // The window could not be made (no memory or window handles left): say so, and end as
        // the other refusals before the dialog do.
        ShowMessageBox(IDS_DIALOG_FAILED, MB_ICONSTOP);
        return 0;
    }
    SetExitStatus(static_cast<int>(result));
    return 0;
}
