// The blocking socket: the asynchronous socket whose calls, when they would block, wait in a
// filtered message loop on the calling thread until the awaited event (or a timer tick, or the
// close event) arrives, then try again. Notifications for other sockets are set aside in order.
#pragma once

#include "net/AsyncSocket.h"

class CSocket : public CAsyncSocket {
    DECLARE_RUNTIME_CLASS(CSocket)
public:
    CSocket() noexcept = default;
    // Closes a handle that is still open with this class's close (cancel, deselect, close).
    ~CSocket() override;

    bool AcceptConnection(CAsyncSocket& target, sockaddr* address, int* addressLength) override;
    // Cancels a wait in progress, stops the notifications, then closes and retires the handle.
    void CloseSocketHandle() override;
    // What one successful receive gives: 1 to size bytes, or 0 when the peer closed the stream.
    int ReceiveBytes(void* buffer, int size, int flags) override;
    // Every byte or -1; 0 for a length of 0 or less (no send is made).
    int SendBytes(const void* data, int length, int flags) override;
    bool ConnectAddress(const sockaddr* address, int length) override;
    int ReceiveFromAddress(void* buffer, int size, sockaddr* address, int* addressLength, int flags) override;
    int SendToAddress(const void* data, int length, const sockaddr* address, int addressLength,
                      int flags) override;

    // Called during a wait whenever messages are queued: hands out one paint message, so windows
    // of the thread stay drawn, and answers false (the thread's idle pass is never run).
    virtual bool OnMessagesWaiting();
    // Waits for the event bit (1 read, 2 write, 8 accept, 16 connect) on this socket, a close
    // event or a timer tick. True: try the operation again. False: cancelled, error WSAEINTR.
    // CResourceException when the timer cannot be started.
    virtual bool WaitForEvent(unsigned eventBit);

    // Ends the wait in progress on this socket, if any; it then returns false with WSAEINTR.
    void CancelWait() noexcept;
    // One send inside SendBytes of at most kLargestSend bytes of the length, waiting for the write
    // event as needed; the count Winsock took, or -1.
    int SendChunk(const void* data, int length, int flags);
    // The most one send call is handed. Windows may refuse a send larger than the buffers it can
    // lock for it at once (WSAENOBUFS), and a few MiB per call move data as fast as larger calls
    // (bench/results/send-piece-before-after.md).
    static constexpr int kLargestSend = 4 << 20;
    // The period of a wait after WSAENOBUFS when pollInterval is longer.
    static constexpr DWORD kBufferShortageRetryMilliseconds = 250;
    // The period of a send's wait for the write event when pollInterval is longer: the send is
    // tried again after it even when the event never comes.
    static constexpr DWORD kBlockedSendRetryMilliseconds = 20;

    // Ends an orderly conversation after the last send: shuts down the sending direction, then
    // reads and discards what the peer still sends until it closes its side, an error, or
    // boundMilliseconds pass. True only when the peer closed cleanly in time. Closing with unread
    // received data resets the connection, and the peer may then lose bytes it has not read yet.
    // Failure sets WSAETIMEDOUT when the bound passed, else the Winsock error.
    bool FinishSending(DWORD boundMilliseconds);

    bool IsWaiting() const noexcept { return waitFlag_ != nullptr; }

    DWORD pollInterval = 2000;
    // Told after each send call inside SendBytes how many bytes it handed to Winsock, on the
    // sending thread (a transfer's progress display counts with it); null: nobody listens. The
    // hook must not use this socket.
    void (*sendProgress)(void* context, int bytesHandedOver) = nullptr;
    void* sendProgressContext = nullptr;
    int connectError = -1;
    // The error that came with the close notification a wait took (0 for an orderly close); -1
    // until one arrives. Winsock may report a reset only here: the receive after it gives 0.
    int closeError = -1;

protected:
    // The wait itself, with its timer period; WaitForEvent uses pollInterval.
    bool WaitWithTimer(unsigned eventBit, DWORD timerMilliseconds);

private:
    // Every blocking call is refused while another waits on this socket (WSAEINPROGRESS).
    bool RefusedWhileWaiting();
    // The shape every blocking call shares: try the non-blocking call, and after each awaited
    // event (or timer tick) try again, until it gives a result or a real error.
    // waitOutBufferShortage: a send's WSAENOBUFS is waited out too.
    template <typename Attempt>
    int RetryWhenReady(unsigned eventBit, Attempt attempt, bool waitOutBufferShortage = false);

    // The keep-waiting flag of the wait in progress, on that wait's stack; null when none.
    bool* waitFlag_ = nullptr;
};
