// Command-line handling shared by the Qt tools. QCommandLineParser::process ends a bad option with
// status 1, which a script cannot tell from a failed run; here a usage error always ends with 2.
#pragma once

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

// Parses the arguments; --help prints the help and ends with 0, an unknown option, a missing
// value or an argument the tool takes no part in ends with 2.
inline void parseCommandLineOrExit(QCommandLineParser& parser, const char* tool)
{
    const auto usageError = [tool](const QString& text) {
        std::fprintf(stderr, "%s: %s (see --help)\n", tool, qPrintable(text));
        std::exit(2);
    };
    if (!parser.parse(QCoreApplication::arguments()))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.optionNames().contains(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().front()));
}
