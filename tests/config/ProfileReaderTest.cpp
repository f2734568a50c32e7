// The configuration reader over real files in a private temporary directory: section and key
// rules, text-mode reading (CR LF, Ctrl-Z, NUL), long lines read whole, and files it must not
// create or lock.
#include "config/ProfileReader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string S(const CText& t) { return std::string(t.Data(), t.Length()); }

TEST(ProfileLines, SectionNamesKeysAndValues) {
    struct Row {
        const char* line;
        const char* section;
        const char* key;
        const char* value;
    } rows[] = {
        {"[Network]", "Network", "", ""},
        {"  [ net work ]  ", "net work", "", ""},
        {"[Network", "Network", "", ""},
        {"text [Network] more", "Network", "", ""},
        {"; [Network]", "", "", ""},
        {"[Network] ; main section", "Network", "", ""},
        {"[Net;work]", "Net", "", ""},
        {"[]", "", "", ""},
        {"Port = 80 ", "", "Port", "80"},
        {"ClientID = 12 = 13", "", "ClientID", "12 = 13"},
        {"ServerAddress = host ; note", "", "ServerAddress", "host ; note"},
        {";Port=80", "", ";Port", "80"},
        {"Port=", "", "Port", ""},
        {"Port=[8080]", "8080", "Port", "[8080]"},
        {"Name=\"a b\"\r", "", "Name", "\"a b\""},
        {"no assignment", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(S(SectionNameOf(row.line)), row.section);
        EXPECT_EQ(IsSectionHeader(row.line), *row.section != '\0' ? 1 : 0);
        EXPECT_EQ(S(KeyNameOf(row.line)), row.key);
        EXPECT_EQ(S(ValueOf(row.line)), row.value);
    }
}

class ProfileReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        directory_ = fs::temp_directory_path() /
                     ("parvolet-config-" + std::to_string(stamp) + "-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(directory_));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(File("Parvolet.ini"), fs::perms::owner_all, ignored);
        fs::remove_all(directory_, ignored);
    }

    fs::path File(const char* name) const { return directory_ / name; }
    static CText PathText(const fs::path& path) { return CText(path.string().c_str()); }

    CText Write(const std::string& body, const char* name = "Parvolet.ini") {
        std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
        out.close();
        EXPECT_TRUE(out.good());
        return PathText(File(name));
    }

    fs::path directory_;
};

struct ReadRow {
    const char* what;
    std::string body;
    const char* section;
    const char* key;
    std::string expected;
};

void ExpectValues(const CText& path, const ReadRow& row) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(S(ReadProfileValue(path, row.section, row.key)), row.expected);
}

TEST_F(ProfileReaderTest, SectionsAndKeys) {
    const std::string typical =
        "; settings of the transfer client\n[Network]\nServerAddress = host.example\nClientID = 12\nPort = 8080\n";
    const ReadRow rows[] = {
        {"address", typical, "Network", "ServerAddress", "host.example"},
        {"client id", typical, "Network", "ClientID", "12"},
        {"port", typical, "Network", "Port", "8080"},
        {"padded arguments", typical, "  Network ", " Port\t", "8080"},
        {"unknown key", typical, "Network", "Timeout", ""},
        {"unknown section", typical, "Other", "Port", ""},
        {"blank key", "[Network]\n=x\n", "Network", " ", ""},
        {"blanks inside the header", "[ network ]\nPort=1\n", "Network", "Port", "1"},
        {"upper-case header", "[NETWORK]\nPort=1\n", "Network", "Port", "1"},
        {"header between blanks", "  [Network]  \nPort=1\n", "Network", "Port", "1"},
        {"no closing bracket", "[Network\nPort=1\n", "Network", "Port", "1"},
        {"text before the bracket", "x [Network]\nPort=1\n", "Network", "Port", "1"},
        {"commented-out header", "; [Network]\nPort=1\n", "Network", "Port", ""},
        {"header with a comment", "[Network] ; main section\nPort=2\n", "Network", "Port", "2"},
        {"comment in a value", "[Network]\nServerAddress = host ; note\n", "Network", "ServerAddress", "host ; note"},
        {"commented-out key", "[Network]\n;Port=80\n", "Network", "Port", ""},
        {"empty value stops the search", "[Network]\nPort=\nPort=5\n", "Network", "Port", ""},
        {"later equals signs", "[Network]\nClientID = 12 = 13\n", "Network", "ClientID", "12 = 13"},
        {"quotes stay", "[Network]\nServerAddress=\"host\"\n", "Network", "ServerAddress", "\"host\""},
        {"key case", "[Network]\nsErVeRaDdReSs=x\n", "network", "ServerAddress", "x"},
        {"blanks inside a key count", "[Network]\nServer Address=x\n", "Network", "ServerAddress", ""},
        {"first of two", "[Network]\nPort=1\nPort=2\n", "Network", "Port", "1"},
        {"only in a second section", "[Network]\nA=1\n[Network]\nPort=2\n", "Network", "Port", ""},
        {"only in another section", "[Other]\nPort=3\n[Network]\nA=1\n", "Network", "Port", ""},
        {"before the first header", "Port=0\n[Network]\nA=1\n", "Network", "Port", ""},
        {"bracketed value ends the section", "[Network]\nPort=[8080]\nPort=9\n", "Network", "Port", ""},
        {"empty section searches everything", "[Other]\nPort=3\n[Network]\nPort=4\n", "", "Port", "3"},
        {"blank section too", "[Other]\nPort=3\n", "  ", "Port", "3"},
        {"empty section ignores headers", "[Other]\nPort=[7]\n", "", "Port", "[7]"},
        {"empty file", "", "Network", "Port", ""},
    };
    for (const ReadRow& row : rows) ExpectValues(Write(row.body), row);
}

TEST_F(ProfileReaderTest, TextModeReading) {
    const ReadRow rows[] = {
        {"CR LF", "[Network]\r\nPort = 80\r\nClientID=7\r\n", "Network", "Port", "80"},
        {"no final line end", "[Network]\r\nPort = 80\r\nClientID=7", "Network", "ClientID", "7"},
        {"lone CR stays in the line", "[Network]\nPort=80\rClientID=5\n", "Network", "Port", "80\rClientID=5"},
        {"lone CR does not end a line", "[Network]\nPort=80\rClientID=5\n", "Network", "ClientID", ""},
        {"Ctrl-Z ends the file", "[Network]\nPort=1\n\x1a\nClientID=2\n", "Network", "ClientID", ""},
        {"before Ctrl-Z", "[Network]\nPort=1\n\x1a\nClientID=2\n", "Network", "Port", "1"},
        {"Ctrl-Z inside a line", "[Network]\nPort=12\x1a" "3\n", "Network", "Port", "12"},
        {"NUL ends a line's text", std::string("[Network]\nPort=80\0Other=1\nClientID=5\n", 37), "Network", "Port", "80"},
        {"after a NUL is ignored", std::string("[Network]\nPort=80\0Other=1\nClientID=5\n", 37), "Network", "Other", ""},
        {"next line after a NUL", std::string("[Network]\nPort=80\0Other=1\nClientID=5\n", 37), "Network", "ClientID", "5"},
        {"NUL inside a key", std::string("[Network]\nPo\0rt=1\n", 18), "Network", "Port", ""},
    };
    for (const ReadRow& row : rows) ExpectValues(Write(row.body), row);
}

// The file as PowerShell 5.1 and Notepad's "Unicode" saves write it: a byte-order mark, then the
// 16-bit units in that order.
std::string Utf16File(const std::u16string& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t unit : text) {
        char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

TEST_F(ProfileReaderTest, Utf16FilesReadAsTheirTextAndUtf8AsBefore) {
    using namespace std::string_literals;
    const std::u16string typical = u"; written by a script\r\n[Network]\r\nServerAddress = 127.0.0.1\r\nPort = 80\r\n";
    const ReadRow rows[] = {
        {"little-endian", Utf16File(typical, false), "Network", "ServerAddress", "127.0.0.1"},
        {"big-endian", Utf16File(typical, true), "Network", "Port", "80"},
        {"a last odd byte is no character", Utf16File(typical, false) + "A", "Network", "Port", "80"},
        {"lone CR stays", Utf16File(u"[Network]\nPort=80\rClientID=5\n", false), "Network", "Port", "80\rClientID=5"},
        {"Ctrl-Z ends the file", Utf16File(u"[Network]\r\nPort=1\r\n\x1a\r\nClientID=2\r\n", false), "Network",
         "ClientID", ""},
        {"NUL ends a line's text", Utf16File(u"[Network]\r\nPort=80\0Other=1\r\n"s, false), "Network", "Port", "80"},
        // No look-alike: an omega must not become the O of another host name.
        {"a character the code page lacks", Utf16File(u"[Network]\r\nServerAddress=h\u03A9st\r\n", true), "Network",
         "ServerAddress", "h?st"},
        {"a character beyond 16 bits is one", Utf16File(u"[Network]\r\nServerAddress=\U0001F600x\r\n", false),
         "Network", "ServerAddress", "?x"},
        {"a mark alone", "\xFF\xFE", "Network", "Port", ""},
        // The UTF-8 mark sits before the first header, where it does no harm.
        {"UTF-8 with its mark", "\xEF\xBB\xBF[Network]\r\nPort=80\r\n", "Network", "Port", "80"},
        {"half a mark is a byte", "\xFF[Network]\nPort=7\n", "Network", "Port", "7"},
    };
    for (const ReadRow& row : rows) ExpectValues(Write(row.body), row);
}

TEST_F(ProfileReaderTest, LongLinesAreReadWhole) {
    // Lines beyond 1022 characters once fell apart into pieces, and a tail could turn into a key
    // line or a header of its own. Every row here would give a different answer if they did.
    const std::string filler1022 = ";" + std::string(1021, 'x');
    const std::string longValue(5000, 'v');
    const std::string hugeValue(300000, 'h');
    const ReadRow rows[] = {
        {"tail is not a key", "[Network]\n" + filler1022 + "Port=99\nPort=1\n", "Network", "Port", "1"},
        {"tail is not a header", "[Network]\n" + filler1022 + "[Other]\nPort=5\n", "Network", "Port", "5"},
        {"tail is not the header sought", filler1022 + "[Network]\nPort=6\n", "Network", "Port", ""},
        {"exactly 1022 characters", "[Network]\n" + filler1022 + "\nPort=2\n", "Network", "Port", "2"},
        {"long value", "[Network]\nServerAddress=" + longValue + "\nPort=3\n", "Network", "ServerAddress", longValue},
        {"after a long value", "[Network]\nServerAddress=" + longValue + "\nPort=3\n", "Network", "Port", "3"},
        {"huge value with CR LF", "[Network]\r\nServerAddress=" + hugeValue + "\r\n", "Network", "ServerAddress", hugeValue},
    };
    for (const ReadRow& row : rows) ExpectValues(Write(row.body), row);
}

TEST_F(ProfileReaderTest, MissingFilesAreNeitherFoundNorCreated) {
    fs::path missing = File("Parvolet.ini");
    EXPECT_EQ(S(ReadProfileValue(PathText(missing), "Network", "Port")), "");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(S(ReadProfileValue(PathText(File("no such dir") / "x.ini"), "Network", "Port")), "");
    EXPECT_FALSE(fs::exists(File("no such dir")));
    EXPECT_EQ(S(ReadProfileValue(PathText(directory_), "Network", "Port")), ""); // a directory
    EXPECT_EQ(S(ReadProfileValue("", "Network", "Port")), "");
    // None of them is a file that cannot be read: start-up says "missing" for each.
    EXPECT_EQ(CheckProfileFile(PathText(missing)), 0u);
    EXPECT_EQ(CheckProfileFile(PathText(File("no such dir") / "x.ini")), 0u);
    EXPECT_EQ(CheckProfileFile(PathText(directory_)), 0u);
}

TEST_F(ProfileReaderTest, EveryCallReadsTheFileAfresh) {
    CText path = Write("[Network]\nPort=1\n");
    EXPECT_EQ(S(ReadProfileValue(path, "Network", "Port")), "1");
    Write("[Network]\nPort=2\n");
    EXPECT_EQ(S(ReadProfileValue(path, "Network", "Port")), "2");
}

TEST_F(ProfileReaderTest, ReadOnlyAndBusyFilesAreRead) {
    CText path = Write("[Network]\nPort=1\n");
    fs::permissions(File("Parvolet.ini"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(S(ReadProfileValue(path, "Network", "Port")), "1");
    fs::permissions(File("Parvolet.ini"), fs::perms::owner_all);

    // Another program holding the file open for writing does not keep it from being read, and
    // the reader leaves the file as it was.
    std::ofstream writer(File("Parvolet.ini"), std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open());
    writer << "ClientID=9\n";
    writer.flush();
    EXPECT_EQ(S(ReadProfileValue(path, "Network", "ClientID")), "9");
    writer.close();
    EXPECT_EQ(fs::file_size(File("Parvolet.ini")), 28u);
}

} // namespace
