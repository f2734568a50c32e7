// The framework's file over a Win32 handle: the handle is the file's own and closes with it, a
// duplicate is a second owner of the same open file, and Close reports its result.
#include "framework/File.h"

#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

class FileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        char directory[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(MAX_PATH, directory));
        path_ = std::string(directory) + "parvolet-file-" + std::to_string(GetCurrentProcessId()) + ".bin";
        CFile writer;
        ASSERT_TRUE(writer.Open(path_.c_str(), CFile::modeWrite | CFile::modeCreate));
        writer.WriteBuffer("0123456789", 10);
        writer.Close();
    }
    void TearDown() override { DeleteFileA(path_.c_str()); }

    // The file opens without FILE_SHARE_DELETE, so it can be deleted only once no handle of
    // ours is left open on it.
    bool NoHandleLeft() const { return DeleteFileA(path_.c_str()) != FALSE; }

    std::string path_;
};

TEST_F(FileOnDisk, TheHandleClosesWithTheFile) {
    {
        CFile file;
        ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeRead));
        EXPECT_NE(INVALID_HANDLE_VALUE, file.GetFileHandle());
        ASSERT_FALSE(NoHandleLeft()) << "the share mode is not honoured: this test proves nothing";
    }
    EXPECT_TRUE(NoHandleLeft());
}

TEST_F(FileOnDisk, ADuplicateSharesThePositionAndOwnsItsOwnHandle) {
    std::unique_ptr<CFile> copy;
    {
        CFile file;
        ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeRead));
        char head[3];
        ASSERT_EQ(3u, file.ReadBuffer(head, 3));
        copy = file.Duplicate();
        ASSERT_NE(nullptr, copy);
        EXPECT_NE(file.GetFileHandle(), copy->GetFileHandle());
        EXPECT_EQ(CText(path_.c_str()), copy->GetFilePath());
    }
    // The original is gone; the duplicate still reads on from where the two were.
    char rest[16];
    ASSERT_EQ(7u, copy->ReadBuffer(rest, sizeof rest));
    EXPECT_EQ("3456789", std::string(rest, 7));
    EXPECT_FALSE(NoHandleLeft());
    copy.reset();
    EXPECT_TRUE(NoHandleLeft());
}

TEST_F(FileOnDisk, CloseAndAbortLeaveNoHandleAndMayBeRepeated) {
    CFile file;
    ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeRead));
    file.Close();
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.GetFileHandle());
    EXPECT_NO_THROW(file.Close());
    ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeRead));
    file.Abort();
    file.Abort();
    EXPECT_EQ(INVALID_HANDLE_VALUE, file.GetFileHandle());
    EXPECT_TRUE(NoHandleLeft());
}

TEST_F(FileOnDisk, OpeningAgainReplacesAndClosesTheOldHandle) {
    CFile file;
    ASSERT_TRUE(file.Open(path_.c_str(), CFile::modeRead));
    CFileException error(CFileException::none, 0, CText());
    EXPECT_FALSE(file.Open((path_ + ".missing").c_str(), CFile::modeRead, &error));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, error.osError);
    EXPECT_FALSE(NoHandleLeft()); // a failed open keeps the file that was open
    const std::string other = path_ + ".other";
    CFile writer;
    ASSERT_TRUE(writer.Open(other.c_str(), CFile::modeWrite | CFile::modeCreate));
    writer.Close();
    ASSERT_TRUE(file.Open(other.c_str(), CFile::modeRead));
    EXPECT_TRUE(NoHandleLeft());
    file.Close();
    EXPECT_TRUE(DeleteFileA(other.c_str()));
}

} // namespace
