#pragma once

// The steps of the table selection window's "Finish" handler, whose reports name it as
// their place, in the window and in the command alike.

#include "app/ErrorReport.h"

namespace kestrove {

// The numbered steps of an import, reporting as Form2's "Finish" handler.
inline Steps FinishSteps() {
    return Steps(QStringLiteral("Form2"), QStringLiteral("PushButton5_Click"));
}

} // namespace kestrove
