#include "export/reading/QueryText.h"

#include <cctype>
#include <set>

namespace kestrove {

namespace {

bool isIdentifierCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// A name may hold '$' after its first character, so that none starts a dollar quote.
bool continuesName(char c) {
    return isIdentifierCharacter(c) || c == '$';
}

// Where the quoted or commented part that starts at `at` ends (one past its last
// character), or `at` when none starts there. An unended one runs to the end.
std::size_t skipQuoted(std::string_view text, std::size_t at, bool plainEscapes) {
    const char c = text[at];
    const auto rest = [&](std::size_t from, std::string_view end) {
        const std::size_t found = text.find(end, from);
        return found == std::string_view::npos ? text.size() : found + end.size();
    };
    if (c == '-' && text.substr(at, 2) == "--") {
        const std::size_t line = text.find_first_of("\r\n", at);
        return line == std::string_view::npos ? text.size() : line + 1;
    }
    if (c == '/' && text.substr(at, 2) == "/*") {
        // Block comments nest.
        int depth = 0;
        for (std::size_t i = at; i + 1 < text.size(); ++i) {
            if (text[i] == '/' && text[i + 1] == '*') {
                ++depth;
                ++i;
            } else if (text[i] == '*' && text[i + 1] == '/') {
                ++i;
                if (--depth == 0)
                    return i + 1;
            }
        }
        return text.size();
    }
    if (c == '\'' || c == '"') {
        // E'...' reads backslash escapes; a doubled quote is one quote character.
        const bool escapes =
            c == '\'' && (plainEscapes || (at > 0 && (text[at - 1] == 'E' || text[at - 1] == 'e') &&
                                           (at < 2 || !continuesName(text[at - 2]))));
        for (std::size_t i = at + 1; i < text.size(); ++i) {
            if (escapes && text[i] == '\\') {
                ++i;
            } else if (text[i] == c) {
                if (i + 1 < text.size() && text[i + 1] == c)
                    ++i;
                else
                    return i + 1;
            }
        }
        return text.size();
    }
    if (c == '$' && (at == 0 || !continuesName(text[at - 1]))) {
        // $tag$ ... $tag$, the tag empty or a name that does not start with a digit.
        std::size_t end = at + 1;
        while (end < text.size() && isIdentifierCharacter(text[end]) && text[end] != '$')
            ++end;
        if (end < text.size() && text[end] == '$' &&
            (end == at + 1 || !(text[at + 1] >= '0' && text[at + 1] <= '9')))
            return rest(end + 1, text.substr(at, end + 1 - at));
    }
    return at;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The end of the text's one statement (at its first ';', or its end), read with or
// without backslash escapes in plain strings.
std::size_t statementEndOf(std::string_view text, bool plainEscapes) {
    std::size_t statementEnd = std::string_view::npos; // at the first ';' outside quotes
    bool statement = false;                            // a word of the statement seen
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t skipped = skipQuoted(text, i, plainEscapes);
        const bool comment = skipped > i && (text[i] == '-' || text[i] == '/');
        if (skipped > i) {
            if (!comment && statementEnd != std::string_view::npos)
                throw QueryTextError("the query holds more than one statement");
            statement = statement || !comment;
            i = skipped;
            continue;
        }
        if (text[i] == ';') {
            if (statementEnd == std::string_view::npos)
                statementEnd = i;
        } else if (text[i] == '?') {
            throw QueryTextError("a '?' outside quotes is taken by the ODBC driver for a parameter "
                                 "(write jsonb's ? as jsonb_exists(...))");
        } else if (!isBlank(text[i])) {
            if (statementEnd != std::string_view::npos)
                throw QueryTextError("the query holds more than one statement");
            statement = true;
        }
        ++i;
    }
    if (!statement)
        throw QueryTextError("the query holds no statement");
    return statementEnd == std::string_view::npos ? text.size() : statementEnd;
}

// The statement's first word in lower case, after blanks, comments and opening
// parentheses; empty where something else comes first.
std::string firstWord(std::string_view statement) {
    std::size_t i = 0;
    while (i < statement.size()) {
        const std::size_t skipped = skipQuoted(statement, i, false);
        if (skipped > i && (statement[i] == '-' || statement[i] == '/'))
            i = skipped;
        else if (isBlank(statement[i]) || statement[i] == '(')
            ++i;
        else
            break;
    }
    std::string word;
    while (i < statement.size() && isIdentifierCharacter(statement[i]))
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(statement[i++])));
    return word;
}

// The server's commands whose result cannot be read as a query's rows. What is not among
// them (a misspelt word) is left to the server, which says where it went wrong.
bool returnsNoRowsToRead(const std::string& word) {
    static const std::set<std::string> Commands{
        "abort",    "alter",     "analyze",  "begin",   "call",    "checkpoint", "close",
        "cluster",  "comment",   "commit",   "copy",    "create",  "deallocate", "declare",
        "discard",  "do",        "drop",     "end",     "execute", "explain",    "fetch",
        "grant",    "import",    "listen",   "load",    "lock",    "move",       "notify",
        "prepare",  "reassign",  "refresh",  "reindex", "release", "reset",      "revoke",
        "rollback", "savepoint", "security", "set",     "show",    "start",      "truncate",
        "unlisten", "vacuum"};
    return Commands.count(word) > 0;
}
} // namespace

std::string singleStatement(std::string_view text) {
    const std::size_t end = statementEndOf(text, false);
    if (statementEndOf(text, true) != end)
        throw QueryTextError("a backslash in a quoted string leaves the query's end unclear (write "
                             "such strings as E'...')");
    std::string statement(text.substr(0, end));
    if (std::string word = firstWord(statement); returnsNoRowsToRead(word)) {
        for (char& c : word)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        throw QueryTextError(word + " cannot become a sheet: only a statement that returns rows "
                                    "(SELECT, VALUES, TABLE, WITH ...) can");
    }
    return statement;
}

bool changesRows(std::string_view statement) {
    const std::string word = firstWord(statement);
    return word == "insert" || word == "update" || word == "delete" || word == "merge";
}

std::string withQuery(const std::string& statement, int columns) {
    std::string with = "WITH q";
    for (int c = 1; c <= columns; ++c)
        with += (c == 1 ? "(c" : ", c") + std::to_string(c) + (c == columns ? ")" : "");
    return with + " AS (\n" + statement + "\n) ";
}

} // namespace kestrove
