#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace {

std::string Text(DWORD code)
{
    char buffer[512];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    if (n == 0)
        return "<failed " + std::to_string(GetLastError()) + ">";
    EXPECT_EQ(strlen(buffer), n);
    return buffer;
}

}  // namespace

TEST(FormatMessage, system_texts_are_the_windows_wording_with_crlf)
{
    EXPECT_EQ("An operation was attempted on something that is not a socket.\r\n", Text(10038));
    EXPECT_EQ(
        "The I/O operation has been aborted because of either a thread exit or an "
        "application request.\r\n",
        Text(995));
    EXPECT_EQ("The specified network name is no longer available.\r\n", Text(64));
    EXPECT_EQ(
        "Only one usage of each socket address (protocol/network address/port) is normally "
        "permitted.\r\n",
        Text(10048));
    EXPECT_EQ("The system cannot find the file specified.\r\n", Text(2));
    EXPECT_EQ("The service process could not connect to the service controller.\r\n", Text(1063));
    EXPECT_EQ("An existing connection was forcibly closed by the remote host.\r\n", Text(10054));
    EXPECT_EQ("The operation completed successfully.\r\n", Text(0));
    EXPECT_EQ("The wait operation timed out.\r\n", Text(258));
    EXPECT_EQ("%1 is not a valid Win32 application.\r\n", Text(193));
}

TEST(FormatMessage, an_unknown_code_fails_with_mr_mid_not_found_whose_text_exists)
{
    char buffer[512] = "unchanged";
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, 424242, 0, buffer, sizeof buffer, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
    EXPECT_EQ(
        "The system cannot find message text for message number 0x%1 in the message file "
        "for %2.\r\n",
        Text(GetLastError()));
}

TEST(FormatMessage, every_error_code_the_platform_defines_has_a_text)
{
    std::ifstream header(PELMORA_SOURCE_DIR "/platform/posix/errors.h");
    ASSERT_TRUE(header.good());
    int checked = 0;
    for (std::string line; std::getline(header, line);) {
        // "#define NAME 123L": a name and a number, nothing else.
        std::istringstream words(line);
        std::string define, name, number, rest;
        words >> define >> name >> number;
        if (define != "#define" || (words >> rest) || number.empty() ||
            number.find_first_not_of("0123456789L") != std::string::npos || name == "WSABASEERR")
            continue;
        const DWORD code = static_cast<DWORD>(std::stoul(number));
        const std::string text = Text(code);
        EXPECT_NE('<', text[0]) << name << " " << code;
        EXPECT_GE(text.size(), 3u) << name;
        EXPECT_EQ("\r\n", text.substr(text.size() - 2)) << name;
        ++checked;
    }
    EXPECT_GT(checked, 90);
}

TEST(FormatMessage, a_buffer_too_small_for_text_and_null_fails)
{
    const std::string full = Text(2);
    std::vector<char> buffer(full.size());
    SetLastError(0);
    EXPECT_EQ(0u,
              FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2,
                             0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    buffer.resize(full.size() + 1);
    EXPECT_EQ(full.size(),
              FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2,
                             0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr));
    EXPECT_EQ(full, buffer.data());
}

TEST(FormatMessage, an_allocated_buffer_holds_the_text_and_is_released_with_local_free)
{
    LPSTR text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, 10038, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(strlen(text), n);
    EXPECT_STREQ("An operation was attempted on something that is not a socket.\r\n", text);
    EXPECT_EQ(nullptr, LocalFree(text));

    text = reinterpret_cast<LPSTR>(1);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, 424242, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr));
    EXPECT_EQ(nullptr, text);
}

TEST(FormatMessage, max_width_turns_line_breaks_into_blanks)
{
    char buffer[512];
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
        nullptr, 2, 0, buffer, sizeof buffer, nullptr);
    EXPECT_STREQ("The system cannot find the file specified. ", buffer);
    EXPECT_EQ(strlen(buffer), n);
}

TEST(FormatMessage, win32_hresults_give_the_text_of_their_code)
{
    EXPECT_EQ(Text(5), Text(0x80070005u));
}

TEST(FormatMessage, only_system_lookups_without_argument_inserts_are_offered)
{
    char buffer[512];
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "text", 0, 0, buffer, sizeof buffer,
                                 nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 193, 0, buffer, sizeof buffer,
                                 nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // A text without inserts needs no FORMAT_MESSAGE_IGNORE_INSERTS.
    EXPECT_NE(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buffer, sizeof buffer,
                                 nullptr));
}
