#pragma once

// The process's locale where the program needs another convention than the user's: numbers
// the C way for the whole process, and messages untranslated on one thread for a while.

namespace kestrove::desktop {

// Keeps the C convention for numbers ('.' as decimal point) in this process while the
// user's locale serves everything else. The ODBC driver writes float and numeric values
// through the C library's locale, and the application's start sets that locale from the
// desktop: on a decimal-comma desktop, numbers would arrive as "1234,5".
void UseCNumberFormat();

// While it lives, messages of the C library and of the libraries that use it (the
// database driver's among them) come untranslated on the thread that made it.
class UntranslatedMessages {
public:
    UntranslatedMessages();
    ~UntranslatedMessages();
    UntranslatedMessages(const UntranslatedMessages&) = delete;
    UntranslatedMessages& operator=(const UntranslatedMessages&) = delete;

private:
    void* m_plain = nullptr;
    void* m_previous = nullptr;
};

} // namespace kestrove::desktop
