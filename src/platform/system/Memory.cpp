#include "platform/system/Memory.h"

#include <sys/resource.h>

namespace kestrove::system {

double peakResidentMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace kestrove::system
