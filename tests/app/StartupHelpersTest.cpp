// The text steps of start-up: the command line past the program's name, the file to send it
// names, and the decimal conversion of the port and the client id.
#include "app/DecimalConversion.h"
#include "app/FileToSend.h"
#include "app/PayloadLoader.h"
#include "framework/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestFiles.h"

namespace {

TEST(CommandLine, SkipsTheProgramNameAndTheBlanksAfterIt) {
    struct Row {
        const char* line;
        const char* rest;
    } rows[] = {
        {"parvolet.exe data.txt", "data.txt"},
        {"\"C:\\Program Files\\Parvolet\\parvolet.exe\" data.txt", "data.txt"},
        {"\"C:\\a b\\parvolet.exe\"data.txt", "data.txt"},           // no blank after the quote
        {"parvolet.exe", ""},
        {"parvolet.exe   \t  ", ""},
        {"", ""},
        {"parvolet.exe \t \"my file.txt\" x ", "\"my file.txt\" x "},  // quotes and trailing blanks kept
        {"parvolet.exe\tname with  spaces", "name with  spaces"},
        {"\"unterminated name", ""},
        {"\"\" rest", "rest"},
        {"p.exe \x01\x1f" "a", "a"},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(row.rest, SkipProgramName(row.line)) << row.line;
        EXPECT_EQ(CText(row.rest), CommandLineArguments(row.line)) << row.line;
    }
    EXPECT_EQ(CText(), CommandLineArguments(nullptr));
}

TEST(FileToSend, OpenedAsTypedAndShownInCapitals) {
    // Natively names match case-sensitively, as in a case-sensitive folder on Windows.
    ScratchFile file("sent", "lower case.txt");
    std::string typed = std::string(" \t") + file.Path().Data() + "  ";
    FileToSend taken = TakeFileToSend(CText(typed.c_str()));
    EXPECT_EQ(file.Path(), taken.name);
    CText payload;
    unsigned long readError = 0;
    EXPECT_EQ(PayloadLoad::loaded, LoadPayload(taken.name, payload, readError));
    CText shown = file.Path();
    shown.MakeUpper();
    EXPECT_EQ(shown, taken.shown);
}

TEST(DecimalConversion, RunTimeLibraryRules) {
    struct Row {
        const char* text;
        int32_t value;
    } rows[] = {
        {"8080", 8080},
        {"8080abc", 8080},
        {"-12", -12},
        {"+7", 7},
        {" \t\r\n\v\f42", 42},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-1", 0},
        {"- 1", 0},
        {"4294967297", 1},
        {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"4294967295", -1},
        {"99999999999999999999", 1661992959}, // wraps on every digit, never undefined
        {"007", 7},
        {"12 34", 12},
    };
    for (const Row& row : rows) EXPECT_EQ(row.value, ConvertDecimal(CText(row.text))) << row.text;
    EXPECT_EQ(5, ConvertDecimal(CText("5\0" "9", 3)));
}

} // namespace
