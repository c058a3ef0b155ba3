#include "profile.h"

#include <strings.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "file.h"

namespace {

struct Entry {
    std::string key;
    std::string value;
};

struct Section {
    std::string name;
    std::vector<Entry> entries;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const char *begin, const char *end)
{
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    return std::string(begin, end);
}

std::string Trim(const std::string &text) { return Trim(text.data(), text.data() + text.size()); }

bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string Unquote(std::string value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

// Reads the whole file into sections; false when the file cannot be read.
bool Load(const char *fileName, std::vector<Section> &sections)
{
    if (!fileName || !*fileName)
        return false;
    // A name without separator would be looked for in the Windows directory; Linux has none,
    // so the bare relative name is read from the current directory.
    std::ifstream in(pelmora::platform::NativePath(fileName), std::ios::binary);
    if (!in)
        return false;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);

    Section *current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        const std::string line = Trim(text.data() + pos, text.data() + eol);
        pos = eol + 1;
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos)
                close = line.size();
            sections.push_back(Section{Trim(line.substr(1, close - 1)), {}});
            current = &sections.back();
            continue;
        }
        size_t eq = line.find('=');
        if (!current || eq == std::string::npos)
            continue;
        current->entries.push_back(
            Entry{Trim(line.substr(0, eq)), Unquote(Trim(line.substr(eq + 1)))});
    }
    return true;
}

const Section *FindSection(const std::vector<Section> &sections, const std::string &name)
{
    for (const Section &s : sections)
        if (SameName(s.name, name))
            return &s;
    return nullptr;
}

const Entry *FindKey(const std::vector<Section> &sections, const char *appName, const char *keyName)
{
    const Section *section = FindSection(sections, Trim(appName, appName + strlen(appName)));
    if (!section)
        return nullptr;
    const std::string key = Trim(keyName, keyName + strlen(keyName));
    for (const Entry &e : section->entries)
        if (SameName(e.key, key))
            return &e;
    return nullptr;
}

DWORD CopyValue(const std::string &value, LPSTR buffer, DWORD size)
{
    if (!buffer || size == 0)
        return 0;
    const size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

// Names, each terminated, the list ended by one more null; cut to fit with two nulls at the
// end of a cut list.
DWORD CopyList(const std::vector<std::string> &names, LPSTR buffer, DWORD size)
{
    if (!buffer || size == 0)
        return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    size_t used = 0;
    for (const std::string &name : names) {
        if (used + name.size() + 1 > size - 1) {
            // Cut: as much of this name as fits before the final two nulls. The names before
            // may already fill the buffer up to its last byte.
            const size_t room = used < size - 2 ? size - 2 - used : 0;
            memcpy(buffer + used, name.data(), room < name.size() ? room : name.size());
            buffer[size - 2] = '\0';
            buffer[size - 1] = '\0';
            return size - 2;
        }
        memcpy(buffer + used, name.data(), name.size());
        used += name.size();
        buffer[used++] = '\0';
    }
    buffer[used] = '\0';
    return static_cast<DWORD>(used);
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
{
    std::vector<Section> sections;
    const bool loaded = Load(lpFileName, sections);

    if (!lpAppName) {
        std::vector<std::string> names;
        names.reserve(sections.size());
        for (const Section &s : sections)
            names.push_back(s.name);
        return CopyList(names, lpReturnedString, nSize);
    }
    if (!lpKeyName) {
        std::vector<std::string> names;
        if (const Section *s =
                FindSection(sections, Trim(lpAppName, lpAppName + strlen(lpAppName))))
            for (const Entry &e : s->entries)
                names.push_back(e.key);
        return CopyList(names, lpReturnedString, nSize);
    }
    const Entry *entry = loaded ? FindKey(sections, lpAppName, lpKeyName) : nullptr;
    if (entry)
        return CopyValue(entry->value, lpReturnedString, nSize);
    const char *def = lpDefault ? lpDefault : "";
    const char *end = def + strlen(def);
    while (end > def && (end[-1] == ' ' || end[-1] == '\t'))
        --end;
    return CopyValue(std::string(def, end), lpReturnedString, nSize);
}

UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault, LPCSTR lpFileName)
{
    if (!lpAppName || !lpKeyName)
        return static_cast<UINT>(nDefault);
    std::vector<Section> sections;
    if (!Load(lpFileName, sections))
        return static_cast<UINT>(nDefault);
    const Entry *entry = FindKey(sections, lpAppName, lpKeyName);
    if (!entry || entry->value.empty())
        return static_cast<UINT>(nDefault);

    const char *p = entry->value.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    UINT result = 0;  // wraps modulo 2^32 as the Windows conversion does
    for (; *p >= '0' && *p <= '9'; ++p)
        result = result * 10u + static_cast<UINT>(*p - '0');
    return negative ? 0u - result : result;
}
