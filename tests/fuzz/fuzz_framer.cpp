// CMessageFramer on an arbitrary byte stream cut at arbitrary points, against a plain model of
// the framing: 128-byte messages, each starting with its length as two bytes, low byte first.
// Every well-formed message before the first wrong prefix reaches the sink whole and in order;
// the wrong prefix is refused in the piece that completes it, and nothing after it is taken.
//
// Input: one byte choosing the largest message size the server takes, then pieces, each one
// byte of length followed by that many stream bytes (the last piece may be cut short).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dataserver/SocketServer.h"
#include "tests/fuzz/FuzzCheck.h"
#include "win32/CriticalSection.h"
#include "win32/IOBuffer.h"

namespace {

using Tarnwick::Win32::CIOBuffer;

constexpr size_t kMessage = 128;

// What the framing must do with the whole stream, worked out in one pass over it.
struct Expected {
    std::vector<std::string> messages;
    size_t refusedAt = SIZE_MAX;  // stream offset of the wrong prefix's second byte
    std::string reason;
    size_t acceptedPrefixes = 0;
    size_t leftOver = 0;  // bytes of an unfinished message when nothing was refused
};

Expected Model(const std::string &stream, size_t maxMessageSize)
{
    Expected e;
    size_t at = 0;
    while (stream.size() - at >= 2) {
        const size_t size = size_t(uint8_t(stream[at])) + 256 * size_t(uint8_t(stream[at + 1]));
        if (size != kMessage || size > maxMessageSize) {
            e.refusedAt = at + 1;
            e.reason = size != kMessage ? "Invalid message size" : "Too much data!";
            return e;
        }
        ++e.acceptedPrefixes;
        if (stream.size() - at < kMessage) {
            e.leftOver = stream.size() - at;
            return e;
        }
        e.messages.push_back(stream.substr(at, kMessage));
        at += kMessage;
    }
    e.leftOver = stream.size() - at;
    return e;
}

class Recorder final : public CMessageFramer::Sink {
public:
    explicit Recorder(Tarnwick::Win32::CIOBuffer::Allocator &allocator) : allocator_(allocator) {}

    void PrefixAccepted(DWORD size) override
    {
        FUZZ_CHECK(size == kMessage);
        ++prefixes;
    }
    void MessageComplete(CIOBuffer *pMessage) override
    {
        FUZZ_CHECK(pMessage != nullptr);
        // Messages are numbered as they are begun.
        FUZZ_CHECK(pMessage->GetSequenceNumber() == messages.size());
        // The framer lets go of a message when it hands it over.
        FUZZ_CHECK(allocator_.GetInUseBufferCount() == 1);
        messages.emplace_back(reinterpret_cast<const char *>(pMessage->GetPayload()),
                              pMessage->GetUsedBytes());
    }

    std::vector<std::string> messages;
    size_t prefixes = 0;

private:
    Tarnwick::Win32::CIOBuffer::Allocator &allocator_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t choice = data[0];
    const DWORD maxMessageSize = (choice & 0x80) ? 2 + (choice & 0x7f) : 128 + 32 * (choice & 0x7f);

    std::vector<std::string> pieces;
    for (size_t at = 1; at < size;) {
        const size_t length = data[at++];
        const size_t taken = std::min(length, size - at);
        pieces.emplace_back(reinterpret_cast<const char *>(data + at), taken);
        at += taken;
    }
    std::string stream;
    for (const std::string &piece : pieces)
        stream += piece;
    const Expected expected = Model(stream, maxMessageSize);

    Tarnwick::Win32::CCriticalSection queueLock;
    CIOBuffer::Allocator allocator(maxMessageSize, 4);
    CMessageFramer *framer = new CMessageFramer(queueLock, allocator);
    Recorder recorder(allocator);

    size_t offset = 0;
    bool refused = false;
    for (const std::string &piece : pieces) {
        const size_t before = recorder.messages.size();
        const char *result = framer->Frame(reinterpret_cast<const BYTE *>(piece.data()),
                                           DWORD(piece.size()), maxMessageSize, recorder);
        const size_t end = offset + piece.size();
        if (refused) {
            // Refused before: nothing more is taken.
            FUZZ_CHECK(result != nullptr);
            FUZZ_CHECK(recorder.messages.size() == before);
        } else if (expected.refusedAt >= offset && expected.refusedAt < end) {
            FUZZ_CHECK(result != nullptr);
            FUZZ_CHECK(expected.reason == result);
            refused = true;
        } else {
            FUZZ_CHECK(result == nullptr);
        }
        FUZZ_CHECK(framer->rejected.load() == (refused ? 1 : 0));
        offset = end;
    }
    FUZZ_CHECK(refused == (expected.refusedAt != SIZE_MAX));
    FUZZ_CHECK(recorder.messages == expected.messages);
    FUZZ_CHECK(recorder.prefixes == expected.acceptedPrefixes);
    if (!refused) {
        // An unfinished message is kept for the bytes still to come.
        const size_t kept = framer->pendingMessage ? framer->pendingMessage->GetUsedBytes() : 0;
        FUZZ_CHECK(kept == expected.leftOver);
        FUZZ_CHECK(std::memcmp(framer->pendingMessage ? framer->pendingMessage->GetPayload()
                                                      : reinterpret_cast<const BYTE *>(""),
                               stream.data() + stream.size() - kept, kept) == 0);
    }
    framer->Release();
    FUZZ_CHECK(allocator.GetInUseBufferCount() == 0);
    return 0;
}
