// Times the real payload loader natively: loads each named file the given number of times and
// prints one JSON line per load with the file size, the payload length, the seconds taken and the
// process's peak resident memory. --block sets the loader's raw read size, to study its effect;
// --touch only fills fresh memory of the file's size: the floor under any loader that holds it.
#include "app/PayloadLoader.h"
#include "framework/Text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace {
const char* ResultName(PayloadLoad result) {
    switch (result) {
    case PayloadLoad::loaded: return "loaded";
    case PayloadLoad::notOpened: return "notOpened";
    case PayloadLoad::tooLarge: return "tooLarge";
    case PayloadLoad::readFailed: return "readFailed";
    }
    return "unknown";
}
// Fresh memory of the file's size, every page written once, in the payload's own string type.
PayloadLoad Touch(long long size, CText& payload) {
    if (size < 0) return PayloadLoad::notOpened;
    char* buffer = payload.GetBuffer(static_cast<size_t>(size));
    std::memset(buffer, 'x', static_cast<size_t>(size));
    payload.ReleaseBuffer(static_cast<size_t>(size));
    return PayloadLoad::loaded;
}

// VmHWM of this process image alone: getrusage would also count the parent that forked us.
long PeakResidentKib() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            kib = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return kib;
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_loader [--repeat N] [--block BYTES] [--touch 1] FILE...\n");
        return 2;
    }
    int repeat = 1;
    size_t block = 0; // the loader's default
    bool touch = false;
    int first = 1;
    while (first + 1 < argc && std::strncmp(argv[first], "--", 2) == 0) {
        std::string_view option = argv[first];
        long long value = std::atoll(argv[first + 1]);
        if (option == "--repeat") {
            repeat = value < 1 ? 1 : static_cast<int>(value);
        } else if (option == "--touch") {
            touch = value != 0;
        } else if (option == "--block") {
            block = value < 0 ? 0 : static_cast<size_t>(value);
        } else {
            std::fprintf(stderr, "bench_loader: unknown option %s\n", argv[first]);
            return 2;
        }
        first += 2;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) {
        struct stat info;
        long long size = ::stat(argv[i], &info) == 0 ? static_cast<long long>(info.st_size) : -1;
        for (int r = 0; r < repeat; ++r) {
            CText payload;
            auto start = std::chrono::steady_clock::now();
            unsigned long readError = 0;
            PayloadLoad result = touch ? Touch(size, payload) : LoadPayload(CText(argv[i]), payload, readError, block);
            auto stop = std::chrono::steady_clock::now();
            double seconds = std::chrono::duration<double>(stop - start).count();
            // The file name is ours (the bench's work directory), so it needs no JSON escaping.
            std::printf("{\"file\":\"%s\",\"size\":%lld,\"length\":%zu,\"result\":\"%s\",\"seconds\":%.6f,"
                        "\"hwm_kib\":%ld}\n",
                        argv[i], size, payload.Length(), ResultName(result), seconds, PeakResidentKib());
            std::fflush(stdout);
            if (result != PayloadLoad::loaded) status = 1;
        }
    }
    return status;
}
