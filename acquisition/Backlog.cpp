#include "acquisition/Backlog.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *LineEnd = "\r\n";

// Splits off the record of a complete line (without its line end); false when the checksum
// is missing or wrong.
bool RecordOf(const std::string &line, std::string &record)
{
    const size_t tab = line.rfind("\t#");
    if (tab == std::string::npos || line.size() - tab != 10) {
        return false;
    }
    char *end = nullptr;
    const unsigned long sum = std::strtoul(line.c_str() + tab + 2, &end, 16);
    if (end != line.c_str() + line.size()) {
        return false;
    }
    record = line.substr(0, tab);
    return sum == BacklogChecksum(record);
}

// Calls f(begin, length) for each complete line of content (line end excluded) and returns
// where the complete lines end.
template <typename F>
size_t ForEachLine(const std::string &content, F f)
{
    size_t begin = 0;
    for (;;) {
        const size_t end = content.find(LineEnd, begin);
        if (end == std::string::npos) {
            return begin;
        }
        if (!f(begin, end - begin)) {
            return end + 2;
        }
        begin = end + 2;
    }
}

bool WriteAll(HANDLE h, const std::string &text)
{
    DWORD dwWritten = 0;
    return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &dwWritten, nullptr) &&
           dwWritten == text.size();
}

}  // namespace

unsigned long BacklogChecksum(const std::string &record)
{
    unsigned long sum = 2166136261UL;
    for (const char c : record) {
        sum = ((sum ^ static_cast<unsigned char>(c)) * 16777619UL) & 0xFFFFFFFFUL;
    }
    return sum;
}

bool AppendDurably(const std::string &path, const std::string &text)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    SetFilePointer(h, 0, nullptr, FILE_END);
    const bool bOK = WriteAll(h, text) && FlushFileBuffers(h);
    const DWORD dwError = GetLastError();
    CloseHandle(h);
    SetLastError(bOK ? 0 : dwError);
    return bOK;
}

bool CBacklog::ReadAll(std::string &content, size_t nMaxLines) const
{
    content.clear();
    HANDLE h = CreateFileA(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    char buffer[65536];
    DWORD dwRead = 0;
    bool bOK = true;
    size_t nLines = 0;
    while (nLines < nMaxLines &&
           (bOK = ReadFile(h, buffer, sizeof(buffer), &dwRead, nullptr) != FALSE) && dwRead > 0) {
        content.append(buffer, dwRead);
        for (DWORD i = 0; i < dwRead; ++i) {
            nLines += buffer[i] == '\n' ? 1 : 0;
        }
    }
    CloseHandle(h);
    return bOK;
}

bool CBacklog::Replace(const std::string &content)
{
    const std::string temporary = m_path + ".new";
    HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool bOK = WriteAll(h, content) && FlushFileBuffers(h);
    CloseHandle(h);
    return bOK && MoveFileExA(temporary.c_str(), m_path.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool CBacklog::Load()
{
    if (m_bLoaded) {
        return true;
    }
    std::string content;
    if (!ReadAll(content)) {
        return false;
    }
    size_t nCount = 0;
    const size_t complete = ForEachLine(content, [&nCount](size_t, size_t) {
        ++nCount;
        return true;
    });
    // A cut last line would swallow the next append.
    if (complete != content.size() && !Replace(content.substr(0, complete))) {
        return false;
    }
    m_nCount = nCount;
    m_bLoaded = true;
    return true;
}

bool CBacklog::Append(const std::string &record)
{
    if (!Load()) {
        return false;
    }
    char szSum[16];
    std::snprintf(szSum, sizeof(szSum), "\t#%08lx", BacklogChecksum(record));
    if (!AppendDurably(m_path, record + szSum + LineEnd)) {
        // The append may have left a cut line; it is looked for again before the next one.
        m_bLoaded = false;
        return false;
    }
    ++m_nCount;
    return true;
}

std::vector<CBacklog::Line> CBacklog::Head(size_t nMax)
{
    std::vector<Line> lines;
    std::string content;
    // Only as much of the file is read as the lines asked for need.
    if (nMax == 0 || !Load() || !ReadAll(content, nMax)) {
        return lines;
    }
    ForEachLine(content, [&](size_t begin, size_t length) {
        Line line{std::string(), false};
        const std::string text = content.substr(begin, length);
        line.valid = RecordOf(text, line.text);
        if (!line.valid) {
            line.text = text;
        }
        lines.push_back(std::move(line));
        return lines.size() < nMax;
    });
    return lines;
}

bool CBacklog::RemoveHead(size_t nLines)
{
    std::string content;
    if (nLines == 0 || !Load() || !ReadAll(content)) {
        return nLines == 0;
    }
    size_t nSeen = 0;
    const size_t cut =
        ForEachLine(content, [&nSeen, nLines](size_t, size_t) { return ++nSeen < nLines; });
    if (!Replace(content.substr(cut < content.size() ? cut : content.size()))) {
        return false;
    }
    m_nCount = m_nCount > nSeen ? m_nCount - nSeen : 0;
    return true;
}

size_t CBacklog::Count() { return Load() ? m_nCount : 0; }
