// The progress dialog as a real window: the state table of the progress messages, the buttons
// and their focus (also across activations), Retry, a failed worker start, the close request,
// Escape, OK and the cancel question.
#include "TransferTestSupport.h"

#include "framework/WinApp.h"
#include "res/resource.h"
#include "transfer/TransferDialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <new>
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

// Queues a state from a thread of its own without waiting, as the worker does, and waits until
// the dialog has handled it: a message the same thread sends afterwards is handled after it, so
// its reply means the state is on screen. False when that did not happen in time.
bool NotifyAsWorker(HWND dialog, int state, int result) {
    std::atomic<bool> handled{false};
    std::thread worker([&] {
        SendNotifyMessageA(dialog, PROGRESS_MESSAGE, static_cast<WPARAM>(state), static_cast<LPARAM>(result));
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kBoundMs, &ignored) != 0) handled = true;
    });
    const bool done = PumpUntil([&] { return handled.load(); }, kBoundMs, dialog);
    worker.join();
    return done;
}

struct ButtonView {
    bool visible;
    bool enabled;
};

// Answers the first message box of the dialog's thread with one button, from a thread of its
// own (the box runs a modal loop on the dialog's thread). Records what it saw.
class BoxAnswerer {
public:
    // beforeAnswer runs on the answering thread while the box is open.
    BoxAnswerer(DWORD dialogThread, HWND dialog, int answer, std::function<void()> beforeAnswer = {}) {
        thread_ = std::thread([=] {
            const DWORD start = GetTickCount();
            while (!stop_ && GetTickCount() - start < kBoundMs) {
                HWND box = FindBox(dialogThread, dialog);
                if (box != nullptr) {
                    text_ = WindowText(GetDlgItem(box, 0xFFFF));
                    if (beforeAnswer) beforeAnswer();
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

    void Progress(int state, int result) {
        EXPECT_TRUE(NotifyAsWorker(hwnd_, state, result)) << "state " << state << " was not handled";
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
    // A window of another test program on the same display may have taken the activation; the
    // dialog, activated again, must give the focus back to its state's button.
    int FocusId() const {
        if (GetActiveWindow() != hwnd_) SetActiveWindow(hwnd_);
        return GetFocus() != nullptr ? GetDlgCtrlID(GetFocus()) : 0;
    }
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
        Progress(row.state, row.result);
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

// The question's own loop handles the worker's messages: a transfer that ends behind the box is
// shown, and after No the new state's button has the focus (Cancel, focused when the box
// opened, is hidden by then).
TEST_F(TransferDialogTest, AStateArrivingWhileTheCancelQuestionIsOpenIsShownAndNoKeepsIt) {
    WaitUntilTransferring();
    std::atomic<bool> handled{false};
    BoxAnswerer no(GetCurrentThreadId(), hwnd_, IDNO, [&] {
        SendNotifyMessageA(hwnd_, PROGRESS_MESSAGE, PROGRESS_FINISHED, TRANSFER_SUCCEEDED);
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutA(hwnd_, WM_NULL, 0, 0, SMTO_NORMAL, kBoundMs, &ignored) != 0) handled = true;
    });
    Command(IDCANCEL);
    no.Finish();
    EXPECT_TRUE(no.Seen());
    EXPECT_TRUE(handled);
    PumpFor(100, hwnd_);
    EXPECT_FALSE(dialog_->IsEnding());
    EXPECT_EQ(Status(), Text(IDS_STATUS_COMPLETE));
    EXPECT_EQ(WindowText(Bar()), Text(IDS_BAR_SUCCESS));
    ExpectButtons(false, true, false);
    EXPECT_EQ(FocusId(), IDOK);
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

namespace {

// A top-level window of the test's thread that can take the activation away from the dialog.
class OtherWindow {
public:
    OtherWindow()
        : hwnd_(CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                nullptr, nullptr)) {}
    ~OtherWindow() {
        if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    }
    OtherWindow(const OtherWindow&) = delete;
    OtherWindow& operator=(const OtherWindow&) = delete;
    HWND Get() const { return hwnd_; }

private:
    HWND hwnd_;
};

} // namespace

// The state's button keeps the focus when the dialog is activated late, or when the dialog
// window itself gets the focus, so that Space presses it; a button the user moved to with the
// keyboard is the one that comes back.
TEST_F(TransferDialogTest, ActivationGivesTheFocusBackToTheStatesButton) {
    WaitUntilTransferring();
    OtherWindow other;
    ASSERT_NE(other.Get(), nullptr);
    struct Row {
        int state;
        int result;
        int focus;
    };
    const Row rows[] = {{1, 0, IDCANCEL}, {2, 0, IDC_RETRY}, {0, 0, IDC_RETRY}, {2, 1, IDOK}};
    for (const Row& row : rows) {
        SCOPED_TRACE("state " + std::to_string(row.state) + " result " + std::to_string(row.result));
        // The state arrives while another window is active; the dialog comes back afterwards.
        SetActiveWindow(other.Get());
        ASSERT_EQ(GetActiveWindow(), other.Get());
        Progress(row.state, row.result);
        SetActiveWindow(other.Get());
        SetActiveWindow(hwnd_);
        EXPECT_EQ(FocusId(), row.focus);
        // What activation does when the focus is not inside the dialog.
        SetFocus(hwnd_);
        EXPECT_EQ(FocusId(), row.focus);
    }

    // Failed: Tab from Retry wraps to Cancel, which keeps the focus across a deactivation.
    Progress(2, 0);
    ASSERT_EQ(FocusId(), IDC_RETRY);
    SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hwnd_, IDCANCEL)), TRUE);
    ASSERT_EQ(FocusId(), IDCANCEL);
    SetActiveWindow(other.Get());
    SetActiveWindow(hwnd_);
    EXPECT_EQ(FocusId(), IDCANCEL);

    // Succeeded, after a late activation: Space on the focused button is OK.
    Progress(2, 1);
    SetActiveWindow(other.Get());
    SetActiveWindow(hwnd_);
    SetFocus(hwnd_);
    ASSERT_EQ(FocusId(), IDOK);
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_SPACE, 0x00390001);
    PostMessageA(GetFocus(), WM_KEYUP, VK_SPACE, 0xC0390001);
    EXPECT_TRUE(PumpUntil([&] { return dialog_->IsEnding(); }, kBoundMs, hwnd_));
    EXPECT_EQ(dialog_->Result(), IDOK);
}

// The progress number is also DM_SETDEFID; the dialog's own thread may send that (the keyboard
// handling, a control, the program itself), and it must neither change the state nor be lost.
TEST_F(TransferDialogTest, SetDefaultButtonFromTheDialogsThreadIsNoProgress) {
    WaitUntilTransferring();
    Progress(2, 1);
    // As states, 1 would read "transferring" and 2 "failed".
    for (int id : {IDOK, IDCANCEL}) {
        SCOPED_TRACE("default button " + std::to_string(id));
        SendMessageA(hwnd_, DM_SETDEFID, static_cast<WPARAM>(id), 0);
        EXPECT_EQ(Status(), Text(IDS_STATUS_COMPLETE));
        EXPECT_EQ(WindowText(Bar()), Text(IDS_BAR_SUCCESS));
        ExpectButtons(false, true, false);
        EXPECT_EQ(FocusId(), IDOK);
        const LRESULT defaultId = SendMessageA(hwnd_, DM_GETDEFID, 0, 0);
        EXPECT_EQ(HIWORD(defaultId), DC_HASDEFID);
        EXPECT_EQ(LOWORD(defaultId), id);
    }
    // A state posted to the dialog's queue is not the worker's either.
    PostMessageA(hwnd_, PROGRESS_MESSAGE, PROGRESS_FINISHED, TRANSFER_FAILED);
    PumpFor(50, hwnd_);
    EXPECT_EQ(WindowText(Bar()), Text(IDS_BAR_SUCCESS));
}

namespace {

// A dialog that counts its worker starts instead of making workers; none starts when told so
// (as when no thread can be made).
class CountingDialog : public TransferDialog {
public:
    explicit CountingDialog(bool starts) : TransferDialog("abc", "127.0.0.1", 1, 1234, nullptr), starts_(starts) {}
    int launches = 0;

protected:
    bool LaunchWorker() override {
        ++launches;
        return starts_;
    }

private:
    bool starts_;
};

} // namespace

TEST(TransferDialogRetry, StartsNoSecondWorkerWhileOneRuns) {
    CountingDialog dialog(true);
    ASSERT_TRUE(dialog.CreateModeless());
    HWND hwnd = dialog.GetSafeHwnd();
    EXPECT_EQ(dialog.launches, 1);
    // Retry is hidden while the worker runs; a command for it must not start another.
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_RETRY, BN_CLICKED), 0);
    PostMessageA(GetDlgItem(hwnd, IDC_RETRY), BM_CLICK, 0, 0);
    PumpFor(100, hwnd);
    EXPECT_EQ(dialog.launches, 1);
    EXPECT_TRUE(NotifyAsWorker(hwnd, PROGRESS_FINISHED, TRANSFER_FAILED));
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_RETRY, BN_CLICKED), 0);
    EXPECT_EQ(dialog.launches, 2);
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_RETRY, BN_CLICKED), 0);
    EXPECT_EQ(dialog.launches, 2);
}

TEST(TransferDialogWithoutWorker, ShowsTheFailureAtOnceAndRetryTriesAgain) {
    CountingDialog dialog(false);
    ASSERT_TRUE(dialog.CreateModeless());
    HWND hwnd = dialog.GetSafeHwnd();
    for (int launches : {1, 2}) {
        SCOPED_TRACE("launch " + std::to_string(launches));
        EXPECT_EQ(dialog.launches, launches);
        EXPECT_EQ(WindowText(GetDlgItem(hwnd, IDC_STATUS_TEXT)), Text(IDS_STATUS_FAILED));
        EXPECT_EQ(WindowText(GetDlgItem(hwnd, IDC_STATUS_BAR)), Text(IDS_BAR_FAILURE));
        for (int id : {IDCANCEL, IDC_RETRY}) EXPECT_TRUE(IsWindowVisible(GetDlgItem(hwnd, id)) && IsWindowEnabled(GetDlgItem(hwnd, id)));
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(hwnd, IDOK)));
        if (GetActiveWindow() != hwnd) SetActiveWindow(hwnd); // see FocusId above
        EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, IDC_RETRY));
        if (launches == 1) SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_RETRY, BN_CLICKED), 0);
    }
    BoxAnswerer yes(GetCurrentThreadId(), hwnd, IDYES);
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    yes.Finish();
    EXPECT_TRUE(yes.Seen());
    EXPECT_TRUE(dialog.IsEnding());
    EXPECT_EQ(dialog.Result(), IDCANCEL);
}

namespace {

// A dialog whose data exchange, which every progress state runs, throws while armed: the
// progress handler running out of memory.
class FailingExchangeDialog : public CountingDialog {
public:
    FailingExchangeDialog() : CountingDialog(true) {}
    bool failing = false;

protected:
    void ExchangeData(DataDirection direction) override {
        if (failing) throw std::bad_alloc();
        TransferDialog::ExchangeData(direction);
    }
};

} // namespace

// The exception must not cross the dialog procedure into the system's frames: the 32-bit program
// cannot unwind through them and would be ended. An earlier state is then left as it was (its
// worker still runs, so Retry is not offered yet); the last one fails the transfer, and the
// dialog goes on: Retry starts a worker, Cancel asks.
TEST(TransferDialogHandlerFailure, AProgressStateThatThrowsFailsTheTransferAndTheDialogGoesOn) {
    FailingExchangeDialog dialog;
    ASSERT_TRUE(dialog.CreateModeless());
    HWND hwnd = dialog.GetSafeHwnd();
    auto shown = [hwnd](int id) { return IsWindowVisible(GetDlgItem(hwnd, id)) && IsWindowEnabled(GetDlgItem(hwnd, id)); };
    dialog.failing = true;
    EXPECT_TRUE(NotifyAsWorker(hwnd, PROGRESS_TRANSFERRING, 0));
    EXPECT_TRUE(shown(IDCANCEL));
    EXPECT_FALSE(shown(IDC_RETRY));
    EXPECT_TRUE(NotifyAsWorker(hwnd, PROGRESS_FINISHED, TRANSFER_SUCCEEDED));
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, IDC_STATUS_TEXT)), Text(IDS_STATUS_FAILED));
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, IDC_STATUS_BAR)), Text(IDS_BAR_FAILURE));
    EXPECT_TRUE(shown(IDCANCEL) && shown(IDC_RETRY));
    EXPECT_FALSE(shown(IDOK));

    dialog.failing = false;
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDC_RETRY, BN_CLICKED), 0);
    EXPECT_EQ(dialog.launches, 2);
    BoxAnswerer yes(GetCurrentThreadId(), hwnd, IDYES);
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    yes.Finish();
    EXPECT_TRUE(yes.Seen());
    EXPECT_EQ(dialog.Result(), IDCANCEL);
}
