// Measures one blocking send of a large payload over loopback: wall time, throughput and the CPU
// time the sending thread used (a sender that spun instead of sleeping would show CPU ~ wall).
// usage: net_send_bench [PORT [MEBIBYTES]]; without a port (or 0) it serves itself on a thread.
#include "net/SocketFile.h"
#include "net/SocketStartup.h"

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {
double Seconds(const FILETIME& t) {
    return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
}

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
    return Seconds(kernel) + Seconds(user);
}

// A plain blocking peer that greets, reads everything and closes.
unsigned short StartOwnPeer(std::thread& thread) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    thread = std::thread([listener] {
        SOCKET c = accept(listener, nullptr, nullptr);
        send(c, "PVG1", 4, 0);
        std::vector<char> buffer(4u << 20);
        while (recv(c, buffer.data(), static_cast<int>(buffer.size()), 0) > 0) {
        }
        closesocket(c);
        closesocket(listener);
    });
    return ntohs(address.sin_port);
}
} // namespace

int main(int argc, char** argv) {
    if (!StartWindowsSockets()) return 2;
    unsigned mebibytes = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 256;
    std::thread ownPeer;
    unsigned short port = argc > 1 ? static_cast<unsigned short>(std::atoi(argv[1])) : 0;
    if (port == 0) port = StartOwnPeer(ownPeer);

    std::vector<char> payload(static_cast<size_t>(mebibytes) << 20, 'p');
    const int length = static_cast<int>(payload.size());
    const unsigned header[3] = {1234, 1, static_cast<unsigned>(length)};
    const unsigned trailer[2] = {0, 0};

    CSocket socket;
    if (!socket.OpenSocket(0, SOCK_STREAM, 63, nullptr) || !socket.ConnectToHost("127.0.0.1", port)) {
        std::fprintf(stderr, "connect failed: %d\n", WSAGetLastError());
        return 1;
    }
    char greeting[4];
    CSocketFile file(socket, false);
    if (file.ReadBuffer(greeting, 4) != 4) return 1;

    // How many send calls the frame takes: the transfer's progress hook runs once per call.
    unsigned sendCalls = 0;
    socket.sendProgress = [](void* context, int) { ++*static_cast<unsigned*>(context); };
    socket.sendProgressContext = &sendCalls;
    const double cpuStart = ThreadCpuSeconds();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    bool sent = socket.SendBytes(header, 4, 0) == 4 && socket.SendBytes(header + 1, 8, 0) == 8 &&
                socket.SendBytes(payload.data(), length, 0) == length && socket.SendBytes(trailer, 8, 0) == 8;
    QueryPerformanceCounter(&end);
    const double cpuSend = ThreadCpuSeconds() - cpuStart;
    bool finished = sent && socket.FinishSending(30000);
    QueryPerformanceCounter(&end);
    const double wall = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    const double cpu = ThreadCpuSeconds() - cpuStart;
    socket.CloseSocketHandle();
    if (ownPeer.joinable()) ownPeer.join();

    std::printf("{\"mebibytes\":%u,\"sent\":%s,\"peer_closed\":%s,\"seconds\":%.3f,\"gb_per_s\":%.3f,"
                "\"sender_cpu_seconds\":%.3f,\"sender_cpu_seconds_in_send\":%.3f,\"send_calls\":%u}\n",
                mebibytes, sent ? "true" : "false", finished ? "true" : "false", wall,
                payload.size() / wall / 1e9, cpu, cpuSend, sendCalls);
    return sent && finished ? 0 : 1;
}
