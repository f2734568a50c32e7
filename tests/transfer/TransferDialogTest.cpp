// The progress dialog as a real window: the state table of the progress messages, the buttons
// and their focus, Retry, the close request, Escape, OK and the cancel question.
#include "TransferTestSupport.h"

#include "framework/WinApp.h"
#include "res/resource.h"
#include "transfer/TransferDialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using namespace transfer_test;

namespace {

constexpr DWORD kBoundMs = 10000;

std::string Text(UINT id) { return LoadResourceText(id).Data(); }

std::string WindowText(HWND window) {
    char buffer[512] = {};
    if (window != nullptr) GetWindowTextA(window, buffer, sizeof buffer);
    return buffer;
}

struct ButtonView {
    bool visible;
    bool enabled;
};

// Answers the first message box of the dialog's thread with one button, from a thread of its
// own (the box runs a modal loop on the dialog's thread). Records what it saw.
class BoxAnswerer {
public:
    BoxAnswerer(DWORD dialogThread, HWND dialog, int answer) {
        thread_ = std::thread([=] {
            const DWORD start = GetTickCount();
            while (!stop_ && GetTickCount() - start < kBoundMs) {
                HWND box = FindBox(dialogThread, dialog);
                if (box != nullptr) {
                    text_ = WindowText(GetDlgItem(box, 0xFFFF));
                    seen_ = true;
                    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(GetDlgItem(box, answer)));
                    return;
                }
                Sleep(20);
            }
        });
    }
    ~BoxAnswerer() { Finish(); }
    void Finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool Seen() { return seen_; }
    const std::string& BoxText() { return text_; }

private:
    struct Search {
        HWND dialog;
        HWND found;
    };
    static BOOL CALLBACK Visit(HWND window, LPARAM parameter) {
        auto* s = reinterpret_cast<Search*>(parameter);
        char className[32] = {};
        GetClassNameA(window, className, sizeof className);
        if (window != s->dialog && std::string(className) == "#32770" && IsWindowVisible(window)) {
            s->found = window;
            return FALSE;
        }
        return TRUE;
    }
    static HWND FindBox(DWORD threadId, HWND dialog) {
        Search search{dialog, nullptr};
        EnumThreadWindows(threadId, &BoxAnswerer::Visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> seen_{false};
    std::string text_;
};

// A dialog whose worker is connected to a server that never greets, so no worker message arrives
// unasked while a test drives the dialog; the fixture then sends the progress states itself.
class TransferDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerScript script;
        script.greeting = ServerScript::Greeting::never;
        server_ = std::make_unique<LoopbackServer>(script);
        ASSERT_TRUE(server_->Listening());
        dialog_ = std::make_unique<TransferDialog>("abc", "127.0.0.1", server_->Port(), 1234, nullptr);
        ASSERT_TRUE(dialog_->CreateModeless());
        hwnd_ = dialog_->GetSafeHwnd();
    }

    void TearDown() override {
        // Let the worker's final message arrive while the window still stands, so it cannot
        // reach the next test's dialog through the shared request.
        if (server_) server_->Release();
        if (dialog_ && dialog_->HasWindow()) {
            PumpUntil([&] { return WindowText(Bar()) == Text(IDS_BAR_FAILURE) || !Bar(); }, kBoundMs, hwnd_);
            if (!Bar()) PumpFor(500, hwnd_);
        }
        dialog_.reset();
        server_.reset();
    }

    void WaitUntilTransferring() {
        ASSERT_TRUE(PumpUntil([&] { return WindowText(Bar()) == Text(IDS_BAR_TRANSFERRING); }, kBoundMs, hwnd_));
    }

    LRESULT Progress(int state, int result) {
        return SendMessageA(hwnd_, PROGRESS_MESSAGE, static_cast<WPARAM>(state), static_cast<LPARAM>(result));
    }

    HWND Bar() const { return GetDlgItem(hwnd_, IDC_STATUS_BAR); }
    std::string Status() const { return WindowText(GetDlgItem(hwnd_, IDC_STATUS_TEXT)); }
    ButtonView Button(int id) const {
        HWND b = GetDlgItem(hwnd_, id);
        return {IsWindowVisible(b) != FALSE, IsWindowEnabled(b) != FALSE};
    }
    void ExpectButtons(bool cancel, bool ok, bool retry) const {
        const struct {
            int id;
            bool on;
        } rows[] = {{IDCANCEL, cancel}, {IDOK, ok}, {IDC_RETRY, retry}};
        for (const auto& row : rows) {
            ButtonView view = Button(row.id);
            EXPECT_EQ(view.visible, row.on) << "button " << row.id;
            EXPECT_EQ(view.enabled, row.on) << "button " << row.id;
        }
    }
    int FocusId() const { return GetFocus() != nullptr ? GetDlgCtrlID(GetFocus()) : 0; }
    void Command(int id) { SendMessageA(hwnd_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

    std::unique_ptr<LoopbackServer> server_;
    std::unique_ptr<TransferDialog> dialog_;
    HWND hwnd_ = nullptr;
};

} // namespace

TEST_F(TransferDialogTest, OpensEmptyWithCancelAlone) {
    // Nothing pumped yet: no worker message can have been handled.
    EXPECT_EQ(Status(), "");
    ASSERT_NE(Bar(), nullptr);
    EXPECT_EQ(WindowText(Bar()), "");
    ExpectButtons(true, false, false);
    // The control drops WS_BORDER itself; child, visible, bottom, no divider remain.
    EXPECT_EQ(GetWindowLongA(Bar(), GWL_STYLE) & 0x50000043, 0x50000043);
    WaitUntilTransferring();
    EXPECT_EQ(Status(), Text(IDS_STATUS_PLEASE_WAIT));
}

TEST_F(TransferDialogTest, ProgressStatesDriveTextsAndButtons) {
    WaitUntilTransferring();
    struct Row {
        int state;
        int result;
        UINT status;
        UINT bar;
        bool cancel, ok, retry;
        int focus;
    };
    const Row rows[] = {
        {2, 0, IDS_STATUS_FAILED, IDS_BAR_FAILURE, true, false, true, IDC_RETRY},
        {1, 1, IDS_STATUS_FAILED, IDS_BAR_TRANSFERRING, true, false, true, IDC_RETRY}, // bar only
        {0, 9, IDS_STATUS_PLEASE_WAIT, IDS_BAR_CONNECTING, true, false, true, IDC_RETRY},
        {2, 1, IDS_STATUS_COMPLETE, IDS_BAR_SUCCESS, false, true, false, IDOK},
        {3, 1, IDS_STATUS_COMPLETE, IDS_BAR_SUCCESS, false, true, false, IDOK},  // unknown state
        {-1, 0, IDS_STATUS_COMPLETE, IDS_BAR_SUCCESS, false, true, false, IDOK}, // unknown state
        {2, 2, IDS_STATUS_FAILED, IDS_BAR_FAILURE, true, false, true, IDC_RETRY},
        {2, 1, IDS_STATUS_COMPLETE, IDS_BAR_SUCCESS, false, true, false, IDOK},
        {2, -1, IDS_STATUS_FAILED, IDS_BAR_FAILURE, true, false, true, IDC_RETRY},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("state " + std::to_string(row.state) + " result " + std::to_string(row.result));
        EXPECT_EQ(Progress(row.state, row.result), 0);
        EXPECT_EQ(Status(), Text(row.status));
        EXPECT_EQ(WindowText(Bar()), Text(row.bar));
        ExpectButtons(row.cancel, row.ok, row.retry);
        EXPECT_EQ(FocusId(), row.focus);
    }
}

TEST_F(TransferDialogTest, ShowButtonsFocusesTheLastShownInCancelOkRetryOrder) {
    struct Row {
        int cancel, ok, retry;
        int focus;
    };
    const Row rows[] = {{1, 1, 1, IDC_RETRY}, {1, 7, 0, IDOK}, {-1, 0, 0, IDCANCEL}, {0, 1, 0, IDOK}};
    for (const Row& row : rows) {
        dialog_->ShowButtons(row.cancel, row.ok, row.retry);
        ExpectButtons(row.cancel != 0, row.ok != 0, row.retry != 0);
        EXPECT_EQ(FocusId(), row.focus);
    }
    dialog_->ShowButtons(0, 0, 0);
    ExpectButtons(false, false, false);
}

TEST_F(TransferDialogTest, RetryKeepsTheFailureTextsUntilTheNewWorkerReports) {
    WaitUntilTransferring();
    Progress(2, 0);
    Command(IDC_RETRY);
    ExpectButtons(true, false, false);
    EXPECT_EQ(FocusId(), IDCANCEL);
    EXPECT_EQ(Status(), Text(IDS_STATUS_FAILED));
    EXPECT_EQ(WindowText(Bar()), Text(IDS_BAR_FAILURE));
    // The new worker connects to the same server (its backlog holds the connection).
    WaitUntilTransferring();
    EXPECT_EQ(Status(), Text(IDS_STATUS_PLEASE_WAIT));
}

TEST_F(TransferDialogTest, CancelAsksAndOnlyYesEndsWithTwo) {
    WaitUntilTransferring();
    {
        BoxAnswerer no(GetCurrentThreadId(), hwnd_, IDNO);
        Command(IDCANCEL);
        no.Finish();
        EXPECT_TRUE(no.Seen());
        EXPECT_EQ(no.BoxText(), Text(IDS_CONFIRM_CANCEL));
    }
    EXPECT_FALSE(dialog_->IsEnding());
    EXPECT_EQ(WindowText(Bar()), Text(IDS_BAR_TRANSFERRING));
    {
        BoxAnswerer yes(GetCurrentThreadId(), hwnd_, IDYES);
        Command(IDCANCEL);
        yes.Finish();
        EXPECT_TRUE(yes.Seen());
    }
    EXPECT_TRUE(dialog_->IsEnding());
    EXPECT_EQ(dialog_->Result(), IDCANCEL);
}

TEST_F(TransferDialogTest, CloseRequestDuringATransferRemovesTheBarAndAsks) {
    WaitUntilTransferring();
    BoxAnswerer no(GetCurrentThreadId(), hwnd_, IDNO);
    SendMessageA(hwnd_, WM_CLOSE, 0, 0);
    // The default processing posts the Cancel command; the question comes when it is handled.
    PumpUntil([&] { return no.Seen(); }, kBoundMs, hwnd_);
    PumpFor(100, hwnd_);
    no.Finish();
    EXPECT_TRUE(no.Seen());
    EXPECT_EQ(Bar(), nullptr);
    EXPECT_FALSE(dialog_->IsEnding());
    // Lines for the missing bar are lost; the rest of the dialog goes on.
    Progress(2, 1);
    EXPECT_EQ(Status(), Text(IDS_STATUS_COMPLETE));
    ExpectButtons(false, true, false);
}

TEST_F(TransferDialogTest, AfterSuccessCloseAndEscapeDoNothingAndOkEndsWithOne) {
    WaitUntilTransferring();
    Progress(2, 1);
    BoxAnswerer watcher(GetCurrentThreadId(), hwnd_, IDNO);

    SendMessageA(hwnd_, WM_CLOSE, 0, 0);
    PumpFor(200, hwnd_);
    EXPECT_EQ(Bar(), nullptr);

    // Escape through the dialog's keyboard handling issues the Cancel command.
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(GetFocus(), WM_KEYUP, VK_ESCAPE, 0xC0010001);
    PumpFor(200, hwnd_);
    Command(IDCANCEL);
    PumpFor(100, hwnd_);
    EXPECT_FALSE(dialog_->IsEnding());
    EXPECT_FALSE(watcher.Seen());

    Command(IDOK);
    EXPECT_TRUE(dialog_->IsEnding());
    EXPECT_EQ(dialog_->Result(), IDOK);
    watcher.Finish();
    EXPECT_FALSE(watcher.Seen());
    EXPECT_EQ(Status(), Text(IDS_STATUS_COMPLETE)); // OK saved the control back unchanged
}
