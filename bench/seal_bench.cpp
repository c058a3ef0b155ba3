// Sealing of responses: MD5, SAFER SK-128 and the whole seal, each beside a reference.
#include <benchmark/benchmark.h>

#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "bench/RatioReporter.h"
#include "dataserver/Md5.h"
#include "dataserver/Seal.h"

using namespace pelmora;

namespace {

MeteoResponse SampleResponse()
{
    MeteoResponse r;
    std::memset(&r, 0, sizeof r);
    r.nSize = 304;
    r.nVersion = 2;
    r.ftTime.dwLowDateTime = 0x3b9aca00;
    r.ftTime.dwHighDateTime = 0x01dc6a2b;
    r.dWindSpeed = 3.4;
    r.dWindDir = 212.0;
    r.dWindStdDir = 11.5;
    r.dOutsideTemp = 14.2;
    r.dHumidity = 71.0;
    r.dRain = 0.0;
    r.dPressure = 1008.4;
    r.dSolar = 220.0;
    r.dCurWindSpeed = 3.9;
    r.dCurWindDir = 215.0;
    r.dCurOutsideTemp = 14.3;
    r.dCurHumidity = 70.0;
    r.dCurPressure = 1008.3;
    r.dCurSolar = 231.0;
    r.nCount = 15;
    r.nStation = 1;
    return r;
}

void Md5_288Bytes(benchmark::State &state)
{
    BYTE data[288];
    std::mt19937 random(1);
    for (auto &b : data)
        b = BYTE(random());
    BYTE digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5(data, sizeof data, digest);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof data));
}
BENCHMARK(Md5_288Bytes);

void Md5_288Bytes_OpenSsl(benchmark::State &state)
{
    BYTE data[288];
    std::mt19937 random(1);
    for (auto &b : data)
        b = BYTE(random());
    BYTE digest[16];
    unsigned int size = 0;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const EVP_MD *md5 = EVP_md5();
    for (auto _ : state) {
        // The same three steps as ours: init, update, final (no per-call context allocation).
        EVP_DigestInit_ex(context, md5, nullptr);
        EVP_DigestUpdate(context, data, sizeof data);
        EVP_DigestFinal_ex(context, digest, &size);
        benchmark::DoNotOptimize(digest);
        benchmark::ClobberMemory();
    }
    EVP_MD_CTX_free(context);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof data));
}
BENCHMARK(Md5_288Bytes_OpenSsl);

void SaferSk128_Blocks(benchmark::State &state)
{
    SaferKey key;
    ExpandSealKey(key);
    BYTE blocks[METEO_RESPONSE_SIZE] = {};
    for (auto _ : state) {
        // Chained through the same buffer so that blocks cannot be computed ahead.
        for (size_t i = 0; i < sizeof blocks; i += SAFER_BLOCK_LENGTH)
            SaferEncipherBlock(blocks + i, key, blocks + i);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) *
                            int64_t(sizeof blocks / SAFER_BLOCK_LENGTH));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof blocks));
}
BENCHMARK(SaferSk128_Blocks);

// Reference for the block cipher: AES-128 in ECB mode over the same 304 bytes (38 blocks of 8
// bytes are 19 blocks of 16), through OpenSSL; it uses the processor's AES instructions where
// present, so it marks the fast end.
void SaferSk128_Blocks_OpenSslAes128(benchmark::State &state)
{
    const unsigned char aesKey[16] = {0x9C, 0x47, 0x5A, 0x28, 0x61, 0x7E, 0x33, 0x00,
                                      0x5D, 0x2B, 0x71, 0x3F, 0x48, 0x6A, 0x26, 0x00};
    EVP_CIPHER_CTX *context = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(context, EVP_aes_128_ecb(), nullptr, aesKey, nullptr);
    EVP_CIPHER_CTX_set_padding(context, 0);
    unsigned char blocks[METEO_RESPONSE_SIZE] = {};
    int length = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(context, blocks, &length, blocks, int(sizeof blocks));
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(context);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(sizeof blocks));
}
BENCHMARK(SaferSk128_Blocks_OpenSslAes128);

void SaferSk128_ExpandKey(benchmark::State &state)
{
    SaferKey key;
    for (auto _ : state) {
        ExpandSealKey(key);
        benchmark::DoNotOptimize(key.bytes);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(SaferSk128_ExpandKey);

// One response as a request is answered: digest, encipher 38 blocks into a new buffer.
void Seal_OneResponse(benchmark::State &state)
{
    SaferKey key;
    ExpandSealKey(key);
    MeteoResponse record = SampleResponse();
    for (auto _ : state) {
        auto sealed = Seal(record, key);
        benchmark::DoNotOptimize(sealed.get());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Seal_OneResponse);

// The same including the key schedule, which a request message builds before answering.
void Seal_OneResponseWithKeySchedule(benchmark::State &state)
{
    MeteoResponse record = SampleResponse();
    for (auto _ : state) {
        SaferKey key;
        ExpandSealKey(key);
        auto sealed = Seal(record, key);
        benchmark::DoNotOptimize(sealed.get());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(Seal_OneResponseWithKeySchedule);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CRatioReporter reporter;
    reporter.Compare("Md5_288Bytes", "Md5_288Bytes_OpenSsl");
    reporter.Compare("SaferSk128_Blocks", "SaferSk128_Blocks_OpenSslAes128");
    reporter.Budget("Seal_OneResponse", 5000.0);
    reporter.Budget("Seal_OneResponseWithKeySchedule", 5000.0);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
