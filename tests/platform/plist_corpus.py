#!/usr/bin/env python3
"""Random property lists written by Python's plistlib, and what plistlib reads back.

    plist_corpus.py OUTPUT COUNT SEED

Writes COUNT random value trees, each in binary and (where XML can hold it) in XML,
some XML ones again in UTF-16 or ISO-8859-1, and some with a dictionary key stored
twice. OUTPUT holds one record per file: its name, its size and bytes, and the
canonical form of the value plistlib reads from those bytes. plistlib is the reference
reader as well as the writer, so the expected values never come from the reader under
test.
"""

import datetime
import plistlib
import random
import struct
import sys

EPOCH = datetime.datetime(2001, 1, 1)
INTEGERS = [0, 1, 14, 15, 16, 127, 128, 255, 256, 32767, 32768, 65535, 65536,
            2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
            -1, -128, -129, -32768, -32769, -2**31, -2**31 - 1, -2**63]
REALS = [0.0, -0.0, 1.5, -2.25, 1e300, -1e-300, 5e-324, 2.0**53 + 1, float("inf"),
         float("-inf"), float("nan"), 0.1, 1 / 3]


def canonical(value):
    if isinstance(value, bool):
        return "b1" if value else "b0"
    if isinstance(value, int):
        return "i%d" % value
    if isinstance(value, float):
        return "rnan" if value != value else "r" + struct.pack(">d", value).hex()
    if isinstance(value, str):
        return "s" + value.encode("utf-8").hex()
    if isinstance(value, bytes):
        return "x" + value.hex()
    if isinstance(value, datetime.datetime):
        seconds = (value - EPOCH).total_seconds()
        return "d" + struct.pack(">d", seconds).hex()
    if isinstance(value, list):
        return "a[" + ",".join(canonical(item) for item in value) + "]"
    if isinstance(value, dict):
        keys = sorted(value, key=lambda key: key.encode("utf-8"))
        return "{" + ",".join(
            key.encode("utf-8").hex() + ":" + canonical(value[key]) for key in keys) + "}"
    raise TypeError(type(value))


class Generator:
    def __init__(self, rng, xml_safe, latin1):
        self.rng = rng
        self.xml_safe = xml_safe
        self.latin1 = latin1
        self.shared = []

    def char(self):
        rng = self.rng
        if self.latin1:
            ranges = [(0x20, 0x7E), (0xA0, 0xFF)]
        else:
            ranges = [(0x20, 0x7E), (0x4E00, 0x9FFF), (0xA0, 0x2FF), (0x1F300, 0x1FAFF),
                      (0x20000, 0x2A6DF), (0xE000, 0xFFFD), (0x10000, 0x10FFFD)]
            if not self.xml_safe:
                ranges.append((0x00, 0x1F))
        low, high = rng.choice(ranges)
        point = rng.randint(low, high)
        if self.xml_safe and point in (0xFFFE, 0xFFFF):
            point = 0x41
        return chr(point)

    def string(self):
        rng = self.rng
        if self.shared and rng.random() < 0.3:
            return rng.choice(self.shared)
        length = rng.choice([0, 1, 14, 15, 16, 255, 256, rng.randint(0, 400), rng.randint(0, 40)])
        if rng.random() < 0.3:
            text = "".join(chr(rng.randint(0x20, 0x7E)) for _ in range(length))
        else:
            text = "".join(self.char() for _ in range(length))
        self.shared.append(text)
        return text

    def scalar(self):
        rng = self.rng
        kind = rng.randrange(7)
        if kind == 0:
            return self.string()
        if kind == 1:
            return rng.choice(INTEGERS) if rng.random() < 0.6 else rng.randint(-2**63, 2**64 - 1)
        if kind == 2:
            return rng.choice(REALS) if rng.random() < 0.4 else rng.uniform(-1e6, 1e6)
        if kind == 3:
            return rng.random() < 0.5
        if kind == 4:
            return bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 2, 3, 15, 16, 300])))
        if kind == 5:
            return EPOCH + datetime.timedelta(seconds=rng.randint(-63113904000, 252423993599))
        return self.string()

    def value(self, depth):
        rng = self.rng
        if rng.random() >= (0.6, 0.35, 0.2, 0.1, 0.0)[depth]:
            return self.scalar()
        count = rng.choice([0, 1, 3, 14, 15, 16, rng.randint(0, 8)])
        if rng.random() < 0.5:
            items = [self.value(depth + 1) for _ in range(count)]
            if items and rng.random() < 0.2:
                items.append(items[0])  # the same object twice
            return items
        return {self.string(): self.value(depth + 1) for _ in range(count)}


def repeated_key(document, fmt):
    """The key "dupkey-B" renamed "dupkey-A": one key stored twice, in place."""
    if fmt == "xml":
        return document.replace(b"<key>dupkey-B</key>", b"<key>dupkey-A</key>")
    return document.replace(b"dupkey-B", b"dupkey-A")


def main():
    output, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    records = []
    for index in range(count):
        xml_safe = index % 2 == 0
        latin1 = index % 10 == 4
        generator = Generator(rng, xml_safe, latin1)
        top = generator.value(0)
        if index % 7 == 3:
            top = {"dupkey-A": generator.value(1), "dupkey-B": generator.value(1),
                   "other": top}
        documents = [("bplist", plistlib.dumps(top, fmt=plistlib.FMT_BINARY))]
        if xml_safe:
            xml = plistlib.dumps(top, fmt=plistlib.FMT_XML)
            documents.append(("xml", xml))
            text = xml.decode("utf-8")
            if index % 6 == 0:
                documents.append(("utf16le.xml", text.replace(
                    'encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16")))
                documents.append(("utf16be.xml", b"\xfe\xff" + text.replace(
                    'encoding="UTF-8"', 'encoding="UTF-16"').encode("utf-16-be")))
            if latin1:
                documents.append(("latin1.xml", text.replace(
                    'encoding="UTF-8"', 'encoding="ISO-8859-1"').encode("latin-1")))
        for name, document in documents:
            if isinstance(top, dict) and "dupkey-B" in top:
                document = repeated_key(document, "xml" if name.endswith("xml") else "bplist")
            expected = canonical(plistlib.loads(document))
            records.append(b"%d.%s\n%d\n" % (index, name.encode(), len(document)) + document +
                           expected.encode() + b"\n")
    with open(output, "wb") as out:
        out.writelines(records)


if __name__ == "__main__":
    main()
