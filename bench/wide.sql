-- The text-heavy, wide workload: 200,000 rows x 20 columns of mixed texts, numbers,
-- dates, times, booleans and NULLs, the same on every run.
CREATE TABLE wide AS
SELECT g AS id,
       md5(g::text) AS hash,
       repeat('word ', g % 12) AS words,
       'Ünïcödé 東京 ' || g AS unicode,
       CASE WHEN g % 7 = 0 THEN NULL ELSE 'note ' || (g * 31 % 1000) END AS note,
       (g * 0.01)::numeric(12, 2) AS amount,
       g * 1.5 AS ratio,
       g % 1000 AS small,
       (g * 7919) % 100000 AS medium,
       (g * 0.6180339887) - floor(g * 0.6180339887) AS fraction,
       date '2000-01-01' + g % 9000 AS day,
       timestamp '2020-01-01' + g * interval '1 minute' AS moment,
       g % 2 = 0 AS even,
       md5((g * 2)::text) AS hash2,
       CASE WHEN g % 3 = 0 THEN NULL ELSE g END AS sparse,
       'x' || g || '_x0041_' AS escapes,
       E'line\nbreak ' || g AS lines,
       upper(md5(g::text)) AS upper_hash,
       g::text || ' & <tag>' AS markup,
       time '00:00' + g * interval '1 second' AS clock
FROM generate_series(1, 200000) AS g;
