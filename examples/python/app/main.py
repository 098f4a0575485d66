"""Prices a shopping list against the shop's catalogue.

Each argument is an item, optionally preceded by a quantity: "apple",
"3 green tea". Prints a receipt; exit code 0 when every item was found,
2 when some were not (they are named on standard error), 1 without
arguments.
"""
import os
import sys

import receipt

CATALOGUE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "catalogue.json")


def main(arguments):
    if not arguments:
        print("usage: shop [QUANTITY ]ITEM...", file=sys.stderr)
        return 1
    shop = receipt.load_catalogue(CATALOGUE)
    lines, unknown = receipt.price(shop, [receipt.parse_item(a) for a in arguments])
    # Flushed before the complaints on standard error, so that the two
    # appear in this order also when standard output is a pipe.
    print(receipt.format_receipt(shop, lines), flush=True)
    for name in unknown:
        print(f"unknown item: {name}", file=sys.stderr)
    return 2 if unknown else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
