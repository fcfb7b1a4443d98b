-- The demo database the run command puts beside the program: customers, products and a few
-- thousand orders, with text, whole numbers, money, floating point, dates, booleans, NULLs and
-- memo columns, so that every page and grid kind has something to show.
BEGIN;

CREATE TABLE customers (
  CustomerID INTEGER PRIMARY KEY AUTOINCREMENT,
  Name VARCHAR(50) NOT NULL,
  City VARCHAR(40),
  Phone VARCHAR(20),
  CreditLimit MONEY,
  Active BOOLEAN,
  Joined DATETIME,
  Notes MEMO
);

CREATE TABLE products (
  ProductID INTEGER PRIMARY KEY AUTOINCREMENT,
  Name VARCHAR(60) NOT NULL,
  Category VARCHAR(30),
  UnitPrice MONEY,
  WeightKg FLOAT,
  InStock SMALLINT,
  Discontinued BOOLEAN,
  Description MEMO
);

CREATE TABLE orders (
  OrderID INTEGER PRIMARY KEY AUTOINCREMENT,
  CustomerID INTEGER NOT NULL,
  ProductID INTEGER NOT NULL,
  OrderDate DATETIME,
  ShipDate DATE,
  Quantity INTEGER,
  Amount MONEY,
  Shipped BOOLEAN,
  Comment MEMO
);

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)
INSERT INTO customers (Name, City, Phone, CreditLimit, Active, Joined, Notes)
SELECT
  'Customer ' || printf('%03d', i),
  CASE i % 6 WHEN 0 THEN 'Berlin' WHEN 1 THEN 'Lisboa' WHEN 2 THEN 'Osaka'
             WHEN 3 THEN 'São Paulo' WHEN 4 THEN 'Toronto' ELSE NULL END,
  CASE WHEN i % 7 = 0 THEN NULL ELSE printf('+1 555 %04d', i * 37 % 10000) END,
  (i % 20) * 500 + 0.25 * (i % 4),
  i % 5 <> 0,
  printf('20%02d-%02d-%02d 09:%02d:00', 15 + i % 10, 1 + i % 12, 1 + i % 28, i % 60),
  CASE WHEN i % 3 = 0 THEN NULL
       ELSE 'Account notes for customer ' || i || char(13, 10) ||
            'Prefers delivery in the morning; invoices by e-mail.' END
FROM n;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)
INSERT INTO products (Name, Category, UnitPrice, WeightKg, InStock, Discontinued, Description)
SELECT
  'Product ' || char(64 + 1 + (i - 1) % 26) || printf('%02d', i),
  CASE i % 4 WHEN 0 THEN 'Tools' WHEN 1 THEN 'Garden' WHEN 2 THEN 'Kitchen' ELSE 'Office' END,
  round(2.5 + i * 3.15, 2),
  CASE WHEN i % 9 = 0 THEN NULL ELSE round(0.1 + i * 0.37, 3) END,
  (i * 13) % 120,
  i % 11 = 0,
  'Sturdy product number ' || i || ', sold in boxes of ' || (1 + i % 6) || '.'
FROM n;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
INSERT INTO orders (CustomerID, ProductID, OrderDate, ShipDate, Quantity, Amount, Shipped, Comment)
SELECT
  1 + (i * 7) % 200,
  1 + (i * 11) % 40,
  datetime('2024-01-01 08:00:00', '+' || (i * 97 % 525600) || ' minutes'),
  CASE WHEN i % 4 = 0 THEN NULL
       ELSE date('2024-01-01', '+' || (i * 97 % 525600 / 1440 + 2) || ' days') END,
  1 + i % 12,
  round((1 + i % 12) * (2.5 + (1 + (i * 11) % 40) * 3.15), 2),
  i % 4 <> 0,
  CASE WHEN i % 10 = 0 THEN 'Gift wrap, please.' ELSE NULL END
FROM n;

COMMIT;
