#include <gtest/gtest.h>

#include <cstring>

#include "dataserver/Records.h"

TEST(Greeting, is_304_bytes_with_size_304_version_1_and_nothing_else)
{
    const MeteoResponse greeting = MakeGreeting();
    BYTE bytes[METEO_RESPONSE_SIZE];
    std::memcpy(bytes, &greeting, sizeof bytes);

    const BYTE head[8] = {0x30, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(head, bytes, 8));
    for (size_t i = 8; i < sizeof bytes; ++i)
        EXPECT_EQ(0, bytes[i]) << "byte " << i;
}

TEST(Records, fields_are_little_endian_at_their_wire_offsets)
{
    QueryData query;
    std::memset(&query, 0, sizeof query);
    query.nSize = 128;
    query.nOperation = -1;
    query.nStationNumber = 0x01020304;
    query.nSlot = 11;
    const BYTE *q = reinterpret_cast<const BYTE *>(&query);
    const BYTE expectedQuery[16] = {0x80, 0,    0,    0,    0xff, 0xff, 0xff, 0xff,
                                    0x04, 0x03, 0x02, 0x01, 11,   0,    0,    0};
    EXPECT_EQ(0, std::memcmp(expectedQuery, q, 16));

    MeteoResponse response;
    std::memset(&response, 0, sizeof response);
    response.ftTime.dwLowDateTime = 0x11223344;
    response.ftTime.dwHighDateTime = 0x55667788;
    response.dWindStdDir = -1.0;  // 0xBFF0000000000000
    response.nCount = 7;
    response.nStation = -2;
    const BYTE *r = reinterpret_cast<const BYTE *>(&response);
    const BYTE expectedTime[8] = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
    EXPECT_EQ(0, std::memcmp(expectedTime, r + 8, 8));
    const BYTE minusOne[8] = {0, 0, 0, 0, 0, 0, 0xf0, 0xbf};
    EXPECT_EQ(0, std::memcmp(minusOne, r + 32, 8));
    const BYTE countAndStation[8] = {7, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff};
    EXPECT_EQ(0, std::memcmp(countAndStation, r + 152, 8));
}
