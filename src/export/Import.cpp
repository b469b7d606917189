#include "export/Import.h"

#include "export/RunningImport.h"

namespace kestrove {

void Import::run(ImportHost& host, Steps steps) {
    RunningImport run(host, m_progress, m_tablesAtOnce, m_exactTimes);
    TableList& list = host.tableList();

    steps(100, [&] { run.createConnection(); });
    steps(102, [&] { run.createReader(); });
    if (steps.test(104, [&] { return m_importRunning; }))
        return;
    steps(106, [&] { m_importRunning = true; });
    m_progress.rows = 0;
    m_progress.cells = 0;
    if (!steps.test(108, [&] { return list.count() == 0; })) {
        steps(110, [&] { host.setMousePointer(PointerBusy); });
        steps(112, [&] { run.connection().setMode(odbc::ModeReadWrite); });
        steps(114, [&] { run.openReading(); });
        if (!(steps(116, [&] { run.startSpreadsheet(); }) &&
              steps(118, [&] { run.addWorkbook(); }))) {
            // Without a workbook nothing can follow: end as a finished run would, but
            // without "Done.".
            host.setProgress(0);
            host.setStatusText(QStringLiteral("Progress Bar"));
            host.setMousePointer(PointerDefault);
            m_importRunning = false;
            return;
        }
        steps.whileLoop(
            120, [&] { return run.book().count() > 1; },
            [&] { steps(122, [&] { run.book().remove(run.book().count()); }); });
        bool firstSheet = false;
        steps(124, [&] { firstSheet = true; });

        const auto entries = steps.bound(126, [&] { return list.count(); });
        for (int i = 1; i <= entries.value_or(0); ++i) {
            // The list may have been emptied or refilled meanwhile: never read past its end.
            if (i > list.count())
                break;
            if (!steps.test(128, [&] { return list.entry(i).checked; }))
                continue;
            steps(130, [&] { run.takeEntry(i); });
            steps(132, [&] {
                host.setProgress(static_cast<double>(i) / static_cast<double>(list.count()) *
                                 100.0);
            });
            steps(134, [&] {
                host.setStatusText(QStringLiteral("Processing: ") + m_progress.currentTableName);
            });
            if (steps.test(136, [&] { return run.reader().state() != odbc::StateClosed; }))
                steps(136, [&] { run.reader().close(); });
            // The reader reads through cursors on the server whatever a client cursor
            // location would say; the step still needs the reader, and fails without it.
            steps(138, [&] { run.reader(); });
            steps(140, [&] { run.openTable(); });
            run.readAhead(i);

            if (steps.test(142, [&] { return firstSheet; })) {
                steps(144, [&] { run.useActiveSheet(); });
                steps(146, [&] { firstSheet = false; });
            } else {
                steps(148, [&] { run.addSheet(); });
            }
            run.nameSheet(steps);
            run.writeTable(steps, i);
            if (run.unwritable())
                break;
        }
        run.finish(steps);
    }
    steps(228, [&] { m_importRunning = false; });
}

} // namespace kestrove
