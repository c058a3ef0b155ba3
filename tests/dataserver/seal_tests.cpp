#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "dataserver/Md5.h"
#include "dataserver/Seal.h"

using namespace pelmora;

namespace {

MeteoResponse ZeroRecord()
{
    MeteoResponse record;
    std::memset(&record, 0, sizeof record);
    return record;
}

const BYTE *Bytes(const MeteoResponse &record) { return reinterpret_cast<const BYTE *>(&record); }

MeteoResponse RandomRecord(std::mt19937 &random)
{
    std::uniform_int_distribution<int> byte(0, 255);
    MeteoResponse record;
    BYTE *p = reinterpret_cast<BYTE *>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        p[i] = BYTE(byte(random));
    return record;
}

}  // namespace

TEST(Seal, an_all_zero_data_part_gets_the_digest_of_288_zero_bytes)
{
    SaferKey key;
    ExpandSealKey(key);
    MeteoResponse record = ZeroRecord();
    auto sealed = Seal(record, key);

    BYTE zeros[288] = {};
    BYTE expected[16];
    MD5(zeros, sizeof zeros, expected);
    EXPECT_EQ(0, std::memcmp(expected, record.digest, 16));
    for (size_t i = 0; i < 288; ++i)
        ASSERT_EQ(0, Bytes(record)[i]) << "data byte " << i << " changed";

    MeteoResponse opened;
    Unseal(sealed.get(), key, opened);
    EXPECT_EQ(0, std::memcmp(&record, &opened, sizeof record));
    EXPECT_TRUE(DigestMatches(opened));
}

TEST(Seal, the_record_is_enciphered_and_keeps_its_data_part)
{
    std::mt19937 random(304);
    SaferKey key;
    ExpandSealKey(key);
    for (int trial = 0; trial < 50; ++trial) {
        MeteoResponse record = RandomRecord(random);
        const MeteoResponse before = record;
        auto sealed = Seal(record, key);

        EXPECT_EQ(0, std::memcmp(&before, &record, METEO_RESPONSE_DATA_SIZE));
        EXPECT_TRUE(DigestMatches(record));
        EXPECT_NE(0, std::memcmp(&record, sealed.get(), sizeof record));

        MeteoResponse opened;
        Unseal(sealed.get(), key, opened);
        ASSERT_EQ(0, std::memcmp(&record, &opened, sizeof record)) << "trial " << trial;
    }
}

TEST(Seal, equal_blocks_encipher_equally_without_chaining)
{
    SaferKey key;
    ExpandSealKey(key);
    MeteoResponse record = ZeroRecord();
    record.nSize = 304;
    record.nVersion = 2;
    record.dOutsideTemp = 21.5;     // block 7
    record.dCurOutsideTemp = 21.5;  // block 14
    record.dHumidity = 60.0;        // block 8
    auto sealed = Seal(record, key);

    EXPECT_EQ(0, std::memcmp(sealed.get() + 56, sealed.get() + 112, 8));
    EXPECT_NE(0, std::memcmp(sealed.get() + 56, sealed.get() + 64, 8));
    // The zero blocks (reserved 160-287) all encipher to one and the same block.
    for (size_t offset = 168; offset < 288; offset += 8)
        EXPECT_EQ(0, std::memcmp(sealed.get() + 160, sealed.get() + offset, 8)) << offset;

    // Each block is the block cipher of the plain block at the same place.
    for (size_t offset = 0; offset < METEO_RESPONSE_SIZE; offset += 8) {
        BYTE block[8];
        SaferEncipherBlock(Bytes(record) + offset, key, block);
        EXPECT_EQ(0, std::memcmp(block, sealed.get() + offset, 8)) << offset;
    }
}

TEST(Seal, a_changed_byte_breaks_the_digest)
{
    SaferKey key;
    ExpandSealKey(key);
    MeteoResponse record = ZeroRecord();
    record.nStation = 3;
    auto sealed = Seal(record, key);

    for (size_t offset : {size_t(0), size_t(157), size_t(287)}) {
        BYTE tampered[METEO_RESPONSE_SIZE];
        std::memcpy(tampered, sealed.get(), sizeof tampered);
        tampered[offset] ^= 0x01;
        MeteoResponse opened;
        Unseal(tampered, key, opened);
        EXPECT_FALSE(DigestMatches(opened)) << offset;
    }
}

TEST(Seal, threads_sealing_at_once_each_get_their_own_correct_result)
{
    SaferKey reference;
    ExpandSealKey(reference);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures, &reference] {
            std::mt19937 random{static_cast<unsigned>(t)};
            SaferKey key;
            ExpandSealKey(key);
            for (int i = 0; i < 300; ++i) {
                MeteoResponse record = RandomRecord(random);
                auto sealed = Seal(record, key);
                MeteoResponse opened;
                Unseal(sealed.get(), reference, opened);
                if (std::memcmp(&opened, &record, sizeof record) != 0 || !DigestMatches(opened))
                    ++failures[size_t(t)];
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(0, failures[size_t(t)]) << "thread " << t;
}
