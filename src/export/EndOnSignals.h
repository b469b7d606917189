#pragma once

// The command-line programs' end on a signal: the files of a workbook being written are
// removed and the terminal is put back first.

namespace kestrove {

// Ends the program on SIGINT, SIGTERM or SIGHUP with status 128 + the signal, after the
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
