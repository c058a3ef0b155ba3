#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dataserver/Md5.h"

using namespace pelmora;

namespace {

std::string Hex(const BYTE *bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string DigestHex(const std::string &message)
{
    BYTE digest[MD5_DIGEST_LENGTH];
    MD5(message.data(), message.size(), digest);
    return Hex(digest, sizeof digest);
}

}  // namespace

TEST(Md5, rfc1321_test_suite)
{
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", DigestHex(""));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", DigestHex("a"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", DigestHex("abc"));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", DigestHex("message digest"));
    EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", DigestHex("abcdefghijklmnopqrstuvwxyz"));
    EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
              DigestHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              DigestHex("1234567890123456789012345678901234567890"
                        "1234567890123456789012345678901234567890"));
}

TEST(Md5, digest_of_288_zero_bytes_as_a_response_data_part)
{
    std::vector<BYTE> zeros(288, 0);
    BYTE digest[MD5_DIGEST_LENGTH];
    MD5(zeros.data(), zeros.size(), digest);
    EXPECT_EQ("4556165d7fe41c7700cbe455a5767d40", Hex(digest, sizeof digest));
}

TEST(Md5, input_fed_in_pieces_gives_the_digest_of_the_whole)
{
    // Lengths around the 55/56/64-byte padding edges and several blocks.
    std::vector<BYTE> message(300);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = BYTE(i * 37 + 11);

    for (size_t length :
         {size_t(0), size_t(1), size_t(55), size_t(56), size_t(63), size_t(64), size_t(65),
          size_t(119), size_t(120), size_t(128), size_t(288), size_t(300)}) {
        BYTE whole[MD5_DIGEST_LENGTH];
        MD5(message.data(), length, whole);
        for (size_t piece : {size_t(1), size_t(3), size_t(7), size_t(63), size_t(64), size_t(65)}) {
            MD5Context context;
            MD5Init(context);
            for (size_t offset = 0; offset < length; offset += piece)
                MD5Update(context, message.data() + offset, std::min(piece, length - offset));
            MD5Final(context);
            EXPECT_EQ(Hex(whole, sizeof whole), Hex(context.digest, sizeof context.digest))
                << "length " << length << ", pieces of " << piece;
        }
    }
}

TEST(Md5, a_context_can_be_reused_after_init)
{
    MD5Context context;
    MD5Init(context);
    MD5Update(context, "something else entirely", 23);
    MD5Final(context);
    MD5Init(context);
    MD5Update(context, "abc", 3);
    MD5Final(context);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Hex(context.digest, sizeof context.digest));
}
