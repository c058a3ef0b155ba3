// Our MD5 against OpenSSL's on random inputs of many lengths.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "dataserver/Md5.h"

using namespace pelmora;

namespace {

void ReferenceMd5(const BYTE *data, size_t length, BYTE digest[16])
{
    unsigned int size = 0;
    ASSERT_EQ(1, EVP_Digest(data, length, digest, &size, EVP_md5(), nullptr));
    ASSERT_EQ(16u, size);
}

}  // namespace

TEST(Md5AgainstOpenSsl, random_inputs_of_every_length_up_to_1100_bytes)
{
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<BYTE> message(1100);

    for (size_t length = 0; length <= message.size(); ++length) {
        for (size_t i = 0; i < length; ++i)
            message[i] = BYTE(byte(random));
        BYTE ours[16];
        BYTE reference[16];
        MD5(message.data(), length, ours);
        ReferenceMd5(message.data(), length, reference);
        ASSERT_EQ(0, std::memcmp(ours, reference, 16)) << "length " << length;
    }
}

TEST(Md5AgainstOpenSsl, large_random_inputs_fed_in_random_pieces)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> pieceLength(0, 200);

    for (size_t length : {size_t(4096), size_t(65536 + 17), size_t(1 << 20)}) {
        std::vector<BYTE> message(length);
        for (auto &b : message)
            b = BYTE(byte(random));

        MD5Context context;
        MD5Init(context);
        for (size_t offset = 0; offset < length;) {
            size_t piece = std::min(pieceLength(random), length - offset);
            MD5Update(context, message.data() + offset, piece);
            offset += piece;
        }
        MD5Final(context);

        BYTE reference[16];
        ReferenceMd5(message.data(), length, reference);
        EXPECT_EQ(0, std::memcmp(context.digest, reference, 16)) << "length " << length;
    }
}
