-- A small sample database for trying the wizard: a few tables of different column types.
SET ROLE kestrove_test;

CREATE TABLE customers (
    id integer PRIMARY KEY,
    name text NOT NULL,
    email text,
    city text,
    joined timestamptz NOT NULL,
    active boolean NOT NULL
);
INSERT INTO customers VALUES
    (1, 'Ada Lovelace', 'ada@example.com', 'London', '2024-03-01 09:30:00+00', true),
    (2, 'Søren Kierkegaard', NULL, 'København', '2024-05-17 14:05:00+02', false),
    (3, 'Grace Hopper', 'grace@example.com', 'Arlington', '2025-01-09 08:00:00-05', true),
    (4, 'Иван Петров', 'ivan@example.com', 'Москва', '2025-07-22 18:45:00+03', true),
    (5, '山田 花子', 'hanako@example.com', '東京', '2026-02-11 10:15:00+09', true);

CREATE TABLE products (
    sku text PRIMARY KEY,
    title text NOT NULL,
    price numeric(10, 2) NOT NULL,
    weight_kg double precision,
    tags text[],
    details jsonb
);
INSERT INTO products VALUES
    ('K-100', 'Field notebook', 4.50, 0.2, '{paper,a5}', '{"pages": 96}'),
    ('K-200', 'Fountain pen', 38.00, 0.03, '{pen,ink}', '{"nib": "M"}'),
    ('K-300', 'Desk lamp', 59.90, 1.4, '{light}', NULL),
    ('K-400', 'Stapler', 12.25, 0.45, NULL, '{"staples": "24/6"}');

CREATE TABLE orders (
    id bigint PRIMARY KEY,
    customer_id integer REFERENCES customers,
    sku text REFERENCES products,
    quantity integer NOT NULL,
    ordered_on date NOT NULL,
    note text
);
INSERT INTO orders
SELECT n, 1 + n % 5, (ARRAY['K-100', 'K-200', 'K-300', 'K-400'])[1 + n % 4], 1 + n % 7,
       date '2026-01-01' + n % 300, CASE WHEN n % 10 = 0 THEN 'gift wrap' END
FROM generate_series(1, 2000) AS n;

CREATE SCHEMA archive;
CREATE TABLE archive.orders_2025 (LIKE orders);
INSERT INTO archive.orders_2025
SELECT id, customer_id, sku, quantity, ordered_on - 365, note FROM orders WHERE id <= 500;
