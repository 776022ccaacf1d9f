#include "config/DataPaths.h"

#include <cstdio>

DataPaths DataPaths::inDirectory(std::string directory)
{
    if (directory.empty())
        directory = "./";
    if (directory.back() != '/')
        directory.push_back('/');
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
