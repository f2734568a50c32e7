// Fuzzes NormalizePath and JoinPath. Input: a directory, a NUL, then a name (no NUL: the whole
// input is the directory and the name is empty); NormalizePath also gets the whole input raw.
// Checked: no run of two or more backslashes survives except the two that begin a network path,
// a network path keeps its prefix, results are stable under a second pass, and joins start trimmed.
#include "config/PathOperations.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <string>

namespace {

size_t LeadingBlanks(const std::string& s) {
    size_t n = 0;
    while (n < s.size() && IsBlank(s[n])) ++n;
    return n;
}

bool IsNetworkPath(const std::string& s) { return Trimmed(s).compare(0, 2, "\\\\") == 0; }

// A path made of nothing but the network prefix loses it: two backslashes become one, and one
// becomes nothing on the next pass. That is the intended result, so it is exempt below.
bool IsBarePrefixResult(const std::string& result) { return result.substr(LeadingBlanks(result)) == "\\"; }

// With two or more colons and a rooted colon at the very end, a second pass drops that final
// backslash (the text then already holds ":\" elsewhere, so nothing roots the last colon again).
bool EndsInRootedColonAmongOthers(const std::string& result) {
    size_t size = result.size();
    return size >= 2 && result.compare(size - 2, 2, ":\\") == 0 && result.find(':') < size - 2;
}

void CheckNormalized(const std::string& source, const std::string& result) {
    bool network = IsNetworkPath(source);
    size_t blanks = LeadingBlanks(result);
    for (size_t i = 0; i + 1 < result.size(); ++i) {
        if (result[i] != '\\' || result[i + 1] != '\\') continue;
        // The only pair allowed: the network prefix, and it is exactly two long.
        FUZZ_CHECK(network && i == blanks);
        FUZZ_CHECK(i + 2 == result.size() || result[i + 2] != '\\');
    }
    if (network && !IsBarePrefixResult(result)) FUZZ_CHECK(result.compare(blanks, 2, "\\\\") == 0);
    if (!IsBarePrefixResult(result) && !EndsInRootedColonAmongOthers(result)) {
        CText again = ToText(result);
        NormalizePath(again);
        FUZZ_CHECK(ToString(again) == result);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);

    CText path = ToText(input);
    NormalizePath(path);
    CheckNormalized(input, ToString(path));

    size_t nul = input.find('\0');
    std::string directory = input.substr(0, nul);
    std::string name = nul == std::string::npos ? "" : input.substr(nul + 1);
    if (name.find('\0') != std::string::npos) return 0;
    std::string joined = ToString(JoinPath(ToText(directory), ToText(name)));
    // The start is trimmed; the end may show a blank that stood before a dropped final backslash.
    FUZZ_CHECK(LeadingBlanks(joined) == 0);
    std::string source = directory.empty() ? Trimmed(name) : Trimmed(directory) + "\\" + Trimmed(name);
    CheckNormalized(source, joined);
    if (joined == Trimmed(joined) && !IsBarePrefixResult(joined) && !EndsInRootedColonAmongOthers(joined)) {
        FUZZ_CHECK(ToString(JoinPath(CText(), ToText(joined))) == joined);
    }
    return 0;
}
