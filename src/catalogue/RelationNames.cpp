#include "catalogue/RelationNames.h"

#include <QStringList>

namespace kestrove {

namespace {

// Kinds of relation a SELECT reads: tables, partitioned tables, views, materialized views
// and foreign tables.
constexpr const char* RelationsNamed =
    "SELECT n.nspname, c.relname, pg_catalog.pg_table_is_visible(c.oid) "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
    "WHERE c.relkind IN ('r', 'p', 'v', 'm', 'f') AND c.relname = ? "
    "AND (n.nspname = ? OR (? = '' AND n.nspname !~ '^pg_(toast_)?temp_')) "
    "ORDER BY n.nspname";

// One relation of several: the one on the search path, if exactly one is.
RelationLookup chooseOne(const std::vector<Relation>& found, const QString& text) {
    if (found.size() == 1)
        return {found.front(), {}};
    std::vector<Relation> visible;
    for (const Relation& relation : found)
        if (relation.visible)
            visible.push_back(relation);
    if (visible.size() == 1)
        return {visible.front(), {}};
    QStringList schemas;
    for (const Relation& relation : found)
        schemas << relation.schema;
    return {std::nullopt,
            QStringLiteral("%1 is a table in several schemas (%2): name one as schema.table")
                .arg(text, schemas.join(QStringLiteral(", ")))};
}

} // namespace

std::optional<QualifiedName> ParseQualifiedName(const QString& text) {
    QStringList parts{QString()};
    bool quoted = false;
    bool partStarted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c != QLatin1Char('"')) {
                parts.back() += c;
            } else if (i + 1 < text.size() && text[i + 1] == QLatin1Char('"')) {
                parts.back() += c;
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
            partStarted = true;
        } else if (c == QLatin1Char('.')) {
            if (!partStarted)
                return std::nullopt;
            parts << QString();
            partStarted = false;
        } else {
            // Only ASCII letters fold, as the server folds them in a UTF-8 database.
            parts.back() += c.unicode() < 128 ? c.toLower() : c;
            partStarted = true;
        }
    }
    if (quoted || !partStarted || parts.size() > 2)
        return std::nullopt;
    if (parts.size() == 2)
        return QualifiedName{parts[0], parts[1]};
    return QualifiedName{QString(), parts[0]};
}

std::vector<Relation> FindRelations(odbc::Connection& connection, const QualifiedName& name) {
    const std::string schema = name.schema.toStdString();
    std::vector<Relation> found;
    for (odbc::RecordSet rows =
             connection.execute(RelationsNamed, {name.name.toStdString(), schema, schema});
         !rows.eof(); rows.moveNext())
        found.push_back(Relation{QString::fromStdString(rows.value(0).value_or("")),
                                 QString::fromStdString(rows.value(1).value_or("")),
                                 rows.value(2).value_or("") == "1"});
    return found;
}

RelationLookup LookUpRelation(odbc::Connection& connection, const QString& text,
                              const QString& database) {
    // The whole text as a relation's name, then split at its first '.' as it stands.
    std::vector<Relation> found = FindRelations(connection, QualifiedName{QString(), text});
    const qsizetype dot = text.indexOf(QLatin1Char('.'));
    if (found.empty() && dot > 0)
        found = FindRelations(connection, QualifiedName{text.left(dot), text.mid(dot + 1)});
    if (found.empty()) {
        const std::optional<QualifiedName> parsed = ParseQualifiedName(text);
        if (!parsed)
            return {std::nullopt, QStringLiteral("%1 is not a name of a table").arg(text)};
        found = FindRelations(connection, *parsed);
    }
    if (found.empty())
        return {std::nullopt,
                QStringLiteral("no table named %1 in database %2").arg(text, database)};
    return chooseOne(found, text);
}

} // namespace kestrove
