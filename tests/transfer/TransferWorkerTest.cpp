// The worker against a real loopback server: the bytes on the wire, the progress states on every
// path, and the close that must not cost the server the end of the frame.
#include "TransferTestSupport.h"

#include "transfer/Frame.h"
#include "transfer/TransferWorker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace transfer_test;
using Messages = std::vector<std::pair<int, int>>;

namespace {

constexpr DWORD kFinishBoundMs = 15000;

const Messages kSucceeded = {{0, 0}, {1, 0}, {2, 1}};
const Messages kFailedAfterConnect = {{0, 0}, {1, 0}, {2, 0}};
const Messages kFailedToConnect = {{0, 0}, {2, 0}};

std::vector<unsigned char> FrameOf(int32_t id, const CText& payload) {
    return frame::EncodeFrame(id, payload.Data(), static_cast<uint32_t>(payload.Length()));
}

// Runs one transfer to the server and waits for its final message and the server's session.
Messages Transfer(LoopbackServer& server, const CText& payload, int32_t id, int32_t port = -1) {
    ProgressRecorder recorder;
    CWinThread* worker =
        LaunchTransfer(payload, "127.0.0.1", port == -1 ? server.Port() : port, id, recorder.Target());
    EXPECT_NE(worker, nullptr);
    EXPECT_TRUE(recorder.WaitForFinish(kFinishBoundMs));
    EXPECT_TRUE(server.WaitForSession(kFinishBoundMs));
    return recorder.messages;
}

class TransferWorker : public ::testing::Test {
protected:
    void SetUp() override { StartSockets(); }
};

} // namespace

TEST_F(TransferWorker, SendsTheExactFrameAfterTheGreeting) {
    struct Row {
        const char* name;
        CText payload;
        int32_t id;
        ServerScript::Greeting greeting;
    };
    const Row rows[] = {
        {"example", CText("abc"), 1234, ServerScript::Greeting::whole},
        {"empty payload", CText(), -1, ServerScript::Greeting::whole},
        {"client id 0", CText("x\0y", 3), 0, ServerScript::Greeting::whole},
        {"greeting in two pieces", CText("abc"), 1234, ServerScript::Greeting::inPieces},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ServerScript script;
        script.greeting = row.greeting;
        LoopbackServer server(script);
        ASSERT_TRUE(server.Listening());
        EXPECT_EQ(Transfer(server, row.payload, row.id), kSucceeded);
        EXPECT_EQ(server.Received(), FrameOf(row.id, row.payload));
        EXPECT_FALSE(server.EndedInError());
    }
}

TEST_F(TransferWorker, ExampleFrameIsTwentyThreeBytesAndARepeatSendsTheSame) {
    std::vector<unsigned char> first;
    for (int round = 0; round < 2; ++round) {
        LoopbackServer server;
        ASSERT_TRUE(server.Listening());
        EXPECT_EQ(Transfer(server, "abc", 1234), kSucceeded);
        ASSERT_EQ(server.Received().size(), 23u);
        if (round == 0)
            first = server.Received();
        else
            EXPECT_EQ(server.Received(), first);
    }
}

TEST_F(TransferWorker, OnlyTheLowSixteenBitsOfThePortCount) {
    LoopbackServer server;
    ASSERT_TRUE(server.Listening());
    EXPECT_EQ(Transfer(server, "abc", 7, 65536 + server.Port()), kSucceeded);
    EXPECT_EQ(server.Received(), FrameOf(7, "abc"));
}

TEST_F(TransferWorker, FailuresReportTheStatesReachedAndResultZero) {
    {
        SCOPED_TRACE("connection refused");
        ProgressRecorder recorder;
        ASSERT_NE(LaunchTransfer("abc", "127.0.0.1", UnusedPort(), 1, recorder.Target()), nullptr);
        ASSERT_TRUE(recorder.WaitForFinish(kFinishBoundMs));
        EXPECT_EQ(recorder.messages, kFailedToConnect);
    }
    {
        SCOPED_TRACE("port 0");
        ProgressRecorder recorder;
        ASSERT_NE(LaunchTransfer("abc", "127.0.0.1", 0, 1, recorder.Target()), nullptr);
        ASSERT_TRUE(recorder.WaitForFinish(kFinishBoundMs));
        EXPECT_EQ(recorder.messages, kFailedToConnect);
    }
    {
        SCOPED_TRACE("unresolvable host");
        ProgressRecorder recorder;
        ASSERT_NE(LaunchTransfer("abc", "no-such-host.invalid", 80, 1, recorder.Target()), nullptr);
        ASSERT_TRUE(recorder.WaitForFinish(kFinishBoundMs));
        EXPECT_EQ(recorder.messages, kFailedToConnect);
    }
    {
        SCOPED_TRACE("server closes at once");
        ServerScript script;
        script.greeting = ServerScript::Greeting::closeAtOnce;
        LoopbackServer server(script);
        EXPECT_EQ(Transfer(server, "abc", 1), kFailedAfterConnect);
    }
}

// A server that sends more than its greeting leaves unread bytes in the client's receive queue;
// a plain close then resets the connection and a server still reading loses the frame's end.
TEST_F(TransferWorker, ExtraBytesAfterTheGreetingDoNotCostTheSlowServerItsData) {
    CText payload;
    char* buffer = payload.GetBuffer(8u << 20);
    for (size_t i = 0; i < (8u << 20); ++i) buffer[i] = static_cast<char>('a' + i % 26);
    payload.ReleaseBuffer(8u << 20);

    ServerScript script;
    script.extraBytes = 1;
    script.readDelayMs = 500;
    LoopbackServer server(script);
    ASSERT_TRUE(server.Listening());
    EXPECT_EQ(Transfer(server, payload, 42), kSucceeded);
    EXPECT_FALSE(server.EndedInError());
    ASSERT_EQ(server.Received().size(), payload.Length() + frame::kOverheadSize);
    EXPECT_TRUE(server.Received() == FrameOf(42, payload));
}

TEST_F(TransferWorker, WorkerWaitsForTheGreetingAndEndsOnceTheServerGoes) {
    ServerScript script;
    script.greeting = ServerScript::Greeting::never;
    LoopbackServer server(script);
    ASSERT_TRUE(server.Listening());
    ProgressRecorder recorder;
    CWinThread* worker = LaunchTransfer("abc", "127.0.0.1", server.Port(), 1, recorder.Target());
    ASSERT_NE(worker, nullptr);
    // The worker cannot end while the server holds the connection, so its handle is still open.
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), worker->GetThreadHandle(), GetCurrentProcess(), &thread, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    ASSERT_TRUE(PumpUntil([&] { return recorder.messages.size() == 2; }, kFinishBoundMs));
    PumpFor(300);
    EXPECT_EQ(recorder.messages, (Messages{{0, 0}, {1, 0}}));

    // The window goes away first: the worker must still finish and end its thread.
    recorder.DestroyWindowNow();
    server.Release();
    EXPECT_EQ(WaitForSingleObject(thread, kFinishBoundMs), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(thread);
    EXPECT_EQ(recorder.messages.size(), 2u);
}

TEST_F(TransferWorker, NotifyProgressSkipsAWindowThatIsGone) {
    ProgressRecorder recorder;
    ProgressTarget target = recorder.Target();
    EXPECT_NE(NotifyProgress(target, 1, 0), 0);
    PumpUntil([&] { return !recorder.messages.empty(); }, 2000);
    EXPECT_EQ(recorder.messages, (Messages{{1, 0}}));
    recorder.DestroyWindowNow();
    EXPECT_EQ(NotifyProgress(target, 2, 1), 0);
}
