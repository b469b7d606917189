-- Data the tests read. Tables are owned by the test role, which may also create more.
SET ROLE kestrove_test;

CREATE ROLE role_plus LOGIN PASSWORD 'a+b%41;c}d{e';
CREATE ROLE role_spaced LOGIN PASSWORD ' spaced ';

CREATE TABLE "order items" (id integer);
CREATE TABLE "CamelCase" (id integer);
CREATE TABLE "it's ""quoted""" (id integer);
CREATE TABLE "таблица" (id integer);
CREATE TABLE "表格" (id integer);
CREATE SCHEMA other;
CREATE TABLE public.twin (origin text);
CREATE TABLE other.twin (origin text);
INSERT INTO public.twin VALUES ('public');
INSERT INTO other.twin VALUES ('other');

-- Names with braces, which the driver must receive as typed.
CREATE ROLE "brace}user" LOGIN PASSWORD 'Brace-1';
RESET ROLE;
CREATE DATABASE "db{x}" OWNER kestrove_test;

-- An old server's default: bytes stored as they came, never checked.
CREATE DATABASE legacy_ascii OWNER kestrove_test ENCODING 'SQL_ASCII' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0;
