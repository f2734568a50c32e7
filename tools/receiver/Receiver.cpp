// The test receiver: a loopback server that greets each client, reads and checks its frame,
// optionally keeps the payload, and prints one JSON line per connection. Its fault modes stage
// the servers the client must survive. It always stops by itself.
#include "tools/receiver/Frame.h"
#include "tools/receiver/Sha256.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

struct Options {
    int port = 0;
    int connections = 1;
    double timeoutSeconds = 60;
    std::string mode = "serve";
    int greetingPieces = 1;
    double holdSeconds = 5;
    long extraBytes = 0;
    long long resetAfter = -1;
    long long readRate = 0; // bytes per second; 0: as fast as possible
    double readDelay = 0;
    double greetingDelay = 0; // before the first greeting byte
    std::string outputDir;
    bool digest = true;
    // A numeric address to listen on: 127.0.0.1 by default, "::1" for IPv6 only, "::" for both
    // families at once (only inside a network namespace of a test's own, where "any" is loopback).
    std::string listen = "127.0.0.1";
};

const char kUsage[] =
    "usage: receiver [--port N] [--connections N] [--timeout-seconds T] [--output-dir DIR]\n"
    "                [--mode serve|refuse|close-at-once|partial-greeting|no-greeting|reset-after]\n"
    "                [--greeting-pieces K] [--hold-seconds S] [--extra-bytes N] [--reset-after N]\n"
    "                [--read-rate BYTES_PER_SEC] [--read-delay S] [--digest sha256|none]\n"
    "                [--greeting-delay S] [--listen ADDRESS]\n";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "receiver: %s\n%s", what, kUsage);
    std::exit(64);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) Fail(("missing value for " + name).c_str());
        const char* value = argv[++i];
        char* end = nullptr;
        double number = std::strtod(value, &end);
        bool numeric = end != value && *end == '\0' && number >= 0;
        auto need = [&] {
            if (!numeric) Fail(("not a number: " + name).c_str());
        };
        if (name == "--port") need(), o.port = static_cast<int>(number);
        else if (name == "--connections") need(), o.connections = static_cast<int>(number);
        else if (name == "--timeout-seconds") need(), o.timeoutSeconds = number;
        else if (name == "--greeting-pieces") need(), o.greetingPieces = number < 1 ? 1 : static_cast<int>(number);
        else if (name == "--hold-seconds") need(), o.holdSeconds = number;
        else if (name == "--extra-bytes") need(), o.extraBytes = static_cast<long>(number);
        else if (name == "--reset-after") need(), o.resetAfter = static_cast<long long>(number);
        else if (name == "--read-rate") need(), o.readRate = static_cast<long long>(number);
        else if (name == "--read-delay") need(), o.readDelay = number;
        else if (name == "--greeting-delay") need(), o.greetingDelay = number;
        else if (name == "--mode") o.mode = value;
        else if (name == "--output-dir") o.outputDir = value;
        else if (name == "--listen") o.listen = value;
        else if (name == "--digest") o.digest = std::string(value) != "none";
        else Fail(("unknown option " + name).c_str());
    }
    static const char* const kModes[] = {"serve", "refuse", "close-at-once", "partial-greeting", "no-greeting",
                                         "reset-after"};
    bool known = false;
    for (const char* m : kModes) known = known || o.mode == m;
    if (!known) Fail(("unknown mode " + o.mode).c_str());
    if (o.mode == "reset-after" && o.resetAfter < 0) Fail("--mode reset-after needs --reset-after N");
    if (o.resetAfter >= 0 && o.mode == "serve") o.mode = "reset-after";
    return o;
}

Clock::time_point deadline;

int MillisecondsLeft() {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
}

bool WaitFor(int fd, short events, int ms) {
    pollfd p = {fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

bool SendAll(int fd, const void* data, size_t length) {
    const char* next = static_cast<const char*>(data);
    while (length > 0) {
        if (!WaitFor(fd, POLLOUT, MillisecondsLeft())) return false;
        ssize_t n = send(fd, next, length, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        next += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void ResetAndClose(int fd) {
    linger option = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close(fd);
}

void SleepSeconds(double s) {
    if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

struct Outcome {
    std::string ended;
    uint64_t bytesReceived = 0;
};

// Reads until the client closes, an error, the deadline or (reset-after) the byte budget.
Outcome ReadConnection(int fd, const Options& o, FrameReader& frame, std::vector<uint8_t>& buffer,
                       Clock::time_point until) {
    Outcome outcome;
    const auto start = Clock::now();
    for (;;) {
        size_t want = buffer.size();
        if (o.mode == "reset-after") {
            if (static_cast<long long>(outcome.bytesReceived) >= o.resetAfter) {
                ResetAndClose(fd);
                outcome.ended = "server-reset";
                return outcome;
            }
            want = std::min<uint64_t>(want, static_cast<uint64_t>(o.resetAfter) - outcome.bytesReceived);
        }
        if (o.readRate > 0) {
            // Never ahead of the rate: take only what the elapsed time allows, at least one byte.
            double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            double allowed = o.readRate * elapsed - static_cast<double>(outcome.bytesReceived);
            if (allowed < 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                if (Clock::now() >= until) break;
                continue;
            }
            want = std::min<size_t>(want, static_cast<size_t>(allowed));
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) break;
        if (!WaitFor(fd, POLLIN, static_cast<int>(std::min<long long>(left, 1000)))) continue;
        ssize_t n = recv(fd, buffer.data(), want, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n == 0) {
            outcome.ended = "client-closed";
            return outcome;
        }
        if (n < 0) {
            outcome.ended = errno == ECONNRESET ? "reset" : std::string("error-") + std::strerror(errno);
            return outcome;
        }
        outcome.bytesReceived += static_cast<uint64_t>(n);
        frame.Feed(buffer.data(), static_cast<size_t>(n));
    }
    outcome.ended = "timeout";
    return outcome;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// The family the client came over: an IPv4 client of a listener for both families shows as an
// IPv4-mapped IPv6 address.
const char* FamilyOf(const sockaddr_storage& peer) {
    if (peer.ss_family == AF_INET) return "ipv4";
    if (peer.ss_family != AF_INET6) return "other";
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
    return IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr) ? "ipv4" : "ipv6";
}

void Serve(int fd, int connection, const Options& o, std::vector<uint8_t>& buffer, const char* family) {
    const auto start = Clock::now();
    Sha256 digest;
    FILE* output = nullptr;
    if (!o.outputDir.empty()) {
        std::string path = o.outputDir + "/payload-" + std::to_string(connection) + ".bin";
        output = std::fopen(path.c_str(), "wb");
        if (output == nullptr) std::fprintf(stderr, "receiver: cannot write %s\n", path.c_str());
    }
    bool digestOn = o.digest;
    FrameReader frame([&](const uint8_t* data, size_t length) {
        if (digestOn) digest.Update(data, length);
        if (output != nullptr) std::fwrite(data, 1, length, output);
    });

    Outcome outcome;
    bool open = true;
    if (o.mode == "close-at-once") {
        close(fd);
        open = false;
        outcome.ended = "server-closed";
    } else if (o.mode == "partial-greeting") {
        SendAll(fd, "PV", 2);
        close(fd);
        open = false;
        outcome.ended = "server-closed";
    } else if (o.mode == "no-greeting") {
        // Holds the connection without a word; whatever the client sends meanwhile is counted.
        auto until = std::min(deadline, start + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(o.holdSeconds)));
        outcome = ReadConnection(fd, o, frame, buffer, until);
        if (outcome.ended == "timeout") outcome.ended = "server-closed";
    } else {
        static const char kGreeting[4] = {'P', 'V', 'G', '1'};
        int pieces = o.greetingPieces > 4 ? 4 : o.greetingPieces;
        bool sent = true;
        SleepSeconds(o.greetingDelay);
        for (int i = 0; i < pieces && sent; ++i) {
            int from = 4 * i / pieces, to = 4 * (i + 1) / pieces;
            if (i > 0) SleepSeconds(0.05);
            sent = SendAll(fd, kGreeting + from, static_cast<size_t>(to - from));
        }
        if (sent && o.extraBytes > 0) {
            std::vector<char> extra(static_cast<size_t>(o.extraBytes), 'x');
            sent = SendAll(fd, extra.data(), extra.size());
        }
        SleepSeconds(o.readDelay);
        outcome = ReadConnection(fd, o, frame, buffer, deadline);
        if (!sent && outcome.ended == "client-closed") outcome.ended = "client-closed-before-greeting";
        if (outcome.ended == "server-reset") open = false;
    }
    if (open) close(fd);
    if (output != nullptr) std::fclose(output);

    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string line = "{\"connection\":" + std::to_string(connection) +
                       ",\"client_id\":" + std::to_string(frame.clientId()) +
                       ",\"length\":" + std::to_string(frame.length());
    if (o.digest) line += ",\"sha256\":\"" + digest.HexDigest() + "\"";
    line += std::string(",\"well_formed\":") + (frame.WellFormed() ? "true" : "false");
    line += ",\"ended\":\"" + Escape(outcome.ended) + "\"";
    line += ",\"bytes_received\":" + std::to_string(outcome.bytesReceived);
    line += std::string(",\"family\":\"") + family + "\"";
    line += ",\"payload_received\":" + std::to_string(frame.payloadReceived());
    line += ",\"trailing_bytes\":" + std::to_string(frame.trailingBytes());
    if (*frame.problem() != '\0') line += ",\"problem\":\"" + Escape(frame.problem()) + "\"";
    char secondsText[32];
    std::snprintf(secondsText, sizeof secondsText, "%.6f", seconds);
    line += std::string(",\"seconds\":") + secondsText + "}";
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}
// A port below the first of the system's outgoing ports that nothing uses now: tried in turn
// from a place that differs from run to run. 0 (any port) when none is found.
uint16_t PortBelowOutgoingRange() {
    int first = 32768;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d", &first) != 1) first = 32768;
        std::fclose(range);
    }
    const int low = 10000;
    if (first <= low + 1) return 0;
    const int span = first - low;
    const int start = static_cast<int>(getpid()) % span;
    for (int i = 0; i < span && i < 2000; ++i) {
        const uint16_t port = static_cast<uint16_t>(low + (start + i) % span);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        int taker = socket(AF_INET, SOCK_STREAM, 0);
        if (taker < 0) return 0;
        const bool free = bind(taker, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(taker);
        if (free) return port;
    }
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    Options o = Parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeoutSeconds));
    // The hard stop, should anything block past the deadline.
    alarm(static_cast<unsigned>(o.timeoutSeconds) + 3);

    sockaddr_storage address = {};
    socklen_t length = 0;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, o.listen.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        length = sizeof *in4;
    } else if (inet_pton(AF_INET6, o.listen.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        length = sizeof *in6;
    } else {
        Fail("--listen needs a numeric address");
    }
    int listener = socket(address.ss_family, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (address.ss_family == AF_INET6) {
        // "::" takes both families; any other IPv6 address only its own.
        int only = IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr) ? 0 : 1;
        setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    u_int16_t& port = address.ss_family == AF_INET ? in4->sin_port : in6->sin6_port;
    port = htons(static_cast<uint16_t>(o.port));
    if (o.mode == "refuse" && o.port == 0 && listener >= 0) {
        // A refused port must lie below the system's range of outgoing ports: a connection to a
        // closed port inside it can, once in many thousand tries, get that very port as its own
        // source and so connect to itself, and the client then waits for a greeting forever.
        port = htons(PortBelowOutgoingRange());
    }
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("receiver: listen");
        return 1;
    }
    std::printf("PORT %d\n", ntohs(port));
    std::fflush(stdout);
    if (o.mode == "refuse") {
        close(listener);
        return 0;
    }

    std::vector<uint8_t> buffer(4u << 20);
    for (int k = 1; k <= o.connections; ++k) {
        int fd = -1;
        sockaddr_storage peer = {};
        socklen_t peerLength = sizeof peer;
        while (fd < 0) {
            int left = MillisecondsLeft();
            if (left == 0) {
                std::fprintf(stderr, "receiver: timed out waiting for connection %d\n", k);
                return 2;
            }
            if (!WaitFor(listener, POLLIN, left)) continue;
            peerLength = sizeof peer;
            fd = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        }
        Serve(fd, k, o, buffer, FamilyOf(peer));
    }
    close(listener);
    return 0;
}
