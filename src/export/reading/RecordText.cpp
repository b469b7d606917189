#include "export/reading/RecordText.h"

#include "platform/odbc/Odbc.h"

namespace kestrove {

namespace {
[[noreturn]] void malformed(std::size_t at) {
    throw odbc::OdbcError(
        "The server's row text could not be read at byte " + std::to_string(at) + ".", "22P02");
}
} // namespace

std::size_t appendRecord(std::string_view records, std::size_t at, std::size_t columns,
                         ValueRows& rows) {
    const std::size_t size = records.size();
    if (at >= size || records[at] != '(')
        malformed(at);
    ++at;
    for (std::size_t j = 0; j < columns; ++j) {
        if (j > 0) {
            if (at >= size || records[at] != ',')
                malformed(at);
            ++at;
        }
        // Nothing before the next comma or the closing parenthesis: a Null (an empty
        // text is always quoted).
        if (at < size && (records[at] == ',' || records[at] == ')')) {
            rows.ends.push_back(rows.text.size());
            rows.nulls.push_back(1);
            continue;
        }
        bool quoted = false;
        const char* const data = records.data();
        while (at < size && (quoted || (data[at] != ',' && data[at] != ')'))) {
            const char c = data[at];
            if (c == '\\') {
                if (at + 1 >= size)
                    malformed(at);
                rows.text += data[at + 1];
                at += 2;
            } else if (c == '"') {
                ++at;
                if (!quoted)
                    quoted = true;
                else if (at < size && data[at] == '"')
                    rows.text += '"', ++at;
                else
                    quoted = false;
            } else {
                // A run of plain bytes is copied at once: inside quotes up to the next quote
                // or backslash, else up to the field's end too.
                std::size_t end = at + 1;
                if (quoted)
                    while (end < size && data[end] != '"' && data[end] != '\\')
                        ++end;
                else
                    while (end < size && data[end] != '"' && data[end] != '\\' &&
                           data[end] != ',' && data[end] != ')')
                        ++end;
                rows.text.append(data + at, end - at);
                at = end;
            }
        }
        if (quoted)
            malformed(at);
        rows.ends.push_back(rows.text.size());
        rows.nulls.push_back(0);
    }
    if (at >= size || records[at] != ')')
        malformed(at);
    ++at;
    if (at < size) {
        if (records[at] != '\n')
            malformed(at);
        ++at;
    }
    ++rows.used;
    return at;
}

} // namespace kestrove
