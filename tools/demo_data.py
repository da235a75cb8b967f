#!/usr/bin/python3
"""Writes the demo data database: nested documents, arrays, mixed types, indexes.

usage: demo_data.py HOST DATABASE
The database is dropped and written again, so every demo starts from the same data.
"""
import datetime
import sys

import bson
import pymongo


def customers(n):
    cities = ["Leeds", "York", "Hull", "Bath", "Ely", "Wells"]
    for i in range(n):
        doc = {
            "_id": bson.ObjectId(),
            "name": f"Customer {i:03d}",
            "email": f"customer{i}@example.org",
            "age": 20 + i % 50 if i % 7 else 20.5 + i % 50,  # mostly int32, some doubles
            "address": {"street": f"{i} High Street", "city": cities[i % len(cities)],
                        "postcode": f"AB{i % 90 + 10} {i % 9}CD"},
            "tags": ["retail", "priority"][: 1 + i % 2] + (["new"] if i % 5 == 0 else []),
            "active": i % 3 != 0,
            "joined": datetime.datetime(2015, 1, 1) + datetime.timedelta(days=11 * i),
        }
        if i % 4 == 0:
            doc["loyalty"] = bson.Int64(1_000_000_000_000 + i)
        yield doc


def orders(n):
    for i in range(n):
        yield {
            "_id": bson.ObjectId(),
            "order_no": 10000 + i,
            "customer": f"Customer {i % 40:03d}",
            "placed": datetime.datetime(2016, 5, 4, 16, 0) + datetime.timedelta(hours=7 * i),
            "total": round(12.5 + i * 3.25, 2),
            "items": [{"sku": f"SKU-{(i + k) % 30:03d}", "qty": 1 + k, "price": 2.5 * (k + 1)}
                      for k in range(1 + i % 3)],
            "notes": None if i % 6 == 0 else "deliver to reception",
        }


def products(n):
    for i in range(n):
        yield {
            "_id": bson.ObjectId(),
            "sku": f"SKU-{i:03d}",
            "title": f"Product {i}",
            "price": 2.5 + i,
            "stock": bson.Int64(500 - i * 7),
            "in_stock": i % 4 != 0,
            "thumbnail": bson.Binary(bytes([i % 256, 0x42, 0x52, 0x4F])),
            "sizes": ["S", "M", "L"][: 1 + i % 3],
        }


def readings(n):
    for i in range(n):
        yield {
            "_id": bson.ObjectId(),
            "sensor": f"s{i % 5}",
            "value": i * 0.75,
            "taken": datetime.datetime(2026, 1, 1) + datetime.timedelta(minutes=15 * i),
            "flags": {"checked": i % 2 == 0, "source": "logger"},
        }


def main():
    host, database = sys.argv[1], sys.argv[2]
    client = pymongo.MongoClient(host, 27017, serverSelectionTimeoutMS=3000)
    client.drop_database(database)
    db = client[database]
    db.customers.insert_many(list(customers(60)))
    db.orders.insert_many(list(orders(120)))
    db.products.insert_many(list(products(30)))
    db.readings.insert_many(list(readings(250)))
    db.customers.create_index([("email", pymongo.ASCENDING)], unique=True, name="customers_email")
    db.customers.create_index([("address.city", pymongo.ASCENDING), ("name", pymongo.DESCENDING)],
                              name="customers_city_name")
    db.orders.create_index([("order_no", pymongo.ASCENDING)], unique=True, name="orders_no")
    db.orders.create_index([("customer", pymongo.ASCENDING), ("placed", pymongo.DESCENDING)],
                           name="orders_customer_placed")
    db.products.create_index([("sku", pymongo.ASCENDING)], unique=True, name="products_sku")
    print(f"demo data written to {database} on {host}: "
          + ", ".join(f"{c} ({db[c].count_documents({})})" for c in sorted(db.list_collection_names())))


if __name__ == "__main__":
    main()
