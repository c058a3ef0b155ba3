// The data protocol as the load tools see it: fixed-size records, the greeting, requests, and
// the opening of sealed responses. Plain bytes only, so that socket code including this sees
// no platform header.
//
// Thread safety: every function works on its caller's buffers; the cipher key is built once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelmora::bench {

constexpr size_t kRequestSize = 128;
constexpr size_t kResponseSize = 304;

// The text a server sends before it closes a connection whose framing is wrong.
constexpr char kRefusalText[] = "Invalid connection! Go away!\r\n";
constexpr size_t kRefusalLength = sizeof(kRefusalText) - 1;

// A request for window `slot` of station `station`; operation 0 asks for the window's
// averages, any other value for the latest reading.
void MakeRequest(int32_t operation, uint32_t station, uint32_t slot, uint8_t out[kRequestSize]);

// The unsealed record a server sends first on every connection.
void MakeGreeting(uint8_t out[kResponseSize]);
bool IsGreeting(const uint8_t record[kResponseSize]);

// A plausible answer to a request for `station`, sealed as a server seals it.
void MakeSealedResponse(uint32_t station, uint8_t out[kResponseSize]);

enum class ResponseCheck { Good, DigestMismatch, Malformed };

// Deciphers a sealed response, checks its digest and that it is a response record whose
// status belongs to a request for `station` (its number, or one of the no-data codes).
ResponseCheck CheckResponse(const uint8_t sealed[kResponseSize], uint32_t station);

}  // namespace pelmora::bench
