// The backlog of a station: readings whose database call has not succeeded yet, one text line
// each, oldest first, kept on disk so that neither a lost database nor a killed process loses
// them. Used only by the station's own connector thread.
//
// A line is "<record>\t#<checksum>\r\n". A line without its line end or with a wrong checksum
// was cut by a crash in the middle of an append (or damaged since): a cut last line is removed
// when the file is first used, so an append never joins it; a damaged line elsewhere is handed
// out as not valid. The file is changed only by appending (flushed before Append returns) and
// by replacing it whole with its remainder (a new file renamed over it), so at any moment of a
// crash every line is either still there or was removed on purpose.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32.h"

class CBacklog {
public:
    explicit CBacklog(std::string path) : m_path(std::move(path)) {}

    const std::string &Path() const { return m_path; }

    // Appends one record (text without a line end) with its checksum; false when it
    // could not be written and flushed.
    bool Append(const std::string &record);

    struct Line {
        std::string text;  // the record of a valid line, else the line as found
        bool valid;
    };
    // Up to nMax lines from the oldest on.
    std::vector<Line> Head(size_t nMax);

    // Removes the nLines oldest lines; false when the file could not be replaced.
    bool RemoveHead(size_t nLines);

    // The number of complete lines.
    size_t Count();

private:
    bool Load();
    // The file, or its start once it holds nMaxLines line ends.
    bool ReadAll(std::string &content, size_t nMaxLines = static_cast<size_t>(-1)) const;
    bool Replace(const std::string &content);

    std::string m_path;
    bool m_bLoaded = false;
    size_t m_nCount = 0;
};

// Appends text to a file and flushes it to disk; false on failure (GetLastError tells why).
bool AppendDurably(const std::string &path, const std::string &text);

// The checksum a backlog line carries: FNV-1a over the record's bytes.
unsigned long BacklogChecksum(const std::string &record);
