// The loopback server, the progress recorder and the socket start-up shared by the tests.
#include "TransferTestSupport.h"

#include "net/SocketStartup.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

namespace transfer_test {

namespace {
const char kRecorderClass[] = "ParvoletTestProgressRecorder";
constexpr int kServerBoundMs = 20000; // every wait of the server thread ends by itself
} // namespace

void StartSockets() { ASSERT_TRUE(StartWindowsSockets()); }

ProgressRecorder::ProgressRecorder() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = &ProgressRecorder::Procedure;
    wc.hInstance = instance;
    wc.lpszClassName = kRecorderClass;
    RegisterClassA(&wc); // fails harmlessly when already registered
    window_ = CreateWindowExA(0, kRecorderClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window_ != nullptr) SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

ProgressRecorder::~ProgressRecorder() { DestroyWindowNow(); }

void ProgressRecorder::DestroyWindowNow() {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
}

ProgressTarget ProgressRecorder::Target() const {
    ProgressTarget target{};
    target.window = window_;
    target.message = PROGRESS_MESSAGE;
    return target;
}

bool ProgressRecorder::WaitForFinish(DWORD timeoutMs) {
    return PumpUntil(
        [this] {
            for (const auto& m : messages)
                if (m.first == PROGRESS_FINISHED) return true;
            return false;
        },
        timeoutMs);
}

LRESULT CALLBACK ProgressRecorder::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ProgressRecorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == PROGRESS_MESSAGE && self != nullptr) {
        self->messages.emplace_back(static_cast<int>(wParam), static_cast<int>(lParam));
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LoopbackServer::LoopbackServer(ServerScript script) : script_(script) {
    StartSockets();
    release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    done_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 5) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(s);
        return;
    }
    listener_ = s;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

LoopbackServer::~LoopbackServer() {
    Release();
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    CloseHandle(release_);
    CloseHandle(done_);
}

void LoopbackServer::Release() { SetEvent(release_); }

bool LoopbackServer::WaitForSession(DWORD timeoutMs) {
    return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0;
}

void LoopbackServer::Serve() {
    SOCKET connection = INVALID_SOCKET;
    if (peer::Readable(listener_, kServerBoundMs)) connection = accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) {
        SetEvent(done_);
        return;
    }
    accepted_ = true;
    const char greeting[4] = {'H', 'E', 'L', 'O'};
    bool ok = true;
    switch (script_.greeting) {
    case ServerScript::Greeting::whole:
        ok = peer::SendAll(connection, greeting, 4);
        break;
    case ServerScript::Greeting::inPieces:
        ok = peer::SendAll(connection, greeting, 2);
        Sleep(100);
        ok = ok && peer::SendAll(connection, greeting + 2, 2);
        break;
    case ServerScript::Greeting::closeAtOnce:
        closesocket(connection);
        SetEvent(done_);
        return;
    case ServerScript::Greeting::never:
        WaitForSingleObject(release_, kServerBoundMs);
        closesocket(connection);
        SetEvent(done_);
        return;
    }
    if (ok && script_.extraBytes > 0) {
        std::vector<char> extra(script_.extraBytes, 'x');
        ok = peer::SendAll(connection, extra.data(), static_cast<int>(extra.size()));
    }
    if (script_.readDelayMs > 0) Sleep(script_.readDelayMs);
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        if (!peer::Readable(connection, kServerBoundMs)) {
            endedInError_ = true;
            break;
        }
        int got = recv(connection, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got == 0) break;
        if (got < 0) {
            endedInError_ = true;
            break;
        }
        received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
    }
    closesocket(connection);
    SetEvent(done_);
}

unsigned short UnusedPort() {
    StartSockets();
    return peer::UnusedPort();
}

} // namespace transfer_test
