#pragma once

// The programs' end on a signal: the statements running on the server are cancelled, the
// files of a workbook being written removed and the terminal put back first.

namespace kestrove {

// Ends the program on SIGINT, SIGTERM or SIGHUP with status 128 + the signal, after the
// statements running on the server are cancelled (waiting for them at most a moment), the
// files registered as leftovers are removed and a terminal left without echo is put
// back. Signals are taken by a thread of its own, so that the program's own threads never
// run the cleanup: make it first in main, before any other thread starts.
class EndOnSignals {
public:
    EndOnSignals();
    EndOnSignals(const EndOnSignals&) = delete;
    EndOnSignals& operator=(const EndOnSignals&) = delete;
    // The workbook is being put in place: from here on a signal no longer ends the run
    // halfway, it ends by itself in a moment.
    void finishing();
};

} // namespace kestrove
