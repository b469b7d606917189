#include "catalogue/TableCatalogue.h"
#include "catalogue/RelationNames.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace kestrove;
using kestrove::test::MessageBoxRecorder;
using kestrove::test::testBedSettings;

namespace {

std::vector<TableEntry> entries(const TableList& list) {
    std::vector<TableEntry> all;
    for (int position = 1; position <= list.count(); ++position)
        all.push_back(list.entry(position));
    return all;
}

long countOf(const std::vector<TableEntry>& all, const QString& text, const QString& schema) {
    return std::count_if(all.begin(), all.end(), [&](const TableEntry& entry) {
        return entry.text == text && entry.schema == schema;
    });
}

} // namespace

TEST(TableCatalogue, ListsEveryTableExactlyAsStored) {
    MessageBoxRecorder boxes;
    MemoryTableList list;
    AddTablesToPostgreSQLListbox(list, testBedSettings());
    const auto all = entries(list);

    const QString publicSchema = QStringLiteral("public");
    for (const QString& name :
         {QStringLiteral("order items"), QStringLiteral("CamelCase"),
          QStringLiteral("it's \"quoted\""), QStringLiteral("таблица"), QStringLiteral("表格")})
        EXPECT_EQ(countOf(all, name, publicSchema), 1) << name.toStdString();
    // Same name in two schemas: two entries with the same text, each keeping its schema.
    EXPECT_EQ(countOf(all, QStringLiteral("twin"), publicSchema), 1);
    EXPECT_EQ(countOf(all, QStringLiteral("twin"), QStringLiteral("other")), 1);
    // The system catalogue's own tables are listed too.
    EXPECT_EQ(countOf(all, QStringLiteral("pg_class"), QStringLiteral("pg_catalog")), 1);
    EXPECT_TRUE(std::none_of(all.begin(), all.end(), [](const auto& e) { return e.checked; }));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(TableCatalogue, RefillReplacesTheList) {
    MessageBoxRecorder boxes;
    MemoryTableList list;
    list.add(QStringLiteral("stale entry"), QStringLiteral("public"));
    AddTablesToPostgreSQLListbox(list, testBedSettings());
    list.setChecked(1, true);
    AddTablesToPostgreSQLListbox(list, testBedSettings());
    // Other test programs make and drop tables meanwhile: only tables no one changes count.
    const std::vector<TableEntry> all = entries(list);
    for (const char* table : {"order items", "CamelCase", "twin"})
        EXPECT_EQ(countOf(all, QString::fromUtf8(table), QStringLiteral("public")), 1) << table;
    EXPECT_EQ(countOf(all, QStringLiteral("stale entry"), QStringLiteral("public")), 0);
    EXPECT_TRUE(std::none_of(all.begin(), all.end(), [](const auto& e) { return e.checked; }));
}

// Details that do not connect: each failing step is reported in order, the loop does not
// run, and the list ends empty.
TEST(TableCatalogue, FailedCatalogueReportsItsStepsAndEmptiesTheList) {
    MessageBoxRecorder boxes;
    MemoryTableList list;
    list.add(QStringLiteral("earlier"), QStringLiteral("public"));
    ConnectionSettings settings = testBedSettings();
    settings.password = QStringLiteral("wrong");
    AddTablesToPostgreSQLListbox(list, settings);
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(boxes.reportedSteps(), (std::vector<int>{106, 108, 112, 122, 124}));
    for (const auto& box : boxes.boxes)
        EXPECT_TRUE(box.text.contains(QStringLiteral(
            "\r\nin Pellarine2021/08/31.PostgreSQL.AddTablesToPostgreSQLListbox at line ")));
    // The driver's own description of the refused login leads the first report.
    EXPECT_TRUE(boxes.boxes[0].text.contains(QStringLiteral("password authentication failed")));
}

// Names read as SQL reads them; absent for what is no name.
TEST(ParseQualifiedName, FoldsUnquotedPartsAndKeepsQuotedOnes) {
    struct Case {
        const char* text;
        std::optional<QualifiedName> expected;
    };
    const std::vector<Case> cases{
        {"Orders", QualifiedName{"", "orders"}},
        {"SALES.Orders", QualifiedName{"sales", "orders"}},
        {"\"Order Details\"", QualifiedName{"", "Order Details"}},
        {"\"Sales\".\"Q1.Orders\"", QualifiedName{"Sales", "Q1.Orders"}},
        {"sales.\"it's \"\"quoted\"\"\"", QualifiedName{"sales", "it's \"quoted\""}},
        {"Ab\"Cd\"Ef", QualifiedName{"", "abCdef"}},
        // Only ASCII letters fold, as in a UTF-8 database.
        {"ÄRGER", QualifiedName{"", "Ärger"}},
        {"\"open", std::nullopt},
        {"", std::nullopt},
        {"sales.", std::nullopt},
        {".orders", std::nullopt},
        {"db.sales.orders", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<QualifiedName> parsed = ParseQualifiedName(QString::fromUtf8(c.text));
        ASSERT_EQ(parsed.has_value(), c.expected.has_value()) << c.text;
        if (parsed) {
            EXPECT_EQ(parsed->schema, c.expected->schema) << c.text;
            EXPECT_EQ(parsed->name, c.expected->name) << c.text;
        }
    }
}
