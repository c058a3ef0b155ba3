#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

// Each test writes its own file in the test's working folder.
class Profile : public ::testing::Test {
protected:
    void Write(const std::string &content)
    {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    void TearDown() override { remove(path.c_str()); }

    std::string String(const char *section, const char *key, const char *def = "<default>")
    {
        char buffer[256];
        DWORD n = GetPrivateProfileStringA(section, key, def, buffer, sizeof buffer, path.c_str());
        EXPECT_EQ(strlen(buffer), n);
        return buffer;
    }
    UINT Int(const char *section, const char *key, INT def = 777)
    {
        return GetPrivateProfileIntA(section, key, def, path.c_str());
    }

    std::string path = std::string("./") +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
};

}  // namespace

TEST_F(Profile, section_and_key_names_compare_without_case)
{
    Write("[Settings]\nCOMPORT=3\n[units]\nwind=1\n");
    EXPECT_EQ(3u, Int("settings", "comport"));
    EXPECT_EQ(3u, Int("SETTINGS", "ComPort"));
    EXPECT_EQ(1u, Int("Units", "Wind"));
    EXPECT_EQ("3", String("sEtTiNgS", "cOmPoRt"));
}

TEST_F(Profile, blanks_around_names_and_values_are_dropped)
{
    Write("  [ General ]  \n\t Port \t=\t 7600 \t\nLogPath =  /var/data  \n");
    EXPECT_EQ(7600u, Int("General", "Port"));
    EXPECT_EQ("/var/data", String("General", "LogPath"));
    EXPECT_EQ("/var/data", String(" General ", "\tLogPath "));

    Write("[s]\nk= value with  inner blanks \n");
    EXPECT_EQ("value with  inner blanks", String("s", "k"));
}

TEST_F(Profile, matching_quotes_around_a_value_are_removed)
{
    Write("[q]\ndouble=\" padded \"\nsingle='x'\nmixed=\"x'\nopen=\"x\ninner=a\"b\"\n");
    EXPECT_EQ(" padded ", String("q", "double"));
    EXPECT_EQ("x", String("q", "single"));
    EXPECT_EQ("\"x'", String("q", "mixed"));
    EXPECT_EQ("\"x", String("q", "open"));
    EXPECT_EQ("a\"b\"", String("q", "inner"));
}

TEST_F(Profile, comment_lines_are_ignored_but_text_after_a_value_is_kept)
{
    Write("; [General]\n[General]\n;Port=1\n  ; Port=2\nPort=3\nName=a ; b\n");
    EXPECT_EQ(3u, Int("General", "Port"));
    EXPECT_EQ("a ; b", String("General", "Name"));
}

TEST_F(Profile, an_integer_value_takes_its_leading_decimal_digits_with_sign)
{
    Write(
        "[n]\nplain=42\nsuffix=12abc\nneg=-3\nplus=+5\nletters=abc\nhex=0x10\nempty=\n"
        "blank=   \nspaced=- 4\nbig=4294967295\n");
    EXPECT_EQ(42u, Int("n", "plain"));
    EXPECT_EQ(12u, Int("n", "suffix"));
    EXPECT_EQ(static_cast<UINT>(-3), Int("n", "neg"));
    EXPECT_EQ(5u, Int("n", "plus"));
    EXPECT_EQ(0u, Int("n", "letters"));
    EXPECT_EQ(0u, Int("n", "hex"));
    EXPECT_EQ(0u, Int("n", "spaced"));
    EXPECT_EQ(4294967295u, Int("n", "big"));
    // An empty value counts as missing.
    EXPECT_EQ(777u, Int("n", "empty"));
    EXPECT_EQ(777u, Int("n", "blank"));
}

TEST_F(Profile, a_missing_file_section_or_key_gives_the_default)
{
    EXPECT_EQ(19200u, GetPrivateProfileIntA("Settings", "COMSPEED", 19200, "./no-such-file.ini"));
    EXPECT_EQ(static_cast<UINT>(-1),
              GetPrivateProfileIntA("Settings", "COMSPEED", -1, "./no-such-file.ini"));
    char buffer[16] = "garbage";
    EXPECT_EQ(
        3u, GetPrivateProfileStringA("a", "b", "def", buffer, sizeof buffer, "./no-such-file.ini"));
    EXPECT_STREQ("def", buffer);

    Write("[Settings]\nCOMPORT=3\n");
    EXPECT_EQ(777u, Int("Units", "COMPORT"));
    EXPECT_EQ(777u, Int("Settings", "COMSPEED"));
    EXPECT_EQ("<default>", String("Settings", "COMSPEED"));
    EXPECT_EQ("", String("Settings", "COMSPEED", nullptr));
    EXPECT_EQ("trailing", String("Settings", "COMSPEED", "trailing  "));
}

TEST_F(Profile, a_key_belongs_only_to_its_own_section_and_the_first_of_equal_keys_counts)
{
    Write(
        "[1]\nDriver=first.so\n[2]\nDebug=1\n[1]\nDriver=second.so\nLog=1\n[3]\nDriver=x\nDriver="
        "y\n");
    EXPECT_EQ("first.so", String("1", "Driver"));
    EXPECT_EQ("<default>", String("2", "Driver"));
    EXPECT_EQ("x", String("3", "Driver"));
    EXPECT_EQ(777u, Int("3", "Debug"));
}

TEST_F(Profile, a_long_value_is_cut_to_the_buffer_and_terminated)
{
    Write("[s]\nk=abcdefghij\n");
    char buffer[8];
    memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(5u, GetPrivateProfileStringA("s", "k", "", buffer, 6, path.c_str()));
    EXPECT_STREQ("abcde", buffer);
    EXPECT_EQ('X', buffer[6]);

    buffer[0] = 'X';
    EXPECT_EQ(0u, GetPrivateProfileStringA("s", "k", "", buffer, 0, path.c_str()));
    EXPECT_EQ('X', buffer[0]);
    EXPECT_EQ(0u, GetPrivateProfileStringA("s", "k", "", buffer, 1, path.c_str()));
    EXPECT_STREQ("", buffer);

    char exact[11];
    EXPECT_EQ(10u, GetPrivateProfileStringA("s", "k", "", exact, sizeof exact, path.c_str()));
    EXPECT_STREQ("abcdefghij", exact);

    char small[4];
    EXPECT_EQ(3u,
              GetPrivateProfileStringA("s", "none", "default", small, sizeof small, path.c_str()));
    EXPECT_STREQ("def", small);
}

TEST_F(Profile, crlf_and_lf_line_ends_read_the_same)
{
    Write(
        "\xEF\xBB\xBF[General]\r\nTrace=1\r\nLogPath=C:\\data\\ "
        "\r\n[odbc]\r\nserver=db1\r\nlast=end");
    EXPECT_EQ(1u, Int("General", "Trace"));
    EXPECT_EQ("C:\\data\\", String("General", "LogPath"));
    EXPECT_EQ("db1", String("odbc", "server"));
    EXPECT_EQ("end", String("odbc", "last"));
}

TEST_F(Profile, null_key_lists_the_keys_and_null_section_lists_the_sections)
{
    Write("[General]\nPort=1\nTrace=0\n[1]\nDriver=d.so\n");
    char buffer[64];
    DWORD n = GetPrivateProfileStringA("general", nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(11u, n);
    EXPECT_EQ(std::string("Port\0Trace\0\0", 12), std::string(buffer, 12));

    n = GetPrivateProfileStringA(nullptr, nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(10u, n);
    EXPECT_EQ(std::string("General\0"
                          "1\0\0",
                          11),
              std::string(buffer, 11));

    // A list that does not fit is cut and ends in two nulls.
    char small[8];
    n = GetPrivateProfileStringA("General", nullptr, "", small, sizeof small, path.c_str());
    EXPECT_EQ(6u, n);
    EXPECT_EQ(std::string("Port\0T\0\0", 8), std::string(small, 8));

    n = GetPrivateProfileStringA("Missing", nullptr, "", buffer, sizeof buffer, path.c_str());
    EXPECT_EQ(0u, n);
    EXPECT_EQ('\0', buffer[0]);
}

TEST_F(Profile, a_list_whose_first_names_fill_the_buffer_to_its_last_byte_is_cut_inside_it)
{
    Write("[General]\nPort=1\nTrace=0\n");
    // "Port" and its null take 5 of 6 bytes; "Trace" no longer fits, not even in part.
    char buffer[6 + 4];
    memset(buffer, 'x', sizeof buffer);
    DWORD n = GetPrivateProfileStringA("General", nullptr, "", buffer, 6, path.c_str());
    EXPECT_EQ(4u, n);
    EXPECT_EQ(std::string("Port\0\0xxxx", 10), std::string(buffer, 10));

    // The same with the section names: "General" and its null fill 8 of 9 bytes.
    Write("[General]\n[Units]\n");
    char names[9 + 4];
    memset(names, 'x', sizeof names);
    n = GetPrivateProfileStringA(nullptr, nullptr, "", names, 9, path.c_str());
    EXPECT_EQ(7u, n);
    EXPECT_EQ(std::string("General\0\0xxxx", 13), std::string(names, 13));
}

TEST_F(Profile, backslashes_separate_folders_and_a_bare_name_is_read_from_the_current_folder)
{
    mkdir("sub", 0755);
    path = "sub/conf.ini";
    Write("[s]\nk=in sub\nn=5\n");
    EXPECT_EQ(5u, GetPrivateProfileIntA("s", "n", 9, "sub\\conf.ini"));
    char buffer[32];
    GetPrivateProfileStringA("s", "k", "", buffer, sizeof buffer, ".\\sub\\conf.ini");
    EXPECT_STREQ("in sub", buffer);
    remove(path.c_str());

    path = "bare.ini";
    Write("[s]\nk=bare\n");
    GetPrivateProfileStringA("s", "k", "", buffer, sizeof buffer, "bare.ini");
    EXPECT_STREQ("bare", buffer);
}
