#include "config/DataPaths.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

DataPaths DataPaths::inDirectory(std::string directory)
{
    if (directory.empty())
        directory = "./";
    // Named whole: the first log line and the window's title say which directory this is, and a
    // relative name says nothing to whoever reads them later or from elsewhere.
    std::error_code ec;
    if (const std::filesystem::path whole = std::filesystem::absolute(directory, ec); !ec)
        directory = whole.string();
    if (directory.back() != '/')
        directory.push_back('/');
    for (std::size_t at = directory.find("/./"); at != std::string::npos; at = directory.find("/./"))
        directory.erase(at, 2);
    DataPaths p;
    p.dir = directory;
    p.config = directory + "kalvor.cfg";
    p.journal = directory + "kalvor.dat";
    p.extended = directory + "extevn.dat";
    p.accounts = directory + "latevn.dat";
    p.eventLog = directory + "events.db";
    p.accountKeys = directory + "account_keys.cfg";
    return p;
}

std::string DataPaths::logFile(int year, int month) const
{
    char name[40];
    std::snprintf(name, sizeof name, "kalvor_%d_%02d.log", year, month);
    return dir + name;
}
