"""Text for XML attributes: escaping, and characters that XML cannot hold."""

from __future__ import annotations

import re

# Escapes of attribute values. Tabs and line breaks become character
# references, since a parser turns them into spaces otherwise.
_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                          "\t": "&#9;", "\n": "&#10;", "\r": "&#13;"})
# Characters XML 1.0 has no way to hold, not even as references.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")


class TextForXml:
    """Escapes attribute values, replacing characters XML cannot hold by U+FFFD and counting the texts changed."""

    def __init__(self) -> None:
        self.replaced = 0
        """Number of texts in which characters were replaced."""

    def __call__(self, text: str) -> str:
        """`text` as the inside of a double-quoted attribute value."""
        if _NOT_XML.search(text):
            self.replaced += 1
            text = _NOT_XML.sub("\ufffd", text)
        return text.translate(_ESCAPES)


def number(value: float) -> str:
    """A float as text that reads back as the same double."""
    return repr(float(value))
