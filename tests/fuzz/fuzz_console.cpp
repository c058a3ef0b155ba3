// The console protocol on any bytes a console (or a line full of noise) could send: the
// wake-up, the collector read and the LOOP packet read end without a crash and without
// waiting, and whatever they accept is a sealed packet whose values are in range.
#include "console/ConsoleProtocol.h"
#include "tests/fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstring>

namespace {

// Hands out the input in pieces of the size its first byte says; an exhausted input is a
// link that failed, so no call waits.
class InputLink : public console::CConsoleLink {
public:
    InputLink(const uint8_t *p, size_t n) : m_p(p), m_n(n)
    {
        if (m_n > 0) {
            m_nPiece = 1 + m_p[0] % 16;
            ++m_p;
            --m_n;
        }
    }
    bool Send(const void *, size_t, uint32_t) override { return true; }
    int Receive(uint8_t *pBytes, size_t nLength, uint32_t) override
    {
        if (m_n == 0)
            return -1;
        const size_t n = std::min({nLength, m_n, m_nPiece});
        std::memcpy(pBytes, m_p, n);
        m_p += n;
        m_n -= n;
        return static_cast<int>(n);
    }
    void Discard() override {}

private:
    const uint8_t *m_p;
    size_t m_n;
    size_t m_nPiece = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= console::kLoopSize) {
        console::LoopPacket packet;
        if (console::ParseLoop(data, packet) == console::PacketResult::Ok) {
            FUZZ_CHECK(console::Crc16(data, console::kLoopSize) == 0);
            const console::ConsoleValues v = console::ValuesOf(packet, data[0]);
            FUZZ_CHECK(v.nWindDir == VANTAGE_DASH_WINDDIR ||
                       (v.nWindDir >= 1 && v.nWindDir <= 360));
            FUZZ_CHECK(v.nSolar == VANTAGE_DASH_SHORT || v.nSolar >= 0);
        }
    }
    InputLink link(data, size);
    console::CConsoleSession session(link);
    uint8_t nCollector = 0;
    session.ReadCollector(nCollector);
    console::LoopPacket packet;
    session.ReadLoop(packet);
    return 0;
}
