-- Data for the window tests.

-- Counts the statements each role runs: the catalogue query is counted for a role that
-- only one test uses.
CREATE EXTENSION pg_stat_statements;
CREATE ROLE catalogue_counter LOGIN PASSWORD 'Counter-1';

-- A second database with a table of its own, to tell which database a list came from.
CREATE DATABASE kestrove_other OWNER kestrove_test;
\c kestrove_other
SET ROLE kestrove_test;
CREATE TABLE only_in_other (id integer);

-- A database that no other test lists, with a table whose every row takes a second to
-- read, for a window closed while the server reads it.
RESET ROLE;
CREATE DATABASE kestrove_slow OWNER kestrove_test;
\c kestrove_slow
SET ROLE kestrove_test;
CREATE FUNCTION slowly(n integer) RETURNS integer LANGUAGE sql VOLATILE AS 'SELECT n FROM pg_sleep(1)';
CREATE TABLE sleepy AS SELECT g FROM generate_series(1, 30) AS g;
ALTER TABLE sleepy ENABLE ROW LEVEL SECURITY;
ALTER TABLE sleepy FORCE ROW LEVEL SECURITY;
CREATE POLICY a_second_a_row ON sleepy USING (slowly(g) > 0);
