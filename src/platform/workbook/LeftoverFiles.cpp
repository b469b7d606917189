#include "platform/workbook/LeftoverFiles.h"

#include <atomic>
#include <climits>
#include <cstring>

#include <unistd.h>

namespace kestrove::workbook {

namespace {
// A place is free (0), being filled (1), or holds a path (2). Fixed storage, so that a
// signal handler reads it without allocating or locking.
struct Place {
    std::atomic<int> state{0};
    char path[PATH_MAX];
};
Place places[8];
} // namespace

bool registerLeftover(const std::string& path) {
    if (path.size() >= PATH_MAX)
        return false;
    for (Place& place : places) {
        int expected = 0;
        if (place.state.compare_exchange_strong(expected, 1)) {
            std::memcpy(place.path, path.c_str(), path.size() + 1);
            place.state.store(2);
            return true;
        }
    }
    return false;
}

void unregisterLeftover(const std::string& path) {
    for (Place& place : places) {
        int expected = 2;
        if (place.state.load() == 2 && path == place.path &&
            place.state.compare_exchange_strong(expected, 1))
            place.state.store(0);
    }
}

std::mutex& namingMutex() {
    static std::mutex mutex;
    return mutex;
}

void removeLeftoverFilesForGood() {
    namingMutex().lock(); // never given back: the program ends
    removeLeftoverFiles();
}

void removeLeftoverFiles() noexcept {
    for (Place& place : places)
        if (place.state.load() == 2)
            ::unlink(place.path);
}

} // namespace kestrove::workbook
