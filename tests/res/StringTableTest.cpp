// The string table: every text the program shows loads by its number, byte for byte, in US English.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "res/resource.h"
#include "tests/res/ResourceBytes.h"

namespace {

struct ExpectedText {
    UINT id;
    const char* text;
};

const ExpectedText kTexts[] = {
    {IDS_SOCKETS_INIT_FAILED, "Windows sockets initialization failed."},
    {IDS_APP_TITLE, "Internet Connection"},
    {IDS_NO_FILE_ARGUMENT,
     "You must specify a file to send on the command line.\nusage: parvolet.exe filename"},
    {IDS_FILE_NOT_FOUND, "The specified file to send was not found:\n"},
    {IDS_SEND_FAILED_TRY_LATER,
     "Your information could not be sent over your TCP/IP connection.\n"
     "Please correct the problem and try again later."},
    {IDS_STATUS_PLEASE_WAIT,
     "Please wait while the information is\ntransferred over your TCP/IP connection."},
    {IDS_STATUS_COMPLETE, "Information transfer complete!\nClick 'OK' to exit."},
    {IDS_STATUS_FAILED,
     "Your information was not sent successfully. Please correct the problem and retry. "
     "Click 'Cancel' to quit now."},
    {IDS_BAR_CONNECTING, "Attempting to connect to Tamsk"},
    {IDS_BAR_TRANSFERRING, "Transferring Information"},
    {IDS_BAR_SUCCESS, "Transmission Successful"},
    {IDS_BAR_FAILURE, "Transmission Failure"},
    {IDS_CONFIG_MISSING,
     "The following file is missing,\nbut required to continue:\n\nPARVOLET.INI"},
    {IDS_CONFIRM_CANCEL,
     "Registration is not complete.\n\nAre you sure you want to exit without registering your "
     "software?"},
    {IDS_FILE_TOO_LARGE, "The specified file to send is too large:\n"},
    {IDS_BAR_TRANSFER_AMOUNT, "Transferring Information: {percent}% of {size}"},
    {IDS_BAR_WAITING_FOR_SERVER, "Waiting for the server: {percent}% of {size} sent"},
    {IDS_FILE_READ_FAILED, "The specified file to send could not be read:\n"},
    {IDS_CONFIG_READ_FAILED, "The following file could not be read,\nbut is required to continue:\n\nPARVOLET.INI"},
    {IDS_SECURITY_INIT_FAILED, "Windows security functions initialization failed."},
};

TEST(StringTable, EveryTextLoadsExactly) {
    for (const ExpectedText& expected : kTexts) {
        char buffer[512];
        // Fill first: a short load must not pass by leaving old bytes that happen to match.
        memset(buffer, 'x', sizeof buffer);
        int length = LoadStringA(ShippedModule(), expected.id, buffer, sizeof buffer);
        ASSERT_GT(length, 0) << "string " << expected.id << " is missing";
        EXPECT_EQ(std::string(buffer, length), expected.text) << "string " << expected.id;
        EXPECT_EQ(buffer[length], '\0') << "string " << expected.id;
        // Line breaks are single line feeds; a CR would show as a stray box in message boxes.
        EXPECT_EQ(std::string(buffer, length).find('\r'), std::string::npos) << expected.id;
    }
}

TEST(StringTable, BlocksAreUsEnglish) {
    // Strings are stored sixteen to a block; block n holds ids 16 (n - 1) to 16 n - 1.
    for (const ExpectedText& expected : kTexts) {
        ResourceBytes block =
            FindUsEnglishResource(RT_STRING, MAKEINTRESOURCEA(expected.id / 16 + 1));
        EXPECT_NE(block.data, nullptr) << "string " << expected.id;
    }
}

TEST(StringTable, UnknownIdLoadsNothing) {
    char buffer[64] = "unchanged";
    EXPECT_EQ(LoadStringA(ShippedModule(), IDS_SOCKETS_INIT_FAILED + 1, buffer,
                          sizeof buffer),
              0);
}

}  // namespace
