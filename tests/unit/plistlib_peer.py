#!/usr/bin/env python3
"""Property-list documents with Python's plistlib as the oracle (see PlistPeerTest.cpp).

  plistlib_peer.py extract DIR
      Runs CPython's own plistlib tests (test.test_plistlib, Debian package
      libpython3.11-testsuite) with plistlib.load/loads watched, so that every
      document those tests hand to plistlib is collected, and adds edge cases of
      our own. Writes DIR/N.plist (the bytes) and DIR/N.json:
        {"name": ..., "verdict": "value" | "invalid" | "outside" | "unknown",
         "value": typed form (verdict "value"), "xml": "yes" | "no" | "n/a",
         "binary": "yes" | "n/a", "canonical": whether the bytes are what
         plistlib writes for the value}
      "outside": plistlib reads it, but into something our value model does not
      carry (UIDs, cycles, non-string keys, integers beyond -2^63 ... 2^64-1,
      more than 512 levels, shared objects expanding without bound): it must be
      refused. "unknown": plistlib itself failed (RecursionError). "xml"/"binary":
      whether plistlib can write the value in that form ("no": it refuses, as
      for control characters; "n/a": it cannot say, as for None).
  plistlib_peer.py check DIR
      For every DIR/N.out.xml and N.out.bin (written by the code under test from
      its reading of N.plist), plistlib must read back the value it read from
      N.plist (dates to the second in XML). One line per mismatch; exit 1 if any.

Exit status 3 when test.test_plistlib cannot be imported.
"""
import datetime
import io
import json
import os
import plistlib
import struct
import sys
import unittest

EPOCH = datetime.datetime(1970, 1, 1)
MAX_DEPTH = 512
MAX_NODES = 200000


class Outside(Exception):
    pass


def typed(v, path=(), budget=None):
    """The value in the JSON form PlistPeerTest.cpp makes of ours."""
    if budget is None:
        budget = [MAX_NODES]
    budget[0] -= 1
    if budget[0] < 0:
        raise Outside("expands beyond %d nodes" % MAX_NODES)
    if isinstance(v, (list, dict)):
        if id(v) in path:
            raise Outside("cycle")
        if len(path) >= MAX_DEPTH:
            raise Outside("deeper than %d" % MAX_DEPTH)
        path = path + (id(v),)
    if v is None:
        return ["none"]
    if isinstance(v, bool):
        return ["b", v]
    if isinstance(v, int):
        if not -2**63 <= v < 2**64:
            raise Outside("integer out of range")
        return ["i", v]
    if isinstance(v, float):
        return ["r", struct.unpack(">Q", struct.pack(">d", v))[0]]
    if isinstance(v, str):
        return ["s", v]
    if isinstance(v, bytes):
        return ["x", v.hex()]
    if isinstance(v, datetime.datetime):
        return ["d", (v - EPOCH) // datetime.timedelta(microseconds=1)]
    if isinstance(v, list):
        return ["a", [typed(e, path, budget) for e in v]]
    if isinstance(v, dict):
        items = []
        for k, e in v.items():
            if not isinstance(k, str):
                raise Outside("non-string key")
            items.append([k, typed(e, path, budget)])
        return ["o", items]
    raise Outside(type(v).__name__)


def to_seconds(v):
    """The value with dates cut to the second, as the XML form carries them."""
    if isinstance(v, datetime.datetime):
        return v.replace(microsecond=0)
    if isinstance(v, list):
        return [to_seconds(e) for e in v]
    if isinstance(v, dict):
        return {k: to_seconds(e) for k, e in v.items()}
    return v


def writable(value, fmt):
    if value is None:
        return "n/a"  # no document of ours: a none value is written as an empty dictionary
    try:
        plistlib.dumps(value, fmt=fmt, sort_keys=False)
        return "yes"
    except (ValueError, UnicodeEncodeError, OverflowError):
        return "no"
    except Exception:
        return "n/a"


def verdict(data):
    """plistlib's reading of the bytes, as it finds their format itself."""
    try:
        value = plistlib.loads(data)
    except RecursionError:
        return {"verdict": "unknown"}
    except Exception:
        return {"verdict": "invalid"}
    try:
        t = typed(value)
    except (Outside, RecursionError) as e:
        return {"verdict": "outside", "why": str(e)}
    out = {"verdict": "value", "value": t,
           "xml": writable(value, plistlib.FMT_XML),
           "binary": writable(value, plistlib.FMT_BINARY)}
    if out["binary"] == "no":
        out["binary"] = "n/a"
    # plistlib's own XML (and so Apple's layout): ours must be the same text.
    out["canonical"] = (out["xml"] == "yes" and
                        plistlib.dumps(value, fmt=plistlib.FMT_XML, sort_keys=False) == data)
    return out


def suite_documents():
    """Every document CPython's plistlib tests give plistlib to read."""
    from test import test_plistlib  # noqa: raises ImportError without the testsuite
    seen = []
    original_load = plistlib.load

    def record(data, name):
        seen.append((name, bytes(data)))

    def loads(value, *args, **kwargs):
        record(value, current[0])
        return original_load(io.BytesIO(value), *args, **kwargs)

    def load(fp, *args, **kwargs):
        data = fp.read()
        record(data, current[0])
        return original_load(io.BytesIO(data), *args, **kwargs)

    current = ["?"]

    class Watch(unittest.TextTestResult):
        def startTest(self, test):
            current[0] = test.id().split(".")[-1]
            super().startTest(test)

    plistlib.loads, plistlib.load = loads, load
    try:
        suite = unittest.defaultTestLoader.loadTestsFromModule(test_plistlib)
        with open(os.devnull, "w") as sink:
            unittest.TextTestRunner(stream=sink, resultclass=Watch).run(suite)
    finally:
        plistlib.loads, plistlib.load = original_loads, original_load
    return seen


original_loads = plistlib.loads


def edge_cases():
    """Our own: the range of integers and dates, text, encodings, malformed values."""
    xml = lambda body: ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n%s\n'
                        '</plist>\n' % body).encode("utf-8")
    d = datetime.datetime
    cases = {
        "int-leading-zeros": xml("<integer>0123</integer>"),
        "int-negative-leading-zeros": xml("<integer>-0123</integer>"),
        "int-hex": xml("<integer>0x1F</integer>"),
        "int-2^64-1": xml("<integer>18446744073709551615</integer>"),
        "int-2^63": xml("<integer>9223372036854775808</integer>"),
        "int--2^63": xml("<integer>-9223372036854775808</integer>"),
        "int-2^64": xml("<integer>18446744073709551616</integer>"),
        "int--2^63-1": xml("<integer>-9223372036854775809</integer>"),
        "int-not-integer": xml("<integer>not integer</integer>"),
        "date-year-1": xml("<date>0001-01-01T00:00:00Z</date>"),
        "date-year-9999": xml("<date>9999-12-31T23:59:59Z</date>"),
        "date-1900": xml("<date>1900-02-28T23:59:59Z</date>"),
        "date-2100": xml("<date>2100-06-01T12:00:00Z</date>"),
        "date-feb-30": xml("<date>2004-02-30T00:00:00Z</date>"),
        "date-yesterday": xml("<date>yesterday</date>"),
        "data-unpadded": xml("<data>AAE</data>"),
        "junk-after-plist": xml("<true/>") + b"junk",
        "bom-utf8": b"\xef\xbb\xbf" + xml("<string>mark</string>"),
        "latin-1": b'<?xml version="1.0" encoding="ISO-8859-1"?><plist><string>\xe9</string></plist>',
        "raw-control-character": xml("<string>a\x01b</string>"),
        "control-character-reference": xml("<string>a&#1;b</string>"),
        "line-ends": xml("<string>a\r\nb\rc</string>"),
        "carriage-return-reference": xml("<string>a&#13;b</string>"),
        "cdata-comment-pi": xml("<string>a<![CDATA[<&>]]><!-- c --><?pi x?>b</string>"),
        "entity-declaration": b'<?xml version="1.0"?><!DOCTYPE plist [<!ENTITY e "x">]>'
                              b'<plist><string>&e;</string></plist>',
        "deep-xml-512": xml("<array>" * 512 + "</array>" * 512),
        "deep-xml-513": xml("<array>" * 513 + "</array>" * 513),
        "deep-xml-100000": xml("<array>" * 100000 + "</array>" * 100000),
        "duplicate-keys": xml("<dict><key>a</key><integer>1</integer><key>b</key><true/>"
                              "<key>a</key><string>last</string></dict>"),
    }
    values = {
        "big-integers": {"max": 2**64 - 1, "min": -2**63, "high": 2**63, "small": 5},
        "dates": [d(1, 1, 1), d(9999, 12, 31, 23, 59, 59, 999999), d(1900, 3, 1, 0, 0, 0, 250000),
                  d(2000, 12, 31, 23, 59, 59, 500000), d(2000, 12, 31, 23, 59, 59, 999999),
                  d(1969, 12, 31, 23, 59, 59, 123456), d(2069, 1, 1)],
        "control-characters": {"k\x01": "a\x00b\x1fc", "cr": "a\rb", "emoji": "\U0001f40d"},
        "reals": [0.1, -0.0, 1e100, 5e-324, 1.5e16, 123456789.0, float("inf"), float("-inf")],
    }
    for name, value in values.items():
        for fmt, tag in ((plistlib.FMT_XML, "xml"), (plistlib.FMT_BINARY, "binary")):
            try:
                cases[name + "-" + tag] = plistlib.dumps(value, fmt=fmt, sort_keys=False)
            except ValueError:
                pass  # plistlib writes no control characters into XML
    # Arrays sharing their one child twice, 40 levels: 2^40 leaves from 400 bytes.
    objects = [b"\xa2" + bytes([i + 1, i + 1]) for i in range(40)] + [b"\x09"]
    cases["shared-doubling"] = binary_document(objects)
    return list(cases.items())


def binary_document(objects):
    data, offsets, at = [b"bplist00"], [], 8
    for o in objects:
        offsets.append(at)
        data.append(o)
        at += len(o)
    data += [bytes([x]) for x in offsets]
    data.append(struct.pack(">6xBBQQQ", 1, 1, len(objects), 0, at))
    return b"".join(data)


def extract(out):
    try:
        documents = suite_documents()
    except ImportError as e:
        print("plistlib_peer: test.test_plistlib is missing (%s); install "
              "libpython3.11-testsuite" % e, file=sys.stderr)
        return 3
    documents += edge_cases()
    seen = set()
    n = 0
    for name, data in documents:
        if data in seen:
            continue
        seen.add(data)
        with open(os.path.join(out, "%d.plist" % n), "wb") as f:
            f.write(data)
        entry = {"name": name}
        entry.update(verdict(data))
        with open(os.path.join(out, "%d.json" % n), "w") as f:
            json.dump(entry, f)
        n += 1
    print(n)
    return 0


def check(out):
    bad = 0
    for name in sorted(os.listdir(out)):
        if not (name.endswith(".out.xml") or name.endswith(".out.bin")):
            continue
        n = name.split(".")[0]
        with open(os.path.join(out, n + ".plist"), "rb") as f:
            want = plistlib.loads(f.read())
        try:
            with open(os.path.join(out, name), "rb") as f:
                got = plistlib.loads(f.read())
        except Exception as e:
            print("%s: plistlib cannot read it: %r" % (name, e))
            bad += 1
            continue
        if name.endswith(".xml"):
            want, got = to_seconds(want), to_seconds(got)
        if typed(got) != typed(want):
            print("%s: plistlib reads %r, not %r" % (name, got, want))
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.setrecursionlimit(5000)  # typed() walks 512 levels, two frames each
    if len(sys.argv) != 3 or sys.argv[1] not in ("extract", "check"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(extract(sys.argv[2]) if sys.argv[1] == "extract" else check(sys.argv[2]))
