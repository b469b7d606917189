#pragma once

// kestrove-export, the wizard's export without a window, for servers and scheduled jobs:
// its options read into one record, and the run that exports with them. Exit status 0
// when every table was exported whole and the workbook saved, 1 when anything was
// reported, 2 for bad usage, 128 + the signal when ended by SIGINT, SIGTERM or SIGHUP.

#include "connection/ConnectionSources.h"
#include "export/reading/QueryText.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>
#include <vector>

namespace kestrove {

class EndOnSignals;

constexpr int ExitReported = 1;
constexpr int ExitUsage = 2;

// What the command line asks for.
struct ExportOptions {
    ConnectionOptions connection;
    Prompting prompting = Prompting::WhenAsked;
    QStringList tables;              // as psql names them
    bool all = false;                // every table but the system catalogues'
    std::vector<QuerySheet> queries; // -c and --query-file, in the order given
    std::optional<QString> out;
    bool force = false;      // replace the --file workbook, once the export succeeds
    bool exactTimes = false; // times past the millisecond stay text
};

// Reads the arguments (the program's name first). --help and --version show their text
// and end the program; a usage error is printed, and its exit status returned.
std::variant<ExportOptions, int> ReadExportOptions(const QStringList& arguments);

// Exports as the options say and returns the exit status. `ending` is told when the
// workbook is being put in place.
int RunExport(const ExportOptions& options, EndOnSignals& ending);

} // namespace kestrove
