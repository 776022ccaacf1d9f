// The data directory and the full paths of the files in it, built once in main and passed down.
#pragma once

#include <string>

struct DataPaths {
    std::string dir;         // with a trailing '/'
    std::string config;      // kalvor.cfg
    std::string journal;     // kalvor.dat
    std::string extended;    // extevn.dat
    std::string accounts;    // latevn.dat
    std::string eventLog;    // events.db, the event log of record
    std::string accountKeys; // account_keys.cfg: the accounts' own keys

    [[nodiscard]] static DataPaths inDirectory(std::string directory);
    // "kalvor_YYYY_MM.log" for the given year and month (1..12).
    [[nodiscard]] std::string logFile(int year, int month) const;
};
