// The framework's thread object: one per thread it starts. The object starts its thread
// synchronously, knows it as the thread's current object, and (by default) deletes itself when
// the thread ends: once its thread runs, the object belongs to that thread, not to its creator.
#pragma once

#include "framework/Handles.h"
#include "framework/Object.h"

#include <windows.h>

// The exit code of a thread whose procedure ended with an exception (ERROR_UNHANDLED_EXCEPTION).
constexpr UINT kUncaughtExceptionExitCode = 574;

class CWinThread : public CObject {
    DECLARE_RUNTIME_CLASS(CWinThread)
public:
    using ThreadProcedure = UINT (*)(void* parameter);

    CWinThread(ThreadProcedure procedure, void* parameter) noexcept
        : procedure_(procedure), parameter_(parameter) {}
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;
    ~CWinThread() override = default;

    // Creates the thread suspended, sets its priority, resumes it and waits until it has finished
    // its start-up. False when no thread runs; the caller then still owns (and deletes) the object.
    // True hands the object over to the new thread (see autoDelete).
    bool CreateThread(int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                      LPSECURITY_ATTRIBUTES security = nullptr);

    HANDLE GetThreadHandle() const noexcept { return thread_.get(); }
    DWORD GetThreadId() const noexcept { return threadId_; }

    // Binds this object to the calling thread (for a thread the framework did not start, such as
    // the main thread). False when the per-thread slot cannot be had.
    bool MakeCurrent() noexcept;

    // The thread's idle pass, which brings user-interface state up to date; a blocking socket wait
    // runs it with count -1 when its message hook asks for it. True: more idle work is wanted.
    virtual bool RunIdlePass(LONG count) {
        (void)count; // this framework keeps no user-interface state to bring up to date
        return false;
    }

    // True: the object deletes itself when its thread ends, and nobody else may delete it once
    // CreateThread has succeeded. False: the object outlives its thread, and whoever set the
    // flag (before CreateThread) deletes it after the thread has ended.
    bool autoDelete = true;

protected:
    // For derived objects bound to an existing thread with MakeCurrent.
    CWinThread() noexcept = default;

private:
    struct Startup;
    static DWORD WINAPI ThreadEntry(void* startup);
    // The procedure's result, or kUncaughtExceptionExitCode when it threw.
    static UINT RunProcedure(ThreadProcedure procedure, void* parameter) noexcept;
    // After a failed start: no thread belongs to the object any more.
    void ForgetThread() noexcept;

    ThreadProcedure procedure_ = nullptr;
    void* parameter_ = nullptr;
    OwnedKernelHandle thread_;
    DWORD threadId_ = 0;
};

// The thread object of the calling thread; null for a thread the framework knows nothing of.
CWinThread* GetCurrentThreadObject() noexcept;

// Makes a thread object for procedure(parameter) and starts its thread. Null when no thread runs
// (nothing is left to release then). The result is not the caller's: the object belongs to its
// thread and is deleted, with its thread handle, when procedure returns (autoDelete), which may
// be before BeginThread itself returns. The caller may use the pointer only while it knows the
// procedure is still running (held on something the caller controls), e.g. to duplicate the
// thread handle so as to wait for the end; it must never delete it.
CWinThread* BeginThread(CWinThread::ThreadProcedure procedure, void* parameter,
                        int priority = THREAD_PRIORITY_NORMAL, UINT stackSize = 0,
                        LPSECURITY_ATTRIBUTES security = nullptr);

// Ends the calling thread with exitCode: deletes its self-deleting thread object, then exits.
// Objects on the thread's stack are not destroyed: leave every scope that owns something first.
[[noreturn]] void EndThread(UINT exitCode);
