#include "app/WindowFlow.h"

#include "catalogue/Form2.h"
#include "connection/Form1.h"
#include "platform/odbc/RunningStatements.h"
#include "platform/workbook/Workbook.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kestrove {

namespace {
std::unique_ptr<Form1> g_form1;
std::unique_ptr<Form2> g_form2;
} // namespace

Form1& TheForm1() {
    if (!g_form1) {
        // Kept before its load step runs, so that the load step (which may go on to
        // Form2, which reads Form1's boxes) finds this same window.
        g_form1 = std::make_unique<Form1>();
        g_form1->Form_Load();
    }
    return *g_form1;
}

Form2& TheForm2() {
    if (!g_form2) {
        g_form2 = std::make_unique<Form2>();
        g_form2->Form_Load();
    }
    return *g_form2;
}

bool Form2Exists() {
    return g_form2 != nullptr;
}

void StartProgram() {
    Form1& form1 = TheForm1();
    if (!(Form2Exists() && TheForm2().isVisible()))
        form1.show();
}

void EndProgram() {
    // An import's statements would run on in the server without their reader.
    odbc::cancelRunningStatements(odbc::CancelAtTheEnd);
    workbook::discardUnfinishedFiles();
    std::fflush(nullptr);
    // Not a return to the event loop: an import may be running in a nested loop, and
    // it must not go on to write or open its workbook.
    std::_Exit(0);
}

void DestroyWindows() {
    g_form2.reset();
    g_form1.reset();
}

} // namespace kestrove
