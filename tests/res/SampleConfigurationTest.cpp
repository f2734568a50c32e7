// The sample Parvolet.ini of the release package, read by the program's own configuration reader
// with the CR LF line ends it has in the zip: its comments must not be taken for keys or values.
#include "app/DecimalConversion.h"
#include "config/ProfileReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string S(const CText& t) { return std::string(t.Data(), t.Length()); }

TEST(SampleConfiguration, CrLfCopyGivesTheDocumentedValues) {
    std::ifstream in(PARVOLET_SAMPLE_INI, std::ios::binary);
    ASSERT_TRUE(in.good()) << PARVOLET_SAMPLE_INI;
    const std::string lf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(lf.find('\r'), std::string::npos) << "kept with LF ends; packaging makes them CR LF";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);

    const fs::path path = fs::temp_directory_path() / ("parvolet-sample-" + std::to_string(::getpid()) + ".ini");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << crlf;
        ASSERT_TRUE(out.good());
    }
    const CText file(path.string().c_str());
    EXPECT_EQ(S(ReadProfileValue(file, "Network", "ServerAddress")), "127.0.0.1");
    EXPECT_EQ(ConvertDecimal(ReadProfileValue(file, "Network", "ClientID")), 1234);
    EXPECT_EQ(S(ReadProfileValue(file, "Network", "ClientID")), "1234");
    EXPECT_EQ(S(ReadProfileValue(file, "Network", "Port")), "5150");
    std::remove(path.string().c_str());
}

}  // namespace
