"""The catalogue (a JSON file) and the pricing of a basket, done in an
in-memory SQLite database."""
import json
import re
import sqlite3


def load_catalogue(path):
    """Reads the catalogue into a database: table item(name, cents)."""
    with open(path, encoding="utf-8") as file:
        data = json.load(file)
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE item (name TEXT PRIMARY KEY COLLATE NOCASE, cents INTEGER NOT NULL)")
    db.executemany("INSERT INTO item VALUES (?, ?)", data["items"].items())
    db.execute("CREATE TABLE shop (name TEXT, currency TEXT)")
    db.execute("INSERT INTO shop VALUES (?, ?)", (data["shop"], data["currency"]))
    return db


def parse_item(argument):
    """ "3 green tea" -> (3, "green tea"); "apple" -> (1, "apple")."""
    match = re.fullmatch(r"\s*(\d+)\s+(.*\S)\s*", argument)
    if match:
        return int(match.group(1)), match.group(2)
    return 1, argument.strip()


def price(db, basket):
    """Returns the priced lines (quantity, name, cents) in basket order and
    the names that are not in the catalogue."""
    db.execute("CREATE TEMP TABLE basket (position INTEGER, quantity INTEGER, name TEXT)")
    db.executemany("INSERT INTO basket VALUES (?, ?, ?)",
                   [(i, quantity, name) for i, (quantity, name) in enumerate(basket)])
    lines = db.execute("SELECT b.quantity, i.name, b.quantity * i.cents FROM basket b "
                       "JOIN item i ON i.name = b.name ORDER BY b.position").fetchall()
    unknown = [name for (name,) in db.execute(
        "SELECT b.name FROM basket b LEFT JOIN item i ON i.name = b.name "
        "WHERE i.name IS NULL ORDER BY b.position")]
    return lines, unknown


def money(cents):
    return f"{cents // 100}.{cents % 100:02}"


def format_receipt(db, lines):
    """The receipt: the shop, one line per item, the total."""
    shop, currency = db.execute("SELECT name, currency FROM shop").fetchone()
    out = [shop]
    for quantity, name, cents in lines:
        out.append(f"{quantity:3} x {name:<16}{money(cents):>8}")
    count = sum(quantity for quantity, _, _ in lines)
    total = sum(cents for _, _, cents in lines)
    out.append(f"{count} items, total {money(total)} {currency}")
    return "\n".join(out)
