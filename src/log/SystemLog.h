// The system log: one time-stamped line per call, shown newest-first by the window and appended
// to the month's file "kalvor_YYYY_MM.log" in the data directory before the call returns. A month's
// file that reaches its size limit is set aside once as "kalvor_YYYY_MM.1.log" and begun anew.
//
// Lines are dated "2026-12-09 15:13:48"; a red line has " ! " in the file where a black one has two
// blanks, so the colour survives a restart. A file begun with the user's short date and long time
// (as every file was before) goes on in that form to its end, so each file reads alike throughout;
// the next month's file is begun in the new form.
#pragma once

#include "config/Clock.h"
#include "config/ConfigRecord.h"
#include "log/LogSink.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

// How a log file dates its lines.
enum class LogDateStyle {
    Iso,    // "2026-12-09 15:13:48", and " ! " before the text of a red line
    Locale, // the user's short date and long time ("12/09/26 15:13:48"), no colour
};

// One line of a log file read back, in either style.
struct LogLineParts {
    bool dated = false; // false: a line with no date either style reads, `text` is all of it
    std::tm time{};
    LogColour colour = LogColour::Black;
    std::string_view text;
};
[[nodiscard]] LogLineParts parseLogLine(std::string_view line);
// "yyyy-mm-dd hh:mm:ss".
[[nodiscard]] std::string isoDateTime(const std::tm& tm);

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
    // "yyyy-mm-dd hh:mm:ss  text" as the line is shown.
    [[nodiscard]] std::string formatLine(std::string_view text) const;

    // The main window's view and any extra output (standard output when headless), given the line as
    // formatLine() shapes it. Called once per line after the line is in the file, so a window that
    // reloads the file already finds it there.
    std::function<void(const std::string& line, LogColour colour)> onLine;

    [[nodiscard]] LogSink sink()
    {
        return [this](std::string_view text, LogColour colour) { write(text, colour); };
    }

private:
    void append(const std::string& path, const std::tm& tm, std::string_view text, LogColour colour);
    // The style of the file open as `fd` with `size` bytes: a new or empty file is begun in ISO form;
    // one with lines keeps the form of its first line (read once per file and run).
    LogDateStyle styleOf(const std::string& path, off_t size);

    std::string m_dir;
    const Clock& m_clock;
    const Config_Record* m_config = nullptr;
    std::string m_currentFile;
    std::string m_styledFile; // the file m_style was found for
    LogDateStyle m_style = LogDateStyle::Iso;
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
