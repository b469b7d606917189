#pragma once

// The account the program runs as, as the system's user database knows it.

#include <QString>

namespace kestrove::system {

// The account's login name; empty when the user database does not know it.
QString loginName();
// The account's home folder from the user database (not $HOME); empty when unknown.
QString accountHomeFolder();

} // namespace kestrove::system
