#include "export/reading/TableName.h"

namespace kestrove {

std::string QuotedIdentifier(const std::string& name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

std::string TableName::quoted() const {
    return schema.empty() ? QuotedIdentifier(name)
                          : QuotedIdentifier(schema) + '.' + QuotedIdentifier(name);
}

} // namespace kestrove
