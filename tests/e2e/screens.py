# SPDX-License-Identifier: MIT

"""The program's screens from tests/screens.txt, read as that file says at
its top (and as tests/support/screens.cpp reads it for the unit tests)."""

import os
import re

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "screens.txt")
_HEADING = "== "
_CURSOR = "▮\n"
_FIELD = re.compile(r"\{([^{}]*)\}")


def _parse(text):
    screens = {}
    body = None
    for line in re.findall(r"[^\n]*\n|[^\n]+\Z", text):
        if line.startswith(_HEADING):
            name = re.split(r"[: \n]", line[len(_HEADING):], maxsplit=1)[0]
            body = screens[name] = []
        elif body is not None:
            body.append(line)
    return {name: "".join(lines).removesuffix(_CURSOR) for name, lines in screens.items()}


with open(PATH, encoding="utf-8", newline="") as _file:
    _SCREENS = _parse(_file.read())


def screen(name, **fields):
    """The screen `name` with its {field}s filled in; a field that is missing
    or that the screen does not have is an error."""
    text = _SCREENS[name]
    used = set()

    def fill(match):
        used.add(match.group(1))
        return str(fields[match.group(1)])

    out = _FIELD.sub(fill, text)
    unused = set(fields) - used
    assert not unused, f"screen {name!r} has no field {unused}"
    return out


def line_settings(baud, bits=8, stop=1, parity="нет", flow="нет"):
    """The line settings as the banner and the settings summary show them."""
    return screen("line_settings", baud=baud, bits=bits, stop=stop, parity=parity, flow=flow)
