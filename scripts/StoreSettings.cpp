// kestrove-store-settings: stores Key=value lines read from standard input in the
// program's own settings store, exactly as the wizard would store them when typed.
// For scripts that prepare a run (the sample database); not installed.

#include "app/Settings.h"

#include <QCoreApplication>

#include <iostream>
#include <string>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    std::string line;
    int status = 0;
    while (std::getline(std::cin, line)) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "kestrove-store-settings: not Key=value: " << line << "\n";
            status = 2;
            continue;
        }
        try {
            kestrove::WriteSetting(QString::fromStdString(line.substr(0, equals)),
                                   QString::fromStdString(line.substr(equals + 1)));
        } catch (const std::exception& failure) {
            std::cerr << "kestrove-store-settings: " << failure.what() << "\n";
            status = 1;
        }
    }
    std::cout << kestrove::SettingsFilePath().toStdString() << "\n";
    return status;
}
