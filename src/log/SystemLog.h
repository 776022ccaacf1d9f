// The system log: one time-stamped line per call, shown newest-first by the window and appended
// to the month's file "kalvor_YYYY_MM.log" in the data directory before the call returns. A month's
// file that reaches its size limit is set aside once as "kalvor_YYYY_MM.1.log" and begun anew.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "log/LogSink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class SystemLog {
public:
    // The size limit is read from `config` at every line (so a changed setting holds at once); without
    // a record the default holds.
    SystemLog(std::string dataDir, const Clock& clock, const Config_Record* config = nullptr);

    // Bytes at which a month's file is set aside: Log_File_Max_MiB, 0 meaning 64 MiB.
    [[nodiscard]] static std::uint64_t maxFileBytes(const Config_Record* config);

    // Write_System_Log: forms the line, hands it to the view, appends it to the month's file.
    void write(std::string_view text, LogColour colour);

    // The file the last line went to; empty before the first line.
    [[nodiscard]] const std::string& currentFileName() const { return m_currentFile; }
    // "date time  text" as the line is shown and stored.
    [[nodiscard]] std::string formatLine(std::string_view text) const;

    // The main window's view and any extra output (standard output when headless). Called once per
    // line after the line is in the file, so a window that reloads the file already finds it there.
    std::function<void(const std::string& line, LogColour colour)> onLine;

    [[nodiscard]] LogSink sink()
    {
        return [this](std::string_view text, LogColour colour) { write(text, colour); };
    }

private:
    void append(const std::string& path, const std::tm& tm, const std::string& line, LogColour colour);

    std::string m_dir;
    const Clock& m_clock;
    const Config_Record* m_config = nullptr;
    std::string m_currentFile;
};

// The hidden "dbg go" sequence: a 16-byte ring with a 4-bit write position.
class KeyRing {
public:
    // Stores the key and advances the position; true whenever positions 0..5 then hold "dbg go"
    // (the window reveals its entry and beeps only the first time).
    bool type(char key);

private:
    char m_ring[16] = {};
    unsigned m_pos = 0;
};
