#include "export/reading/QueryText.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace kestrove;

// A query's one statement, less its trailing ';': a ';' inside quotes, quoted names,
// dollar quotes or comments counts for nothing, and a second statement is refused.
TEST(QueryText, OneStatementLessItsTrailingSemicolon) {
    const std::vector<std::pair<const char*, const char*>> statements{
        {"select 1", "select 1"},
        {"select 1;", "select 1"},
        {"select 1 ; -- done\n\n;", "select 1 "},
        {"-- the orders\nwith o as (select 1) select * from o;\n",
         "-- the orders\nwith o as (select 1) select * from o"},
        {"select ';', \"a;b\", $$;$$, $x$ $$; $x$ /* ; /* ; */ ; */",
         "select ';', \"a;b\", $$;$$, $x$ $$; $x$ /* ; /* ; */ ; */"},
        {"select 'it''s;', E'\\';', '?'", "select 'it''s;', E'\\';', '?'"},
        {"select a$b$c from t;", "select a$b$c from t"},
    };
    for (const auto& [text, statement] : statements)
        EXPECT_EQ(singleStatement(text), statement) << text;
    // Read as the server reads them: '$' inside a name starts no dollar quote, a CR ends a
    // comment, and a backslash may escape a quote in a plain string.
    for (const char* text :
         {"", " ;", "-- nothing", "/* nothing */;", "select 1; select 2", "select 1;;delete from t",
          "select 'a'; 'b'", "select 1; -- fine\nselect 2",
          "select 1 as x$$a$; commit; select 2 as y$a$", "select 1 --\r; commit",
          "select 'O\\'Brien'; commit; select '\\'", "select '{}'::jsonb ? 'a'"})
        EXPECT_THROW(singleStatement(text), QueryTextError) << text;
}

// What changes rows runs on its own, to be refused by the read-only transaction.
TEST(QueryText, StatementsThatChangeRows) {
    for (const char* text : {"delete from t", "  -- why\nUPDATE t SET a = 1",
                             "Insert into t values (1)", "merge into t"})
        EXPECT_TRUE(changesRows(text)) << text;
    for (const char* text : {"select 1", "with d as (delete from t returning *) select * from d",
                             "values (1)", "/* delete */ table t", "deleted"})
        EXPECT_FALSE(changesRows(text)) << text;
}

// A statement whose result cannot be read as rows is refused by its kind, before anything
// runs; what returns rows passes, in parentheses and after comments too, and a word the
// server does not know is left to its syntax error.
TEST(QueryText, OnlyStatementsThatReturnRowsBecomeSheets) {
    for (const char* text : {"(select 1)", "/* the sums */ ((VALUES (1)))", "table t",
                             "with w as (select 1) select * from w",
                             "-- x\nWITH RECURSIVE r AS "
                             "(select 1) select * from r",
                             "insert into t values (1)", "selec oops"})
        EXPECT_NO_THROW(singleStatement(text)) << text;
    for (const auto& [text, word] : std::vector<std::pair<const char*, const char*>>{
             {"show work_mem", "SHOW"},
             {"EXPLAIN select 1", "EXPLAIN"},
             {"call p()", "CALL"},
             {"do $$begin end$$;", "DO"},
             {"set work_mem = '1MB'", "SET"},
             {"copy t to stdout", "COPY"},
             {"-- the setting\n(Show all)", "SHOW"},
             {"/* a /* nested */ comment */ vacuum", "VACUUM"},
             {"fetch 10 from c", "FETCH"}}) {
        try {
            singleStatement(text);
            ADD_FAILURE() << text;
        } catch (const QueryTextError& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string(word) + " cannot become a sheet: only a statement that returns "
                                          "rows (SELECT, VALUES, TABLE, WITH ...) can");
        }
    }
}
