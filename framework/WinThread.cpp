// Thread start-up and ending for the framework's thread objects. The creator and the new thread
// meet through two events so that the creator learns whether the thread really got going before
// it hands the object out, and the thread runs no user code before the creator is done with it.
#include "framework/WinThread.h"

#include "framework/Exceptions.h"

#include <memory>
#include <new>
#include <utility>

IMPLEMENT_RUNTIME_CLASS(CWinThread, CObject)

namespace {

// Made during static initialisation, before any thread of ours exists. Not a function-local
// static: its guard would make the thread library set up per-thread keys early, and under this
// run-time the order of those keys decides whether a thread_local object's storage is freed
// before its destructor runs at thread exit.
const DWORD currentObjectSlot = TlsAlloc();

DWORD CurrentObjectSlot() noexcept { return currentObjectSlot; }

} // namespace

struct CWinThread::Startup {
    CWinThread* thread;
    HANDLE started;    // set by the new thread once its start-up has succeeded or failed
    HANDLE mayProceed; // set by the creator once it no longer needs this record
    bool succeeded;
};

CWinThread* GetCurrentThreadObject() noexcept {
    DWORD slot = CurrentObjectSlot();
    if (slot == TLS_OUT_OF_INDEXES) return nullptr;
    return static_cast<CWinThread*>(TlsGetValue(slot));
}

bool CWinThread::MakeCurrent() noexcept {
    DWORD slot = CurrentObjectSlot();
    return slot != TLS_OUT_OF_INDEXES && TlsSetValue(slot, this) != FALSE;
}

bool CWinThread::CreateThread(int priority, UINT stackSize, LPSECURITY_ATTRIBUTES security) {
    if (thread_.valid()) return false;
    OwnedKernelHandle started(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OwnedKernelHandle mayProceed(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!started.valid() || !mayProceed.valid()) return false;

    Startup startup{this, started.get(), mayProceed.get(), false};
    DWORD id = 0;
    OwnedKernelHandle handle(::CreateThread(security, stackSize, &CWinThread::ThreadEntry, &startup,
                                            CREATE_SUSPENDED, &id));
    if (!handle.valid()) return false;
    // A failed priority change leaves the thread at normal priority, which is still usable.
    SetThreadPriority(handle.get(), priority);
    threadId_ = id;
    thread_ = std::move(handle);
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        // The thread never ran; it cannot touch the object, so the caller may delete it.
        TerminateThread(thread_.get(), 0);
        ForgetThread();
        return false;
    }

    // The thread writes into `startup` on this stack until it sets `started`, and ends without
    // setting it when it cannot: wait for whichever comes first. Both handles are this function's
    // own and valid, with no time-out, so the wait itself cannot fail.
    const HANDLE startedOrEnded[] = {started.get(), thread_.get()};
    DWORD woken = WaitForMultipleObjects(2, startedOrEnded, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 || !startup.succeeded) {
        // The thread is leaving without touching the object again; wait so that nothing of it
        // outlives the object the caller is about to delete.
        WaitForSingleObject(thread_.get(), INFINITE);
        ForgetThread();
        return false;
    }
    // From here on the thread may run, end and delete this object at any moment. It waits on its
    // own duplicate of the event, so closing ours on return cannot pull the event from under it.
    if (!SetEvent(mayProceed.get())) {
        // Left waiting, the thread would never run the procedure while the caller took it for a
        // running one (a transfer that never reports). It has run none of the caller's code yet:
        // stop it, and let it be gone before the caller deletes the object. Its copy of the event
        // is lost with it.
        TerminateThread(thread_.get(), 1);
        WaitForSingleObject(thread_.get(), INFINITE);
        ForgetThread();
        return false;
    }
    return true;
}

void CWinThread::ForgetThread() noexcept {
    thread_.reset();
    threadId_ = 0;
}

DWORD WINAPI CWinThread::ThreadEntry(void* parameter) {
    auto* startup = static_cast<Startup*>(parameter);
    CWinThread* self = startup->thread;
    // Duplicate the go-ahead event: the creator closes its own handle as soon as it has set it.
    HANDLE copy = nullptr;
    bool succeeded = self->MakeCurrent() && DuplicateHandle(GetCurrentProcess(), startup->mayProceed,
                                                            GetCurrentProcess(), &copy, 0, FALSE,
                                                            DUPLICATE_SAME_ACCESS);
    OwnedKernelHandle proceed(copy);
    startup->succeeded = succeeded;
    // The startup record may be gone once `started` is set. Should it not be set, the creator
    // learns of the failure from this thread's end instead.
    if (!SetEvent(startup->started) || !succeeded) return 1;
    // Our own handle of a live event and no time-out: this wait cannot fail.
    WaitForSingleObject(proceed.get(), INFINITE);
    proceed.reset();
    EndThread(RunProcedure(self->procedure_, self->parameter_));
}

UINT CWinThread::RunProcedure(ThreadProcedure procedure, void* parameter) noexcept {
    // The system's thread start lies below this frame; an exception that reached it could not be
    // unwound and would end the whole process. The procedure's own objects are unwound by then.
    try {
        return procedure(parameter);
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
    return kUncaughtExceptionExitCode;
}

CWinThread* BeginThread(CWinThread::ThreadProcedure procedure, void* parameter, int priority,
                        UINT stackSize, LPSECURITY_ATTRIBUTES security) {
    std::unique_ptr<CWinThread> thread(new (std::nothrow) CWinThread(procedure, parameter));
    if (thread == nullptr) return nullptr;
    if (!thread->CreateThread(priority, stackSize, security)) return nullptr;
    // The running thread owns the object now; it deletes it when the procedure returns.
    return thread.release();
}

void EndThread(UINT exitCode) {
    CWinThread* self = GetCurrentThreadObject();
    if (self != nullptr) {
        TlsSetValue(CurrentObjectSlot(), nullptr);
        if (self->autoDelete) delete self;
    }
    ExitThread(exitCode);
}
