#pragma once

// The two windows of the wizard, each a single instance created on first use (its load
// step runs then) and kept until the program ends; hiding never destroys one.

namespace kestrove {

class Form1;
class Form2;

Form1& TheForm1();
Form2& TheForm2();
bool Form2Exists();

// The program's start: creates Form1, whose load step is the start-up sequence, then shows
// it, unless the start-up has already moved on to Form2.
void StartProgram();

// Ends the whole program at once, also from inside an import: the statements running on
// the server are cancelled, the files of a workbook still being written are removed and
// nothing more is written or opened. Every setting is already on disk.
[[noreturn]] void EndProgram();

// Destroys both windows, so that the next use creates them afresh. Tests run many starts
// in one process; the program itself never needs it.
void DestroyWindows();

} // namespace kestrove
