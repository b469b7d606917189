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
