#pragma once

// The place that the reports of the table selection window's "Finish" name: its handler,
// which the command's runs of the same import name too, so that both report alike.

#include "app/ErrorReport.h"

namespace kestrove {

// The numbered steps of an import, reporting as Form2's "Finish" handler.
inline Steps FinishSteps() {
    return Steps(QStringLiteral("Form2"), QStringLiteral("PushButton5_Click"));
}

} // namespace kestrove
