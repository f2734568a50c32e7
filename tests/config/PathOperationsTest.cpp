// The path operations over their listed examples: drive roots, network paths, doubled
// separators, drive-relative names, and the executable's own path.
#include "config/PathOperations.h"

#include "config/TextOperations.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string S(const CText& t) { return std::string(t.Data(), t.Length()); }

struct Row {
    const char* input;
    const char* expected;
};

TEST(PathOperations, DirectoryPartIsWhatStandsBeforeTheLastBackslash) {
    const Row rows[] = {
        {"D:\\Tools\\run.exe", "D:\\Tools"},
        {"D:\\run.exe", "D:"},
        {"\\\\host\\share\\run.exe", "\\\\host\\share"},
        {"D:\\Tools\\", "D:\\Tools"},
        {"run.exe", ""},
        {"", ""},
        {"\\run.exe", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(S(GetDirectoryPart(row.input)), row.expected);
    }
}

TEST(PathOperations, NormalizeCollapsesSeparatorsAndRootsDrives) {
    const Row rows[] = {
        {"D:\\Tools\\\\run.ini", "D:\\Tools\\run.ini"},
        {"D:\\Tools\\", "D:\\Tools"},
        {"D:\\", "D:\\"},
        {"D:", "D:\\"},
        {"D:data\\x.ini", "D:\\data\\x.ini"},
        {"a:b:c", "a:\\b:\\c"},
        {"\\\\host\\\\share\\\\x.ini", "\\\\host\\share\\x.ini"},
        {"\\\\\\host\\x", "\\\\host\\x"},
        {"\\", ""},
        {"\\\\", "\\"},
        {"", ""},
        {"data\\x.ini", "data\\x.ini"},
        {"D:\\a:b", "D:\\a:b"}, // a rooted colon anywhere leaves every colon alone
        {"D:\\dir\\\\\\", "D:\\dir"},
        // Leading blanks do not hide a network path, and its second backslash stays next to the
        // first instead of moving in front of the blanks.
        {"  \\\\host\\share", "  \\\\host\\share"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        CText path(row.input);
        NormalizePath(path);
        EXPECT_EQ(S(path), row.expected);
    }
}

TEST(PathOperations, JoinTrimsBothPartsAndNormalises) {
    struct JoinRow {
        const char* directory;
        const char* name;
        const char* expected;
    } rows[] = {
        {"D:\\Tools", "Parvolet.ini", "D:\\Tools\\Parvolet.ini"},
        {"D:", "Parvolet.ini", "D:\\Parvolet.ini"},
        {"D:\\Tools\\", "Parvolet.ini", "D:\\Tools\\Parvolet.ini"},
        {"\\\\host\\share\\dir", "Parvolet.ini", "\\\\host\\share\\dir\\Parvolet.ini"},
        {"", "  D:data\\x.ini ", "D:\\data\\x.ini"},
        {"", " Parvolet.ini\r\n", "Parvolet.ini"},
        {"D:\\Tools", "", "D:\\Tools"},
        {" \tD:\\My Tools  ", "  My File.ini ", "D:\\My Tools\\My File.ini"},
        {"   ", "Parvolet.ini", "\\Parvolet.ini"}, // a blank directory is not an empty one
    };
    for (const JoinRow& row : rows) {
        SCOPED_TRACE(std::string(row.directory) + " + " + row.name);
        EXPECT_EQ(S(JoinPath(row.directory, row.name)), row.expected);
    }
}

TEST(PathOperations, ConfigurationBesideTheExecutable) {
    const Row rows[] = {
        {"D:\\run.exe", "D:\\Parvolet.ini"},
        {"\\\\host\\share\\dir\\run.exe", "\\\\host\\share\\dir\\Parvolet.ini"},
        {"C:\\Program Files\\Parvolet\\parvolet.exe", "C:\\Program Files\\Parvolet\\Parvolet.ini"},
        {"parvolet.exe", "Parvolet.ini"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(S(JoinPath(GetDirectoryPart(row.input), "Parvolet.ini")), row.expected);
    }
}

TEST(PathOperations, ModulePathIsTheRunningExecutable) {
    CText path = GetModulePath();
    ASSERT_FALSE(path.IsEmpty());
#ifdef _WIN32
    EXPECT_EQ(EqualsText(path.Right(4), ".exe", 0), 1) << path.Data();
    EXPECT_EQ(ContainsText(path, "config_tests", 0), 1) << path.Data();
    CText directory = GetModuleDirectory();
    ASSERT_FALSE(directory.IsEmpty());
    EXPECT_EQ(path.Left(directory.Length() + 1), directory + "\\");
    // Set by the run from a deeply nested copy of this program.
    if (const char* atLeast = std::getenv("PARVOLET_MODULE_PATH_AT_LEAST")) {
        EXPECT_GE(path.Length(), std::strtoul(atLeast, nullptr, 10)) << path.Data();
    }
#else
    EXPECT_EQ(path[0], '/');
    EXPECT_EQ(S(path.Right(12)), "config_tests");
#endif
}

} // namespace
