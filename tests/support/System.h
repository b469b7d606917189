#pragma once

// The operating system as the tests use it beyond the program's own platform layer: a
// file's permission bits, this process's id, signals sent to other processes, a limit on
// open files, a port that never answers, and another account to run as. With
// Process.cpp, the tests' one place for the system's own calls.

#include <QString>

#include <optional>

namespace kestrove::test {

// A file's permission bits (the mode's lowest twelve); 0 when it cannot be found.
unsigned permissionBits(const QString& path);
// Sets them; false when the system refuses.
bool setPermissionBits(const QString& path, unsigned bits);

// This process's id.
long processId();

// The signals the tests send, each as the program and the server take it.
enum class Signal { Interrupt, Terminate, HangUp, Stop, Continue };
int signalNumber(Signal signal);
// Sends the signal to the process; false when it cannot be sent (no such process, or
// not ours to signal).
bool sendSignal(long process, Signal signal);

// Lowers this process's limit on open files while it lives, and puts the earlier one back.
class OpenFileLimit {
public:
    explicit OpenFileLimit(unsigned files);
    ~OpenFileLimit();
    OpenFileLimit(const OpenFileLimit&) = delete;
    OpenFileLimit& operator=(const OpenFileLimit&) = delete;

    // Whether the limit was lowered.
    bool holds() const { return m_holds; }

private:
    unsigned long long m_previous = 0;
    bool m_holds = false;
};

// A port of 127.0.0.1 that takes connections (the system completes them in its queue)
// and never answers them, for its owner's life.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    // Its port; 0 when no port could be had.
    int port() const { return m_port; }

private:
    int m_socket = -1;
    int m_port = 0;
};

// An account of the system's user database, and running as it.
struct Account {
    unsigned user = 0;
    unsigned group = 0;
};
std::optional<Account> accountNamed(const char* name);
bool runningAsRoot();
// Makes the account the owner of the path; false when the system refuses.
bool giveTo(const QString& path, const Account& account);
// Makes this process run as the account from now on; false when the system refuses.
bool becomeAccount(const Account& account);

} // namespace kestrove::test
