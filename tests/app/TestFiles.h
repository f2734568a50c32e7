// Scratch files for the loader and reader tests: written into the test's temporary directory and
// removed when the test's holder goes out of scope.
#pragma once

#include "framework/Text.h"

#include <cstdio>
#include <string>

class ScratchFile {
public:
    explicit ScratchFile(const std::string& bytes, const char* name = "scratch.txt") {
        path_ = TempDirectory() + name;
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
    std::string path_;
};
