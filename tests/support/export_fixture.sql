-- Tables the export tests copy into workbooks.
SET ROLE kestrove_test;
SET TIME ZONE 'UTC';

CREATE SCHEMA export;
SET search_path = export, public;

CREATE TABLE alltypes (
    i integer, big bigint, num numeric(12, 3), flt double precision, txt text, d date,
    ts timestamptz, b boolean, u uuid, j json, arr integer[], bin bytea, nothing text);
INSERT INTO alltypes VALUES
    (1, 9007199254740993, 1234.5, 0.25, 'Grüße, 東京 and ﬁ', '2024-02-29',
     '2024-02-29 13:45:00+00', true, 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', '{"k": [1, 2]}',
     '{1,2,3}', '\x000102', NULL),
    (-7, 0, -0.5, -1.5e300, E'line one\nline two\ttab', '1999-12-31',
     '1999-12-31 23:59:59.5+00', false, NULL, 'null', '{}', '\x', NULL),
    (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);

-- Integers at the limits of their types, one of them a domain's, and a transaction id,
-- which the driver takes for an integer too.
CREATE DOMAIN d_int2 AS smallint;
CREATE TABLE integer_limits (s smallint, i integer, b bigint, o oid, d d_int2, x xid);
INSERT INTO integer_limits VALUES
    (-32768, -2147483648, -9223372036854775808, 4294967295, 32767, '4294967295'),
    (32767, 2147483647, 9223372036854775807, 0, NULL, '0'),
    (0, -1, 100000000000, NULL, -1, NULL);

-- Texts that look like numbers, in num the plain ones as numbers of the server, and in f
-- and r those it reads as floating-point numbers (real has no 1.5e+300).
CREATE TABLE lookalikes (n integer, t text, num numeric, f double precision, r real);
INSERT INTO lookalikes
SELECT n, t, CASE WHEN n IN (7, 8, 9, 10, 14, 16, 17, 18, 19, 20, 28, 29, 30, 31, 32) THEN t::numeric END,
       CASE WHEN n NOT IN (4, 25) THEN t::float8 END, CASE WHEN n NOT IN (4, 25, 35) THEN t::real END
FROM (VALUES
    (1, '007'), (2, '1e5'), (3, '+1'), (4, '1,000'), (5, '12345678901234567890'), (6, '-0'),
    (7, '1.50'), (8, '42'), (9, '-3.25'), (10, '0.5'), (11, ' 5'), (12, '.5'), (13, '5.'),
    (14, '123456789012345'), (15, '1234567890123456'), (16, '1234.50'), (17, '-0.10'), (18, '0.00'),
    (19, '100000007919'), (20, '0.000000000000001'), (21, '-0.0'), (22, '1e-07'), (23, 'NaN'),
    (24, 'Infinity'), (25, '1,5'), (26, ' 42'), (27, '0012'), (28, '-0.000000100'), (29, '1234567.891234'),
    (30, '590.370000000000000000'), (31, '4096.020000000000'), (32, '123456789012345000000.00'),
    (33, '0.000000000000000000001'), (34, '-Infinity'), (35, '1.5e+300'), (36, '-2.5e-05'),
    (37, '0.14285714285714285'), (38, '12345678901234.567'))
    AS v (n, t)
ORDER BY n;

-- A thousand ledger lines: money with one amount in ten ending in a zero, rates, 12-digit
-- references and the other number types, among them a domain over double precision of
-- 17 significant digits, whose sums a spreadsheet must compute as the server does.
CREATE DOMAIN d_float8 AS double precision;
CREATE TABLE ledger (id integer, amount numeric(12, 2), rate numeric(8, 4), ref bigint, qty integer,
                     weight real, price double precision, ratio d_float8);
INSERT INTO ledger
SELECT g, ((g * 7919) % 2000001 - 1000000) / 100.0, ((g * 104729) % 1000000) / 10000.0,
       100000000000 + g * 7919, g % 97 - 40, (g % 1000) / 8.0 + 0.1, g * 1.25 - 0.01 * (g % 7),
       g / 7.0
FROM generate_series(1, 1000) AS g;

-- Decimals past the 15 significant digits a spreadsheet number holds, twelve of them.
CREATE TABLE long_numbers (v numeric(30, 2));
INSERT INTO long_numbers SELECT 1234567890123456.78 * g FROM generate_series(1, 12) AS g;
INSERT INTO long_numbers VALUES (12.5), (99999999999.99);

-- 420 decimals of 15 significant digits, each with 0 to 14 of them after the point and
-- 0 to 15 zeros after those: 224 formats, more than a workbook takes.
CREATE TABLE scales AS
SELECT g, round(123456789012345 * power(10::numeric, -(g % 14 + 1)), g % 14 + 1 + (g / 14) % 16) AS v
FROM generate_series(1, 420) AS g;

CREATE TABLE t_first (v text);
CREATE TABLE t_second (v text);
CREATE TABLE t_third (wide_column_name text, v text);
INSERT INTO t_first VALUES ('first');
INSERT INTO t_second VALUES ('second');
INSERT INTO t_third VALUES ('x', 'a rather longer text in the third table');

CREATE TABLE "a_very_long_table_name_for_sheets_number_one" (v text);
CREATE TABLE "a_very_long_table_name_for_sheets_number_two" (v text);
CREATE TABLE "[archive] 2020" (v text);
CREATE TABLE "[[]]" (v text);
CREATE TABLE "Mixed" (v text);
CREATE TABLE "mixed" (v text);
INSERT INTO "a_very_long_table_name_for_sheets_number_one" VALUES ('one');
INSERT INTO "a_very_long_table_name_for_sheets_number_two" VALUES ('two');
INSERT INTO "[archive] 2020" VALUES ('archive');
INSERT INTO "[[]]" VALUES ('brackets');
INSERT INTO "Mixed" VALUES ('upper');
INSERT INTO "mixed" VALUES ('lower');

CREATE TABLE canary (v text);
INSERT INTO canary VALUES ('alive');
CREATE TABLE "x"";DROP TABLE canary;--" (v text);
INSERT INTO "x"";DROP TABLE canary;--" VALUES ('crafted');

CREATE TABLE empty_table (a integer, b text);
CREATE TABLE no_columns ();
INSERT INTO no_columns DEFAULT VALUES;
INSERT INTO no_columns DEFAULT VALUES;

CREATE TABLE long_text (t text);
INSERT INTO long_text VALUES (repeat('x', 40000)), (repeat('y', 40000)), ('short');

CREATE TABLE numbers (n integer);
INSERT INTO numbers SELECT generate_series(1, 5000);

-- Numbers, dates and texts with Nulls at every place, and the same rows as a view.
CREATE TABLE in_ranges (n integer, t text, c char(6), v varchar(10), nm name, d date,
                     f double precision, e text);
INSERT INTO in_ranges VALUES
    (1, '3:abc', 'ab', 'x,y', 'nm', '2024-02-29', 0.5, ''),
    (NULL, '', NULL, '', NULL, NULL, 'NaN', NULL),
    (-2, NULL, ' ', ':', 'a:b', '1999-12-31', NULL, E'line\nbreak, 東京 ' || U&'\+01F600'),
    (3, ',,', 'abcdef', '0:', '', 'infinity', '-Infinity', '12:');
CREATE VIEW in_ranges_view AS SELECT * FROM in_ranges;

-- An emoji at every position around the first two edges of the driver's 4,095-unit
-- pieces, and a value of nothing but emoji.
CREATE TABLE emoji_edges (n integer, v text);
INSERT INTO emoji_edges
SELECT n, repeat('x', n) || U&'\+01F600' || 'z'
FROM generate_series(4090, 4097) AS n UNION ALL SELECT n, repeat('x', n) || U&'\+01F600' || 'z'
FROM generate_series(8185, 8192) AS n;
INSERT INTO emoji_edges VALUES (-1, repeat(U&'\+01F600', 5000));

-- Values the driver's own date conversion would turn into other dates.
CREATE TABLE odd_dates (d date, ts timestamp, tstz timestamptz, t time, ttz timetz);
INSERT INTO odd_dates VALUES
    ('infinity', 'infinity', 'infinity', '00:00', '00:00+00'),
    ('-infinity', '-infinity', '-infinity', '24:00', '23:59:59.999+02'),
    ('0044-03-15 BC', '0044-03-15 12:00 BC', '10000-01-01 00:00:00+00', '12:34:56.789', NULL),
    ('10000-01-01', '10000-01-01 00:00:00', '2021-08-31 11:45:00+00', NULL, NULL);

-- Dates and times at the edges of what a date cell can show as the server writes it,
-- and times as now() writes them, of 4 to 6 fraction digits.
CREATE TABLE calendar (label text, d date, t time, ts timestamp, tstz timestamptz, ttz timetz);
INSERT INTO calendar VALUES
    ('leap day', '2024-02-29', '00:00:00', '2024-02-29 00:00:00', '2024-02-29 00:00:00+00', '00:00:00+00'),
    ('end of day', '1999-12-31', '23:59:59.999', '1999-12-31 23:59:59.999', '1999-12-31 23:59:59.999+00', '23:59:59.999-03'),
    ('first good day', '1900-03-01', '12:00:00.5', '1900-03-01 06:30:00.25', NULL, '12:00:00.5+05:45'),
    ('day before', '1900-02-28', '01:02:03.1234', '1900-02-28 12:00:00', NULL, '24:00:00+02'),
    ('infinity', 'infinity', NULL, 'infinity', 'infinity', NULL),
    ('BC', '0001-01-01 BC', NULL, '0001-01-01 00:00:00 BC', NULL, NULL),
    ('last day', '9999-12-31', '23:59:59', '9999-12-31 23:59:59', NULL, '23:59:59+14'),
    ('now', '2024-03-01', '12:34:56.12345', '2024-03-01 12:34:56.123456', '2024-03-01 12:34:56.000001+00', '08:15:00.654321+05:30');

-- Instants as the session's time zone shows them: both sides of Berlin's changes to and
-- from summer time (the same wall-clock time twice), Kathmandu's local mean time of
-- 1910 (an offset with seconds), a day that is before 1900-03-01 west of Greenwich.
CREATE TABLE zoned (n integer, tstz timestamptz, ttz timetz);
INSERT INTO zoned VALUES
    (1, '2024-03-31 00:59:59.5+00', '12:34:56+02'),
    (2, '2024-03-31 01:00:00+00', '23:59:59.999-03'),
    (3, '2024-10-27 00:30:00+00', '08:15:00.123456+05:45'),
    (4, '2024-10-27 01:30:00+00', '00:00:00+05:41:16'),
    (5, '1910-01-01 00:00:00+05:41:16', '12:00:00+00'),
    (6, '2024-03-01 12:34:56.123456+00', NULL),
    (7, 'infinity', '24:00:00+00'),
    (8, '0044-03-15 12:00:00+00 BC', NULL),
    (9, '1900-03-01 00:00:00+00', NULL);

-- A binary value of 8 MB beside ordinary columns.
CREATE TABLE big_binary (id integer, bin bytea, note text);
INSERT INTO big_binary VALUES (1, decode(repeat('ab', 8000000), 'hex'), 'after the binary');

-- Domains, and domains of domains, over types the driver would convert or fetch whole.
CREATE DOMAIN d_date AS date;
CREATE DOMAIN d_date_of_date AS d_date;
CREATE DOMAIN d_tstz AS timestamptz;
CREATE DOMAIN d_bytes AS bytea;
CREATE DOMAIN d_bytes_of_bytes AS d_bytes;
CREATE TABLE domains (d d_date_of_date, ts d_tstz, bin d_bytes_of_bytes, note text);
INSERT INTO domains VALUES
    ('infinity', '-infinity', decode(repeat('ab', 8000000), 'hex'), 'eight megabytes'),
    ('0044-03-15 BC', '0044-03-15 12:00:00+00 BC', NULL, 'before Christ');

-- Names that end a string literal early where backslashes escape in literals, next to
-- the table such a literal would name instead.
CREATE TABLE x (v text, only_in_x date);
CREATE TABLE "x\" (v text);
CREATE TABLE "x\'" (v text);
CREATE TABLE "q\'; DROP TABLE canary;--" (v text);
INSERT INTO x VALUES ('plain x');
INSERT INTO "x\" VALUES ('backslash');
INSERT INTO "x\'" VALUES ('backslash quote');
INSERT INTO "q\'; DROP TABLE canary;--" VALUES ('crafted literal');
-- A quote that ends a literal, beside columns the column lookup reads differently.
CREATE TABLE "q'; DROP TABLE canary;--" ("Mixed ""Case""" text, d date, b bytea);
INSERT INTO "q'; DROP TABLE canary;--" VALUES ('crafted quote', '2024-02-29', '\x01');
CREATE ROLE legacy_strings LOGIN PASSWORD 'Legacy-1';
ALTER ROLE legacy_strings SET standard_conforming_strings = off;
GRANT USAGE ON SCHEMA export TO legacy_strings;

-- Ten tables of dates, timestamps and 15-digit numbers, which must be readable on every
-- sheet; and many small tables.
DO $$
BEGIN
    FOR i IN 1..10 LOOP
        EXECUTE format('CREATE TABLE readable_%s (d date, ts timestamp, big bigint, t text, '
                       'tz timestamptz, us timestamp)', i);
        EXECUTE format('INSERT INTO readable_%s VALUES (''2024-02-29'', ''2024-02-29 13:45:59.123'', '
                       '123456789012345, ''x'', ''2024-02-29 13:45:59.123+05:45'', '
                       '''2024-02-29 13:45:59.123456''), (''1999-12-31'', NULL, -98765432101234, NULL, '
                       '''1910-01-01 00:00:00+05:41:16'', NULL)', i);
    END LOOP;
END $$;
CREATE SCHEMA many;
DO $$
BEGIN
    FOR i IN 1..2000 LOOP
        EXECUTE format('CREATE TABLE many.t%s (v integer)', i);
        EXECUTE format('INSERT INTO many.t%s VALUES (%s)', i, i);
    END LOOP;
END $$;
-- Ten million rows, made as they are read.
CREATE VIEW ten_million AS SELECT g AS id, 'a row of text' AS v FROM generate_series(1, 10000000) AS g;

-- A view that writes when read: refused in the export's read-only transaction.
CREATE SEQUENCE counter;
CREATE VIEW counting AS SELECT nextval('export.counter') AS n;

-- Rows that hardly compress, so that writing their workbook takes a while.
CREATE TABLE bulky AS SELECT g, (SELECT string_agg(md5((g * 1000 + i)::text), '')
    FROM generate_series(1, 256) AS i) AS hex FROM generate_series(1, 5000) AS g;

-- Tables the fault tests export while they break things. The import runs as a role of
-- its own there, so that its server process can be told apart.
CREATE TABLE stream_rows AS SELECT g AS id, repeat('x', 100) AS filler FROM generate_series(1, 100000) AS g;
CREATE TABLE changing_rows AS SELECT g AS id, 'old' AS v FROM generate_series(1, 100000) AS g;
CREATE TABLE doomed (v text);
INSERT INTO doomed VALUES ('before the drop');
CREATE TABLE later_t (id integer, v text);
INSERT INTO later_t SELECT g, 'old' FROM generate_series(1, 10) AS g;
CREATE TABLE held (v text);
INSERT INTO held VALUES ('held');
-- A view whose rows take a second to start, many enough to keep its connection busy a
-- while longer, and tables read after it (one for each test that changes it).
CREATE VIEW slow_first AS SELECT g AS v FROM pg_catalog.pg_sleep(1), pg_catalog.generate_series(1, 100000) AS g;
CREATE TABLE snapshot_later (v integer);
INSERT INTO snapshot_later VALUES (1);
CREATE TABLE altered_later (v integer);
INSERT INTO altered_later VALUES (1);
CREATE ROLE fault_victim LOGIN PASSWORD 'Victim-1';
GRANT USAGE ON SCHEMA export TO fault_victim;
GRANT SELECT ON ALL TABLES IN SCHEMA export TO fault_victim, legacy_strings;
GRANT fault_victim TO kestrove_test; -- may end and stop its server processes

-- Relations named as psql users name them: unquoted names fold to lower case, a schema
-- before a dot; views and materialized views as well as tables.
CREATE TABLE customers (name text);
INSERT INTO customers VALUES ('Ada'), ('Brook');
CREATE TABLE "Order Details" (item text, quantity integer);
INSERT INTO "Order Details" VALUES ('bolt', 12);
CREATE SCHEMA sales;
GRANT USAGE ON SCHEMA sales TO fault_victim;
CREATE TABLE sales.orders (id integer, amount numeric);
INSERT INTO sales.orders VALUES (1, 5), (2, 20), (3, 30);
CREATE VIEW sales.big_orders AS SELECT id, amount FROM sales.orders WHERE amount > 10;
CREATE MATERIALIZED VIEW sales.order_totals AS SELECT count(*) AS orders, sum(amount) AS total FROM sales.orders;
CREATE TABLE sales.events (day date, what text) PARTITION BY RANGE (day);
CREATE TABLE sales.events_2024 PARTITION OF sales.events FOR VALUES FROM ('2024-01-01') TO ('2025-01-01');
INSERT INTO sales.events VALUES ('2024-05-01', 'opening');
-- Three seconds to count and three to read, for a program ended while it reads.
CREATE FUNCTION sales.slowly(n integer) RETURNS integer LANGUAGE sql VOLATILE AS 'SELECT n FROM pg_sleep(0.01)';
CREATE VIEW sales.slow_rows AS SELECT g FROM generate_series(1, 300) AS g WHERE sales.slowly(g) > 0;
-- Logs in with a password only, for the password file and the prompt.
CREATE ROLE pgpass_user LOGIN PASSWORD 'Pgpass-Secret:1';
GRANT USAGE ON SCHEMA export, sales TO pgpass_user;
GRANT SELECT ON export.t_first, sales.orders TO pgpass_user;

-- Owned by the superuser and not readable by the test role: its query fails.
RESET ROLE;
-- A foreign table, read through a program that prints its rows.
CREATE EXTENSION file_fdw;
CREATE SERVER printed FOREIGN DATA WRAPPER file_fdw;
CREATE FOREIGN TABLE sales.rates (currency text, rate numeric) SERVER printed
    OPTIONS (program 'printf "EUR,1.1\nGBP,1.3\n"', format 'csv');
GRANT SELECT ON sales.rates TO kestrove_test;
CREATE TABLE export.secret (v text);
