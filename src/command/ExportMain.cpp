// The start of kestrove-export: its options read, then the export run with them (see
// ExportCommand.h).

#include "command/EndOnSignals.h"
#include "command/ExportCommand.h"
#include "platform/desktop/Locale.h"

#include <QCoreApplication>

using namespace kestrove;

int main(int argc, char* argv[]) {
    // First, before any other thread starts.
    EndOnSignals ending;
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestrove-export"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KESTROVE_VERSION));
    desktop::UseCNumberFormat();
    const auto options = ReadExportOptions(QCoreApplication::arguments());
    if (const int* status = std::get_if<int>(&options))
        return *status;
    return RunExport(std::get<ExportOptions>(options), ending);
}
