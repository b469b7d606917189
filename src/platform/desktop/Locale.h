#pragma once

namespace kestrove::desktop {

// Keeps the C convention for numbers ('.' as decimal point) in this process while the
// user's locale serves everything else. The ODBC driver writes float and numeric values
// through the C library's locale, and the application's start sets that locale from the
// desktop: on a decimal-comma desktop, numbers would arrive as "1234,5".
void UseCNumberFormat();

} // namespace kestrove::desktop
