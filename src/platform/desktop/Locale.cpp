#include "platform/desktop/Locale.h"

#include <clocale>

namespace kestrove::desktop {

void UseCNumberFormat() {
    std::setlocale(LC_NUMERIC, "C");
}

} // namespace kestrove::desktop
