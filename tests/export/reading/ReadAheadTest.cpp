#include "export/reading/ReadAhead.h"
#include "export/ReadingSources.h"
#include "support/TestBed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace kestrove;
using namespace kestrove::test;

namespace {

TableName exported(const char* name) {
    return TableName{"export", name};
}

// A reading of the test server with every table of `locked` locked at its start and
// `further` connections beside the first.
struct Reading {
    explicit Reading(const std::vector<TableName>& locked, std::size_t further = 2) {
        transaction.open(connection, ReadingConnectionString(testBedSettings()));
        transaction.lock(locked);
        transaction.addReaders(ReadingConnectionString(testBedSettings()), further);
    }
    ~Reading() {
        reader.reset();
        transaction.end();
    }

    // The first value of the table in turn, once `ahead` has given it out.
    std::string firstValue(ReadAhead& ahead, const char* table) {
        ahead.openInTurn(exported(table), reader);
        return std::string(reader->value(0).value_or("(null)"));
    }

    odbc::Connection connection;
    ReadingTransaction transaction;
    std::unique_ptr<TableReader> reader = std::make_unique<TableReader>();
};

MemoryTableList ticked(std::initializer_list<const char*> tables) {
    MemoryTableList list;
    for (const char* table : tables) {
        list.add(QString::fromLatin1(table), QStringLiteral("export"));
        list.setChecked(list.count(), true);
    }
    return list;
}

} // namespace

// The ticked tables after the one in turn are read on the further connections and given
// out in their turn with their own rows; no more are read ahead than there are further
// connections.
TEST(ReadAhead, GivesOutTheTablesAfterTheOneInTurnWithTheirOwnRows) {
    Reading reading({exported("t_first"), exported("t_second"), exported("t_third")}, 1);
    ASSERT_EQ(reading.transaction.readers(), 2u);
    const MemoryTableList list = ticked({"t_first", "t_second", "t_third"});
    ReadAhead ahead(reading.transaction, {});
    EXPECT_EQ(reading.firstValue(ahead, "t_first"), "first");
    ahead.start(tickedSourcesAfter(list, 1, reading.transaction.readers() - 1),
                reading.reader.get());
    EXPECT_EQ(ahead.size(), 1u);
    EXPECT_EQ(reading.firstValue(ahead, "t_second"), "second");
    ahead.start(tickedSourcesAfter(list, 2, reading.transaction.readers() - 1),
                reading.reader.get());
    EXPECT_EQ(reading.firstValue(ahead, "t_third"), "x");
    EXPECT_EQ(ahead.size(), 0u);
}

// A list changed meanwhile: what was read ahead in another order is dropped, and the table
// in turn is read now on the first connection.
TEST(ReadAhead, ATableInAnotherOrderIsReadInItsTurn) {
    Reading reading({exported("t_first"), exported("t_second"), exported("t_third")});
    ASSERT_EQ(reading.transaction.readers(), 3u);
    const MemoryTableList list = ticked({"t_first", "t_second", "t_third"});
    ReadAhead ahead(reading.transaction, {});
    ahead.start(tickedSourcesAfter(list, 1, reading.transaction.readers() - 1), nullptr);
    EXPECT_GE(ahead.size(), 1u);
    EXPECT_EQ(reading.firstValue(ahead, "t_third"), "x");
    EXPECT_EQ(reading.reader->fetch().reader(), 0u);
    EXPECT_EQ(ahead.size(), 0u);
}

// Only a table locked at the reading's start is read on a further connection; the first
// that is not stops the reading ahead.
TEST(ReadAhead, StopsAtATableNotLockedAtTheStart) {
    Reading reading({exported("t_first"), exported("t_second")});
    const MemoryTableList list = ticked({"t_first", "lookalikes", "t_second"});
    ReadAhead ahead(reading.transaction, {});
    ahead.start(tickedSourcesAfter(list, 1, reading.transaction.readers() - 1), nullptr);
    EXPECT_EQ(ahead.size(), 0u);
    EXPECT_EQ(reading.firstValue(ahead, "lookalikes"), "1");
}

// Every ticked table after the one in turn is read ahead while connections are free, and
// a connection left over helps read the table in turn, a materialized view too (whose lock
// is taken by a query).
TEST(ReadAhead, ConnectionsLeftOverHelpTheTableInTurnAMaterializedViewToo) {
    executeSql("CREATE MATERIALIZED VIEW export.rows_view AS SELECT * FROM export.stream_rows");
    struct Dropped {
        ~Dropped() { executeSql("DROP MATERIALIZED VIEW export.rows_view"); }
    } dropped;
    {
        Reading reading({exported("rows_view"), exported("t_first"), exported("t_second")}, 3);
        ASSERT_EQ(reading.transaction.readers(), 4u);
        const MemoryTableList list = ticked({"rows_view", "t_first", "t_second"});
        ReadAhead ahead(reading.transaction, {});
        ahead.openInTurn(exported("rows_view"), reading.reader, false);
        ahead.start(tickedSourcesAfter(list, 1, reading.transaction.readers() - 1),
                    reading.reader.get());
        EXPECT_EQ(ahead.size(), 2u);
        ahead.helpInTurn(*reading.reader);
        // Until its rows are taken, each connection holds its range: both still read, and
        // both hold the view's lock.
        EXPECT_TRUE(reading.reader->fetch().uses(3));
        const auto lockers = [] {
            return queryColumn("SELECT count(DISTINCT pid)::text FROM pg_locks WHERE relation = "
                               "'export.rows_view'::regclass AND granted")
                .at(0);
        };
        for (int tries = 0; tries < 200 && lockers() != "2"; ++tries)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(lockers(), "2");
        long rows = 0;
        for (; !reading.reader->eof(); reading.reader->moveNext({}))
            ++rows;
        EXPECT_EQ(rows, 100000);
        EXPECT_EQ(reading.firstValue(ahead, "t_first"), "first");
    }
}
