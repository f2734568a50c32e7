// Scratch files for the loader and reader tests: written into the test's temporary directory and
// removed when the test's holder goes out of scope.
#pragma once

#include "framework/Text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

class ScratchFile {
public:
    explicit ScratchFile(const std::string& bytes, const char* name = "scratch.txt") {
        // The process id in the name: test cases run as parallel processes that share one temporary
        // directory, and one must never read a file that another is rewriting.
        path_ = TempDirectory() + "parvolet-" + std::to_string(ProcessId()) + "-" + name;
        std::FILE* f = std::fopen(path_.c_str(), "wb");
        if (f != nullptr) {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    CText Path() const { return CText(path_.c_str()); }

    static std::string TempDirectory() {
        // Wine maps TMP/TEMP to its own folder; natively /tmp is there.
        for (const char* name : {"TMPDIR", "TMP", "TEMP"}) {
            const char* value = std::getenv(name);
            if (value != nullptr && *value != '\0') {
                std::string dir(value);
                char last = dir.back();
                if (last != '/' && last != '\\') dir += '/';
                return dir;
            }
        }
        return "/tmp/";
    }

private:
#if defined(_WIN32)
    static long ProcessId() { return static_cast<long>(_getpid()); }
#else
    static long ProcessId() { return static_cast<long>(getpid()); }
#endif

    std::string path_;
};

// Compares large byte strings by their first difference: gtest's own message for two strings of
// many lines computes a line diff whose memory grows with the square of the line count.
inline ::testing::AssertionResult SameBytes(const std::string& want, const std::string& got) {
    if (want == got) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    return ::testing::AssertionFailure() << "lengths " << want.size() << " and " << got.size()
                                         << ", first difference at byte " << at;
}
