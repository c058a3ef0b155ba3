#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/win32.h"

namespace {

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void Put(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

struct NotAFile : pelmora::platform::Object {};

// Every test works in its own empty folder below the test's working folder.
class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            std::filesystem::remove_all(dir);
    }
    std::string In(const std::string &name) const { return dir + "/" + name; }

    HANDLE Open(const std::string &path, DWORD access, DWORD disposition)
    {
        return CreateFileA(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    void Write(HANDLE h, const std::string &text)
    {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        EXPECT_EQ(text.size(), written);
    }

    const std::string dir =
        std::string("files-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

}  // namespace

TEST_F(Files, create_new_makes_a_file_and_refuses_an_existing_one)
{
    SetLastError(123);
    HANDLE h = Open(In("new.txt"), GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, GetLastError());
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("new.txt"), GENERIC_WRITE, CREATE_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
}

TEST_F(Files, open_always_keeps_content_and_create_always_empties_the_file)
{
    HANDLE h = Open(In("a.txt"), GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, GetLastError());
    Write(h, "hello");
    CloseHandle(h);

    h = Open(In("a.txt"), GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(5u, GetFileSize(h, nullptr));
    CloseHandle(h);
    EXPECT_EQ("hello", ReadAll(In("a.txt")));

    h = Open(In("a.txt"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    CloseHandle(h);
    EXPECT_EQ("", ReadAll(In("a.txt")));

    Put(In("b.txt"), "content");
    h = Open(In("b.txt"), GENERIC_WRITE, TRUNCATE_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_EQ("", ReadAll(In("b.txt")));
}

TEST_F(Files, a_missing_file_and_a_missing_folder_give_their_own_errors)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("none.txt"), GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("none.txt"), GENERIC_WRITE, TRUNCATE_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("nofolder/x.txt"), GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("nofolder/x.txt"), GENERIC_WRITE, OPEN_ALWAYS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("nofolder/deeper/x.txt"), GENERIC_WRITE, CREATE_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(Files, a_folder_cannot_be_opened_as_a_file)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(dir, GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(dir, GENERIC_WRITE, OPEN_ALWAYS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(Files, opening_moving_to_the_end_and_writing_appends_a_line_per_open)
{
    // The pattern of the daily files: open-or-create for writing, no sharing, append, close.
    const std::string path = In("1_Meteo20240305.txt");
    DWORD end = 0;
    for (const std::string line : {"first\r\n", "second\r\n"}) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(end, SetFilePointer(h, 0, nullptr, FILE_END));
        end += static_cast<DWORD>(line.size());
        Write(h, line);
        CloseHandle(h);
    }
    EXPECT_EQ("first\r\nsecond\r\n", ReadAll(path));
}

TEST_F(Files, the_file_pointer_moves_from_start_current_position_and_end)
{
    HANDLE h = Open(In("seek.bin"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Write(h, "0123456789");
    EXPECT_EQ(10u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(2u, SetFilePointer(h, 2, nullptr, FILE_BEGIN));
    EXPECT_EQ(5u, SetFilePointer(h, 3, nullptr, FILE_CURRENT));
    EXPECT_EQ(4u, SetFilePointer(h, -1, nullptr, FILE_CURRENT));
    EXPECT_EQ(7u, SetFilePointer(h, -3, nullptr, FILE_END));

    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(3u, read);
    EXPECT_EQ("789", std::string(buffer, read));
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));  // at the end: no error
    EXPECT_EQ(0u, read);

    EXPECT_EQ(1u, SetFilePointer(h, 1, nullptr, FILE_BEGIN));
    Write(h, "AB");
    EXPECT_EQ(0u, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
    ASSERT_TRUE(ReadFile(h, buffer, 10, &read, nullptr));
    EXPECT_EQ("0AB3456789", std::string(buffer, read));

    // Before the start: refused, position unchanged.
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -11, nullptr, FILE_END));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
    EXPECT_EQ(10u, SetFilePointer(h, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(0u, GetLastError());

    // Beyond 4 GiB through the high word (no data written there).
    LONG high = 1;
    EXPECT_EQ(0x10u, SetFilePointer(h, 0x10, &high, FILE_BEGIN));
    EXPECT_EQ(1, high);
    high = -1;
    EXPECT_EQ(0xFFFFFFF0u, SetFilePointer(h, -0x20, &high, FILE_CURRENT));
    EXPECT_EQ(0, high);
    DWORD sizeHigh = 99;
    EXPECT_EQ(10u, GetFileSize(h, &sizeHigh));
    EXPECT_EQ(0u, sizeHigh);
    CloseHandle(h);
}

TEST_F(Files, a_handle_only_does_what_it_was_opened_for)
{
    Put(In("r.txt"), "data");
    HANDLE reader = Open(In("r.txt"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    DWORD n = 99;
    EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, n);
    EXPECT_FALSE(FlushFileBuffers(reader));
    CloseHandle(reader);

    HANDLE writer = Open(In("r.txt"), GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    char buffer[4];
    EXPECT_FALSE(ReadFile(writer, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(FlushFileBuffers(writer));
    CloseHandle(writer);

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("r.txt"), GENERIC_READ, TRUNCATE_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ("data", ReadAll(In("r.txt")));
}

TEST_F(Files, an_open_without_sharing_refuses_further_opens_until_it_is_closed)
{
    Put(In("locked.txt"), "keep me");
    HANDLE owner = Open(In("locked.txt"), GENERIC_WRITE, OPEN_ALWAYS);  // share 0
    ASSERT_NE(INVALID_HANDLE_VALUE, owner);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("locked.txt"), GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("locked.txt"), GENERIC_WRITE, CREATE_ALWAYS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ("keep me", ReadAll(In("locked.txt")));  // the refused open emptied nothing
    EXPECT_FALSE(DeleteFileA(In("locked.txt").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    ASSERT_TRUE(CloseHandle(owner));

    HANDLE again = Open(In("locked.txt"), GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

TEST_F(Files, opens_that_share_what_the_other_does_live_together)
{
    const std::string path = In("shared.txt");
    const auto open = [&](DWORD access, DWORD share) {
        return CreateFileA(path.c_str(), access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    };
    HANDLE writer = open(GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, writer);
    HANDLE reader = open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(INVALID_HANDLE_VALUE, reader);
    // A second writer is refused by the first writer's sharing, a reader that will not share
    // writing by the writer's access.
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open(GENERIC_READ, FILE_SHARE_READ));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(reader);
    CloseHandle(writer);

    HANDLE deletable = open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_NE(INVALID_HANDLE_VALUE, deletable);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    CloseHandle(deletable);
}

TEST_F(Files, a_full_disk_fails_the_write_with_disk_full)
{
    HANDLE h = Open("/dev/full", GENERIC_WRITE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no /dev/full here";
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    EXPECT_EQ(0u, written);
    CloseHandle(h);
}

TEST_F(Files, a_read_only_file_cannot_be_opened_for_writing)
{
    Put(In("ro.txt"), "keep");
    ASSERT_EQ(0, chmod(In("ro.txt").c_str(), 0444));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY),
              GetFileAttributesA(In("ro.txt").c_str()));
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(In("ro.txt"), GENERIC_WRITE, OPEN_ALWAYS));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(Files, closed_and_foreign_handles_are_invalid)
{
    HANDLE h = Open(In("c.txt"), GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_TRUE(CloseHandle(h));
    DWORD n;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &n, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    HANDLE other = pelmora::platform::InsertHandle(std::make_shared<NotAFile>());
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(other, 0, nullptr, FILE_BEGIN));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(other, nullptr));
    CloseHandle(other);
}

TEST_F(Files, backslashes_in_paths_separate_folders)
{
    ASSERT_TRUE(CreateDirectoryA((dir + "\\data").c_str(), nullptr));
    HANDLE h = CreateFileA((dir + "\\data\\x.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    Write(h, "in data");
    CloseHandle(h);
    EXPECT_EQ("in data", ReadAll(In("data/x.txt")));
}

TEST_F(Files, attributes_folders_and_deletion)
{
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesA(dir.c_str()));
    Put(In("f.txt"), "x");
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL), GetFileAttributesA(In("f.txt").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(In("none").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(In("none/none").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    ASSERT_TRUE(CreateDirectoryA(In("sub").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(In("sub").c_str(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(CreateDirectoryA(In("none/sub").c_str(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    EXPECT_TRUE(DeleteFileA(In("f.txt").c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(In("f.txt").c_str()));
    EXPECT_FALSE(DeleteFileA(In("f.txt").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(DeleteFileA(In("sub").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(Files, a_move_replaces_the_target_only_when_asked)
{
    Put(In("a.txt"), "new");
    Put(In("b.txt"), "old");
    EXPECT_FALSE(MoveFileExA(In("a.txt").c_str(), In("b.txt").c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("old", ReadAll(In("b.txt")));

    ASSERT_TRUE(MoveFileExA(In("a.txt").c_str(), In("b.txt").c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ("new", ReadAll(In("b.txt")));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(In("a.txt").c_str()));
    EXPECT_FALSE(MoveFileExA(In("a.txt").c_str(), In("c.txt").c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}
