// The transfer worker: one connection, the greeting, the frame in four sends, and the progress
// states. It shares only the request slot with the dialog, and talks back only by queued messages.
#include "transfer/TransferWorker.h"

#include "framework/Exceptions.h"
#include "net/ConnectionRacer.h"
#include "net/Socket.h"
#include "net/SocketFile.h"
#include "net/TlsChannel.h"
#include "transfer/Frame.h"
#include "transfer/ProgressMessages.h"
#include "transfer/ProgressText.h"

#include <climits>
#include <cstdint>
#include <memory>
#include <new>

namespace {

// The one request of the process. It is made on first use and deliberately never destroyed: a
// worker the dialog did not wait for may still read it while the process is ending, after static
// destructors have run, so its texts must never be released before the process itself is gone.
TransferRequest& RequestSlot() {
    static TransferRequest* slot = new TransferRequest{CText(), CText(), 0, 0, {}, {}};
    return *slot;
}

// SendBytes takes an int; a payload beyond INT_MAX bytes goes in int-sized pieces. The stream is
// the socket, or the TLS channel over it.
template <typename Stream>
bool SendAll(Stream& socket, const void* data, size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        int piece = length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
        if (socket.SendBytes(bytes, piece, 0) != piece) return false;
        bytes += piece;
        length -= static_cast<size_t>(piece);
    }
    return true;
}

// Counts the frame bytes the socket hands over and tells the dialog the share now and then, for
// the status bar of a long transfer. Spacing the sending updates by over a third of a second leaves
// room for the one drain update within the limit of four a second.
class FrameProgress {
public:
    FrameProgress(HWND window, uint64_t frameLength) noexcept : window_(window), frameLength_(frameLength) {}

    // Attaches to the socket for the frame's sends and detaches on every way out.
    class Listening {
    public:
        Listening(CSocket& socket, FrameProgress& progress) noexcept : socket_(socket) {
            socket_.sendProgress = &FrameProgress::OnSent;
            socket_.sendProgressContext = &progress;
        }
        ~Listening() {
            socket_.sendProgress = nullptr;
            socket_.sendProgressContext = nullptr;
        }
        Listening(const Listening&) = delete;
        Listening& operator=(const Listening&) = delete;

    private:
        CSocket& socket_;
    };

    void Draining() const noexcept { NotifyAmount(window_, 100, AMOUNT_DRAINING); }

private:
    static void OnSent(void* context, int bytes) noexcept {
        auto* self = static_cast<FrameProgress*>(context);
        self->handedOver_ += static_cast<uint64_t>(bytes);
        const DWORD now = GetTickCount();
        if (self->posted_ && now - self->lastPost_ < kAmountIntervalMilliseconds) return;
        self->posted_ = true;
        self->lastPost_ = now;
        NotifyAmount(self->window_, progress_text::PercentOf(self->handedOver_, self->frameLength_), AMOUNT_SENDING);
    }

    HWND window_;
    uint64_t frameLength_;
    uint64_t handedOver_ = 0;
    bool posted_ = false;
    DWORD lastPost_ = 0;
};

template <typename Stream>
bool SendFrame(Stream& stream, CSocket& socket, const TransferRequest& request, FrameProgress& progress);

// Opens, connects, greets and sends; states 0 and 1 along the way. True when every byte of the
// frame has been handed to the socket layer.
bool PerformTransfer(CSocket& socket, const TransferRequest& request, FrameProgress& progress) {
    if (!socket.OpenSocket(0, SOCK_STREAM, FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
                           nullptr))
        return false;
    NotifyProgress(request.progressTarget, PROGRESS_CONNECTING, 0);
    if (!ConnectToServer(socket, request.serverAddress, static_cast<unsigned>(request.port))) return false;
    // From here on the socket holds the connection, whichever address it reached.
    // With TLS asked for, nothing goes over the connection but the handshake until the server has
    // been checked, and a failure never falls back to plain TCP.
    std::unique_ptr<TlsChannel> tls;
    if (request.tls.enabled) {
        tls.reset(new TlsChannel(socket));
        if (!tls->Open(request.tls)) return false;
    }
    NotifyProgress(request.progressTarget, PROGRESS_TRANSFERRING, 0);
    if (tls) return SendFrame(*tls, socket, request, progress) && tls->Close();
    return SendFrame(socket, socket, request, progress);
}

// Reads exactly size bytes; false at an end or error first.
bool ReadExactly(TlsChannel& stream, unsigned char* buffer, int size) {
    for (int done = 0; done < size;) {
        const int n = stream.ReceiveBytes(buffer + done, size - done, 0);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}
bool ReadExactly(CSocket& socket, unsigned char* buffer, int size) {
    CSocketFile file(socket, false);
    return file.ReadBuffer(buffer, static_cast<UINT>(size)) == static_cast<UINT>(size);
}

// The greeting, then the frame, over the stream; progress counts what reaches the socket.
template <typename Stream>
bool SendFrame(Stream& stream, CSocket& socket, const TransferRequest& request, FrameProgress& progress) {
    const size_t length = request.payload.Length();
#if SIZE_MAX > UINT32_MAX
    // The header carries a 32-bit length; a longer payload cannot be described, so it is not sent.
    if (length > UINT32_MAX) return false;
#endif
    unsigned char greeting[frame::kGreetingSize];
    if (!ReadExactly(stream, greeting, sizeof greeting)) return false;
    const frame::ClientIdBytes id = frame::EncodeClientId(request.clientId);
    const frame::HeaderBytes header = frame::EncodeHeader(static_cast<uint32_t>(length));
    const frame::TrailerBytes trailer = frame::EncodeTrailer();
    FrameProgress::Listening listening(socket, progress);
    if (!SendAll(stream, id.data(), id.size())) return false;
    if (!SendAll(stream, header.data(), header.size())) return false;
    if (!SendAll(stream, request.payload.Data(), length)) return false;
    if (!SendAll(stream, trailer.data(), trailer.size())) return false;
    return true;
}

} // namespace

BOOL NotifyAmount(HWND window, unsigned percent, int phase) {
    if (!IsWindow(window)) return 0;
    return SendNotifyMessageA(window, PROGRESS_AMOUNT_MESSAGE, static_cast<WPARAM>(percent),
                              static_cast<LPARAM>(phase));
}

BOOL NotifyProgress(ProgressTarget target, int state, int result) {
    if (!IsWindow(target.window)) return 0;
    return SendNotifyMessageA(target.window, target.message, static_cast<WPARAM>(state),
                              static_cast<LPARAM>(result));
}

CWinThread* LaunchTransfer(CText payload, CText serverAddress, int32_t port, int32_t clientId,
                           ProgressTarget progressTarget, const TlsSettings& tls) {
    TransferRequest* slot = nullptr;
    try {
        slot = &RequestSlot();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    slot->payload = payload;
    slot->serverAddress = serverAddress;
    slot->port = port;
    slot->clientId = clientId;
    slot->progressTarget = progressTarget;
    slot->tls = tls;
    return BeginThread(&RunTransfer, slot, THREAD_PRIORITY_NORMAL, 0, nullptr);
}

UINT RunTransfer(void* parameter) {
    auto* request = static_cast<TransferRequest*>(parameter);
    int result = TRANSFER_FAILED;
    {
        FrameProgress progress(request->progressTarget.window, frame::kOverheadSize + request->payload.Length());
        CSocket socket;
        try {
            if (PerformTransfer(socket, *request, progress)) {
                progress.Draining();
                // Closing while the server's unread bytes (anything beyond the greeting) sit in our
                // receive queue resets the connection, and the server may lose the end of the
                // frame. Half-close and let the server read to the end first. A server that stays
                // silent past the bound still counts as reached; one whose connection breaks
                // meanwhile (a reset) may not have read the frame, so that is no success.
                if (socket.FinishSending(kFinishSendingBoundMilliseconds) || WSAGetLastError() == WSAETIMEDOUT)
                    result = TRANSFER_SUCCEEDED;
            }
        } catch (CException* e) {
            e->Delete();
        } catch (...) {
            // Any other exception (no memory for a name, say) fails this transfer like a
            // framework one: the dialog must still hear the end, or it would wait for ever.
        }
    } // the socket is closed here, before the final message
    // Read the target now: once state 2 is out the dialog may start a new transfer over the slot.
    const ProgressTarget target = request->progressTarget;
    NotifyProgress(target, PROGRESS_FINISHED, result);
    EndThread(static_cast<UINT>(result));
}
