"""Values read from the JSON files the tool takes (sheet descriptions,
lists of offsets): each refused with ImportRefused naming the file, the
place in it and what was wanted."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from kivtool.formats import ImportRefused
from kivtool.formats.images import check_regular_file
from kivtool.text import excerpt, number


def read_json(path: Path, what: str) -> Any:
    check_regular_file(path, what)
    try:
        with open(path, encoding="utf-8") as file:
            return json.load(file)
    except FileNotFoundError:
        raise ImportRefused(f"{path}: no such file") from None
    except (OSError, UnicodeDecodeError) as error:
        raise ImportRefused(f"{path}: cannot read {what}: {error}") from None
    except json.JSONDecodeError as error:
        raise ImportRefused(
            f"{path}: not valid JSON ({error.msg} at line {error.lineno}, column {error.colno})"
        ) from None
    except ValueError:  # an integer of more digits than Python converts
        raise ImportRefused(f"{path}: not usable JSON: it holds a number of thousands of digits") from None
    except RecursionError:
        raise ImportRefused(f"{path}: not usable JSON: its values are nested too deeply") from None


def whole_number(value: Any, where: str, low: int, high: int) -> int:
    # JSON numbers such as 3.0 are whole numbers too; True is not.
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ImportRefused(f"{where}: {json_excerpt(value)} is not a whole number")
    if not low <= value <= high:
        raise ImportRefused(f"{where}: {number(value)} is outside {low}..{high}")
    return value


def json_excerpt(value: Any) -> str:
    """A JSON value from a file as a short text."""
    if isinstance(value, int) and not isinstance(value, bool):
        return number(value)
    try:
        return excerpt(json.dumps(value))
    except (ValueError, RecursionError):
        return type(value).__name__


def json_key(value: Any) -> str:
    return value if isinstance(value, str) else json_excerpt(value)


def member(mapping: Any, key: str, where: str) -> Any:
    if not isinstance(mapping, dict):
        raise ImportRefused(f"{where}: expected a JSON object")
    if key not in mapping:
        raise ImportRefused(f"{where}: has no {key!r}")
    return mapping[key]
