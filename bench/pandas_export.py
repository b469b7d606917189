"""The comparison: pandas.read_sql + DataFrame.to_excel with the xlsxwriter engine."""
import sys

import pandas as pd
import psycopg2

host, port, user, password, database, table, out = sys.argv[1:8]
connection = psycopg2.connect(host=host, port=port, user=user, password=password, dbname=database)
frame = pd.read_sql(f'SELECT * FROM "{table}"', connection)
frame.to_excel(out, engine="xlsxwriter", index=False, sheet_name=table[:31])
