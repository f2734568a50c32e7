// The framework's thread object: synchronous start, the current-object query, the exit code.
#include "framework/WinThread.h"

#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <new>

namespace {

struct Probe {
    HANDLE go;
    CWinThread* seen = nullptr;
    DWORD threadId = 0;
};

UINT ProbeProcedure(void* parameter) {
    auto* probe = static_cast<Probe*>(parameter);
    probe->seen = GetCurrentThreadObject();
    probe->threadId = GetCurrentThreadId();
    WaitForSingleObject(probe->go, 10000);
    return 37;
}

} // namespace

TEST(WinThread, RunsOnItsOwnThreadKnowsItselfAndEndsWithTheResult) {
    EXPECT_EQ(GetCurrentThreadObject(), nullptr);
    Probe probe;
    probe.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CWinThread* thread = BeginThread(&ProbeProcedure, &probe);
    ASSERT_NE(thread, nullptr);
    // The procedure is held on the event, so the object cannot have deleted itself yet.
    HANDLE handle = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread->GetThreadHandle(), GetCurrentProcess(), &handle,
                                0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(GetThreadPriority(handle), THREAD_PRIORITY_NORMAL);
    const DWORD id = thread->GetThreadId();
    SetEvent(probe.go);
    ASSERT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
    EXPECT_EQ(exitCode, 37u);
    EXPECT_EQ(probe.seen, thread);
    EXPECT_EQ(probe.threadId, id);
    EXPECT_NE(probe.threadId, GetCurrentThreadId());
    CloseHandle(handle);
    CloseHandle(probe.go);
}

namespace {

struct Thrower {
    HANDLE go;
    bool frameworkException;
};

UINT ThrowingProcedure(void* parameter) {
    auto* thrower = static_cast<Thrower*>(parameter);
    WaitForSingleObject(thrower->go, 10000);
    if (thrower->frameworkException) ThrowMemoryException();
    throw std::bad_alloc();
}

} // namespace

// Past the procedure lies the system's thread start, which cannot be unwound through: an
// exception reaching it would end the whole process, not just the thread.
TEST(WinThread, AProcedureThatThrowsEndsOnlyItsOwnThread) {
    for (bool frameworkException : {false, true}) {
        SCOPED_TRACE(frameworkException ? "framework exception" : "std::bad_alloc");
        Thrower thrower{CreateEventA(nullptr, TRUE, FALSE, nullptr), frameworkException};
        CWinThread* thread = BeginThread(&ThrowingProcedure, &thrower);
        ASSERT_NE(thread, nullptr);
        HANDLE handle = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread->GetThreadHandle(), GetCurrentProcess(), &handle,
                                    0, FALSE, DUPLICATE_SAME_ACCESS));
        SetEvent(thrower.go);
        ASSERT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        EXPECT_TRUE(GetExitCodeThread(handle, &exitCode));
        EXPECT_EQ(exitCode, kUncaughtExceptionExitCode);
        CloseHandle(handle);
        CloseHandle(thrower.go);
    }
}
