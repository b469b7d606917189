#include "platform/system/Account.h"

#include <pwd.h>
#include <unistd.h>

namespace kestrove::system {

QString loginName() {
    const passwd* account = ::getpwuid(::geteuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

QString accountHomeFolder() {
    const passwd* account = ::getpwuid(::geteuid());
    return account ? QString::fromLocal8Bit(account->pw_dir) : QString();
}

} // namespace kestrove::system
