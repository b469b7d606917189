#include "connection/TerminalPrompt.h"

#include "platform/system/Terminal.h"

namespace kestrove {

std::optional<QString> TerminalPrompt::ask(const QString& question) {
    const std::optional<std::string> answer = system::askWithoutEcho(question.toStdString());
    if (!answer)
        return std::nullopt;
    return QString::fromLocal8Bit(*answer);
}

} // namespace kestrove
