// Measures how long the transfer's connect takes to reach a server, from the first attempt to the
// connection, N times over: on a network whose IPv6 path drops every packet it shows the delay
// before the IPv4 attempt, where a single attempt would wait for the TCP time-out.
// usage: net_connect_bench HOST PORT [RUNS]; one line per run: "connect MS", or "failed ERROR".
#include "net/ConnectionRacer.h"
#include "net/SocketStartup.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: net_connect_bench HOST PORT [RUNS]\n");
        return 64;
    }
    if (!StartWindowsSockets()) return 1;
    const unsigned port = static_cast<unsigned>(std::atoi(argv[2]));
    const int runs = argc > 3 ? std::atoi(argv[3]) : 1;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        CSocket socket;
        if (!socket.OpenSocket(0, SOCK_STREAM, 63, nullptr)) return 1;
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const bool connected = ConnectToServer(socket, argv[1], port);
        QueryPerformanceCounter(&end);
        if (connected)
            std::printf("connect %.1f\n", (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
        else
            std::printf("failed %d\n", WSAGetLastError()), ++failures;
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 2;
}
