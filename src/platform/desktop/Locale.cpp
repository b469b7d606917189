#include "platform/desktop/Locale.h"

#include <clocale>

#include <locale.h>

namespace kestrove::desktop {

void UseCNumberFormat() {
    std::setlocale(LC_NUMERIC, "C");
}

UntranslatedMessages::UntranslatedMessages() {
    locale_t plain = nullptr;
    if (locale_t base = duplocale(uselocale(nullptr)))
        plain = newlocale(LC_MESSAGES_MASK, "C", base);
    if (plain)
        m_previous = uselocale(plain);
    m_plain = plain;
}

UntranslatedMessages::~UntranslatedMessages() {
    if (!m_plain)
        return;
    uselocale(static_cast<locale_t>(m_previous));
    freelocale(static_cast<locale_t>(m_plain));
}

} // namespace kestrove::desktop
