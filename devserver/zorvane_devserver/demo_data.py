"""The demo data set: a small sales schema with keys, a foreign key and a view, made with SQL only."""
from __future__ import annotations

from .database import Database

DEMO_SQL = """
CREATE SCHEMA sales;
CREATE TABLE sales.customers (
    customer_id INTEGER PRIMARY KEY,
    name VARCHAR NOT NULL,
    email VARCHAR,
    country VARCHAR,
    signed_up DATE
);
CREATE TABLE sales.products (
    product_id INTEGER PRIMARY KEY,
    name VARCHAR NOT NULL,
    category VARCHAR,
    unit_price DECIMAL(10,2) NOT NULL
);
CREATE TABLE sales.orders (
    order_id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES sales.customers (customer_id),
    ordered_at TIMESTAMP NOT NULL,
    status VARCHAR DEFAULT 'open'
);
CREATE TABLE sales.order_items (
    order_id INTEGER NOT NULL REFERENCES sales.orders (order_id),
    line_no INTEGER NOT NULL,
    product_id INTEGER NOT NULL REFERENCES sales.products (product_id),
    quantity INTEGER NOT NULL,
    PRIMARY KEY (order_id, line_no)
);
COMMENT ON TABLE sales.customers IS 'People and companies that place orders';
COMMENT ON COLUMN sales.customers.email IS 'Contact address';
INSERT INTO sales.customers
    SELECT i, 'Customer ' || i, 'customer' || i || '@example.com',
           ['DE', 'FR', 'US', 'JP', 'BR'][1 + i % 5], DATE '2023-01-01' + i::INTEGER
    FROM range(1, 101) t(i);
INSERT INTO sales.products
    SELECT i, 'Product ' || i, ['tools', 'garden', 'office', 'toys'][1 + i % 4], (i * 1.25 + 0.99)::DECIMAL(10,2)
    FROM range(1, 21) t(i);
INSERT INTO sales.orders
    SELECT i, 1 + (i * 7) % 100, TIMESTAMP '2024-01-01 08:00:00' + to_hours(i),
           CASE WHEN i % 3 = 0 THEN 'shipped' ELSE 'open' END
    FROM range(1, 501) t(i);
INSERT INTO sales.order_items
    SELECT o, l, 1 + (o * l) % 20, 1 + (o + l) % 5
    FROM range(1, 501) a(o), range(1, 4) b(l);
CREATE VIEW sales.order_totals AS
    SELECT o.order_id, o.customer_id, sum(i.quantity * p.unit_price) AS total
    FROM sales.orders o
    JOIN sales.order_items i USING (order_id)
    JOIN sales.products p USING (product_id)
    GROUP BY o.order_id, o.customer_id;
"""


def seed_demo_data(db: Database) -> bool:
    """Create the demo tables unless a previous run already did; True when something was created."""
    cur = db.cursor()
    try:
        exists = cur.execute("SELECT count(*) FROM duckdb_schemas() WHERE database_name = current_database() "
                             "AND schema_name = 'sales'").fetchall()[0][0]
        if exists:
            return False
        cur.execute("BEGIN TRANSACTION")
        cur.execute(DEMO_SQL)
        cur.execute("COMMIT")
        db.version.bump("tables_version", "views_version", "schemas_version")
        return True
    finally:
        cur.close()
