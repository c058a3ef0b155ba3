#include <gtest/gtest.h>

#include <cstring>

#include "client/Response.h"
#include "dataserver/Seal.h"

using namespace pelmora;

namespace {

// A response as the server fills it, every field with its own value.
MeteoResponse FilledResponse()
{
    MeteoResponse r;
    std::memset(&r, 0, sizeof r);
    r.nSize = 304;
    r.nVersion = 2;
    r.ftTime.dwLowDateTime = 0x89abcdef;
    r.ftTime.dwHighDateTime = 0x01dc6a2b;
    r.dWindSpeed = 3.25;
    r.dWindDir = 271.5;
    r.dWindStdDir = 12.75;
    r.dOutsideTemp = -4.5;
    r.dHumidity = 87.0;
    r.dRain = 0.2;
    r.dPressure = 1013.25;
    r.dSolar = 412.0;
    r.dCurWindSpeed = 4.0;
    r.dCurWindDir = 265.0;
    r.dCurOutsideTemp = -4.75;
    r.dCurHumidity = 88.0;
    r.dCurRain = 0.25;
    r.dCurPressure = 1013.5;
    r.dCurSolar = 415.5;
    r.nCount = 4000000000u;
    r.nStation = 7;
    return r;
}

struct Sealed {
    BYTE bytes[METEO_RESPONSE_SIZE];
};

Sealed SealResponse(MeteoResponse record)
{
    SaferKey key;
    ExpandSealKey(key);
    Sealed sealed;
    SealInto(record, key, sealed.bytes);
    return sealed;
}

}  // namespace

TEST(ResponseReader, reads_every_field_of_a_sealed_response)
{
    const Sealed sealed = SealResponse(FilledResponse());
    MeteoReading r;
    ASSERT_TRUE(CResponseReader().Read(sealed.bytes, r));

    EXPECT_EQ(304, r.nSize);
    EXPECT_EQ(2, r.nVersion);
    EXPECT_EQ(0x89abcdefu, r.ftTime.dwLowDateTime);
    EXPECT_EQ(0x01dc6a2bu, r.ftTime.dwHighDateTime);
    EXPECT_EQ(3.25, r.dWindSpeed);
    EXPECT_EQ(271.5, r.dWindDir);
    EXPECT_EQ(12.75, r.dWindStdDir);
    EXPECT_EQ(-4.5, r.dOutsideTemp);
    EXPECT_EQ(87.0, r.dHumidity);
    EXPECT_EQ(0.2, r.dRain);
    EXPECT_EQ(1013.25, r.dPressure);
    EXPECT_EQ(412.0, r.dSolar);
    EXPECT_EQ(4.0, r.dCurWindSpeed);
    EXPECT_EQ(265.0, r.dCurWindDir);
    EXPECT_EQ(-4.75, r.dCurOutsideTemp);
    EXPECT_EQ(88.0, r.dCurHumidity);
    EXPECT_EQ(0.25, r.dCurRain);
    EXPECT_EQ(1013.5, r.dCurPressure);
    EXPECT_EQ(415.5, r.dCurSolar);
    EXPECT_EQ(4000000000u, r.nCount);
    EXPECT_EQ(7, r.nStation);
}

TEST(ResponseReader, open_gives_back_the_record_and_its_digest)
{
    MeteoResponse record = FilledResponse();
    const Sealed sealed = SealResponse(record);
    WriteDigest(record);
    BYTE expected[METEO_RESPONSE_SIZE];
    std::memcpy(expected, &record, sizeof expected);

    BYTE plain[METEO_RESPONSE_SIZE];
    ASSERT_TRUE(CResponseReader().Open(sealed.bytes, plain));
    EXPECT_EQ(0, std::memcmp(expected, plain, sizeof plain));
}

TEST(ResponseReader, refuses_a_response_with_any_damaged_byte)
{
    const Sealed sealed = SealResponse(FilledResponse());
    const CResponseReader reader;
    for (size_t offset = 0; offset < METEO_RESPONSE_SIZE; offset += 19) {
        Sealed damaged = sealed;
        damaged.bytes[offset] = BYTE(damaged.bytes[offset] + 1);
        MeteoReading r;
        EXPECT_FALSE(reader.Read(damaged.bytes, r)) << "byte " << offset;
    }
}

TEST(ResponseReader, refuses_an_unsealed_greeting)
{
    const MeteoResponse greeting = MakeGreeting();
    MeteoReading r;
    EXPECT_FALSE(CResponseReader().Read(reinterpret_cast<const BYTE *>(&greeting), r));
}

TEST(Greeting, is_recognised_only_when_exactly_size_304_version_1_and_zeros)
{
    const MeteoResponse greeting = MakeGreeting();
    BYTE bytes[METEO_RESPONSE_SIZE];
    std::memcpy(bytes, &greeting, sizeof bytes);
    EXPECT_TRUE(IsGreeting(bytes));

    const MeteoReading decoded = DecodeResponse(bytes);
    EXPECT_EQ(304, decoded.nSize);
    EXPECT_EQ(1, decoded.nVersion);
    EXPECT_EQ(0, decoded.nStation);

    bytes[300] = 1;  // a digest byte
    EXPECT_FALSE(IsGreeting(bytes));
    bytes[300] = 0;
    bytes[4] = 2;
    EXPECT_FALSE(IsGreeting(bytes));

    const Sealed sealed = SealResponse(greeting);
    EXPECT_FALSE(IsGreeting(sealed.bytes));
}

TEST(Query, is_128_bytes_with_size_operation_station_and_slot_little_endian)
{
    const QueryData query = MakeQuery(-3, 2, 11);
    const BYTE *q = reinterpret_cast<const BYTE *>(&query);
    const BYTE head[16] = {0x80, 0, 0, 0, 0xfd, 0xff, 0xff, 0xff, 2, 0, 0, 0, 11, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(head, q, 16));
    for (size_t i = 16; i < QUERY_DATA_SIZE; ++i)
        EXPECT_EQ(0, q[i]) << "byte " << i;
}
