// Times the real payload loader natively: loads each named file the given number of times and
// prints one JSON line per load with the file size, the payload length and the seconds taken.
#include "app/PayloadLoader.h"
#include "framework/Text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>

namespace {
const char* ResultName(PayloadLoad result) {
    switch (result) {
    case PayloadLoad::loaded: return "loaded";
    case PayloadLoad::notOpened: return "notOpened";
    case PayloadLoad::tooLarge: return "tooLarge";
    }
    return "unknown";
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_loader [--repeat N] FILE...\n");
        return 2;
    }
    int repeat = 1;
    int first = 1;
    if (argc > 3 && std::string_view(argv[1]) == "--repeat") {
        repeat = std::atoi(argv[2]);
        if (repeat < 1) repeat = 1;
        first = 3;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) {
        struct stat info;
        long long size = ::stat(argv[i], &info) == 0 ? static_cast<long long>(info.st_size) : -1;
        for (int r = 0; r < repeat; ++r) {
            CText payload;
            auto start = std::chrono::steady_clock::now();
            PayloadLoad result = LoadPayload(CText(argv[i]), payload);
            auto stop = std::chrono::steady_clock::now();
            double seconds = std::chrono::duration<double>(stop - start).count();
            // The file name is ours (the bench's work directory), so it needs no JSON escaping.
            std::printf("{\"file\":\"%s\",\"size\":%lld,\"length\":%zu,\"result\":\"%s\",\"seconds\":%.6f}\n",
                        argv[i], size, payload.Length(), ResultName(result), seconds);
            std::fflush(stdout);
            if (result != PayloadLoad::loaded) status = 1;
        }
    }
    return status;
}
