// The profile (INI) reader on arbitrary file content: every section and key it lists is read
// back with buffers of every small size, and what comes back must be terminated, inside the
// buffer, consistent between the list, the full value, the cut value and the integer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::string g_path;

constexpr DWORD BigBuffer = 4096;
constexpr size_t MaxNames = 6;

// Buffer sizes worth trying for a text of n characters: the smallest, and those around n.
std::vector<DWORD> SizesAround(DWORD n)
{
    std::vector<DWORD> sizes = {0, 1, 2, 3};
    for (DWORD d = 0; d < 4; ++d)
        if (n + d >= 2 && n + d - 2 > 3)
            sizes.push_back(n + d - 2);
    return sizes;
}
constexpr BYTE Guard = 0xA5;

// A buffer with guard bytes behind its nSize bytes.
struct Guarded {
    explicit Guarded(DWORD size) : bytes(size + 16, Guard), size(size) {}
    char *data() { return size ? reinterpret_cast<char *>(bytes.data()) : nullptr; }
    bool GuardIntact() const
    {
        for (size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != Guard)
                return false;
        return true;
    }
    std::vector<BYTE> bytes;
    DWORD size;
};

// A list as returned: names each ended by a null, the list by a second one; a list cut to fit
// ends in two nulls at the end of the buffer.
std::vector<std::string> CheckList(const char *buffer, DWORD size, DWORD returned, bool cut)
{
    std::vector<std::string> names;
    if (size == 0)
        return names;
    FUZZ_CHECK(returned < size);
    FUZZ_CHECK(buffer[returned] == '\0');
    if (cut && size >= 2) {
        FUZZ_CHECK(returned == size - 2);
        FUZZ_CHECK(buffer[size - 1] == '\0');
    }
    for (DWORD i = 0; i < returned;) {
        const std::string name(buffer + i);
        names.push_back(name);
        i += DWORD(name.size()) + 1;
    }
    return names;
}

std::vector<std::string> ReadList(const char *section)
{
    Guarded big(BigBuffer);
    const DWORD n =
        GetPrivateProfileStringA(section, nullptr, "", big.data(), big.size, g_path.c_str());
    FUZZ_CHECK(big.GuardIntact());
    const std::vector<std::string> names = CheckList(big.data(), big.size, n, false);

    // Smaller buffers hold a cut form of the same list: sizes around its end and around the
    // end of each of its first names.
    const std::string whole(big.data(), n);
    std::vector<DWORD> sizes = SizesAround(n + 1);
    DWORD end = 0;
    for (size_t i = 0; i < names.size() && i < MaxNames; ++i) {
        end += DWORD(names[i].size()) + 1;
        for (DWORD d = 0; d < 3; ++d)
            sizes.push_back(end + d);
    }
    for (DWORD size : sizes) {
        Guarded small(size);
        const DWORD m =
            GetPrivateProfileStringA(section, nullptr, "", small.data(), size, g_path.c_str());
        FUZZ_CHECK(small.GuardIntact());
        // The whole list needs its n bytes and the final null.
        CheckList(small.data(), size, m, n + 1 > size);
        if (size > 0)
            FUZZ_CHECK(std::memcmp(small.data(), whole.data(), m) == 0);
    }
    return names;
}

UINT ParseInt(const std::string &value, INT nDefault)
{
    if (value.empty())
        return UINT(nDefault);
    size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-'))
        negative = value[i++] == '-';
    UINT result = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        result = result * 10u + UINT(value[i] - '0');
    return negative ? 0u - result : result;
}

void CheckKey(const std::string &section, const std::string &key)
{
    Guarded big(BigBuffer);
    const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", big.data(), big.size,
                                             g_path.c_str());
    FUZZ_CHECK(big.GuardIntact());
    FUZZ_CHECK(n < big.size);
    FUZZ_CHECK(big.data()[n] == '\0');
    const std::string value(big.data(), n);

    for (DWORD size : SizesAround(n)) {
        Guarded small(size);
        const DWORD m = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", small.data(),
                                                 size, g_path.c_str());
        FUZZ_CHECK(small.GuardIntact());
        if (size == 0)
            continue;
        FUZZ_CHECK(m == (n < size - 1 ? n : size - 1));
        FUZZ_CHECK(small.data()[m] == '\0');
        FUZZ_CHECK(std::memcmp(small.data(), value.data(), m) == 0);
    }

    // The integer reading agrees with the text (a missing key reads as empty text and as the
    // default number).
    if (n < big.size - 1) {
        const UINT expected = ParseInt(value, 77);
        FUZZ_CHECK(GetPrivateProfileIntA(section.c_str(), key.c_str(), 77, g_path.c_str()) ==
                   expected);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *tmp = std::getenv("TMPDIR");
    g_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/pelmora_fuzz_profile_" +
             std::to_string(getpid()) + ".ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(g_path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    std::fclose(f);

    const std::vector<std::string> sections = ReadList(nullptr);
    for (size_t i = 0; i < sections.size() && i < MaxNames; ++i) {
        const std::vector<std::string> keys = ReadList(sections[i].c_str());
        for (size_t k = 0; k < keys.size() && k < MaxNames; ++k)
            CheckKey(sections[i], keys[k]);
    }

    // A key that is not there gives the default, without its trailing blanks.
    char buffer[32];
    FUZZ_CHECK(GetPrivateProfileStringA("no such section\x01", "k", "dflt \t ", buffer,
                                        sizeof buffer, g_path.c_str()) == 4);
    FUZZ_CHECK(std::strcmp(buffer, "dflt") == 0);
    FUZZ_CHECK(GetPrivateProfileIntA("no such section\x01", "k", -5, g_path.c_str()) == UINT(-5));
    return 0;
}
