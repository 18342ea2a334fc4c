"""The "every scalar path" index entries of a document, computed in Python.

An entry is the path of object keys and array positions joined by ".", then
".", then the leaf text of a non-null scalar: strings as they are, integers in
decimal, floats in their shortest decimal form without exponent (2.0 gives
"2"), booleans as "true" and "false". This is the index quillmere keeps; the
sqlite3 peer with an index keeps the same entries in a table of its own, and
the data sets use the leaf text to phrase their queries.
"""

import math
from decimal import Decimal


def leaf_text(value):
    """The text of a scalar in an index entry, or None for a value without one."""
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            return None  # stored as null
        text = format(Decimal(repr(value)), "f")
        return text.rstrip("0").rstrip(".") if "." in text else text
    if isinstance(value, str):
        return value
    return None


def index_entries(value, path=""):
    """Yields every index entry of a document, depth first."""
    if isinstance(value, dict):
        for key, member in value.items():
            yield from index_entries(member, f"{path}.{key}" if path else key)
    elif isinstance(value, (list, tuple)):
        for position, item in enumerate(value):
            yield from index_entries(item, f"{path}.{position}" if path else str(position))
    else:
        leaf = leaf_text(value)
        if leaf is not None:
            yield f"{path}.{leaf}"
