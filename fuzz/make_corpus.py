#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Small, valid (and a few nearly valid) inputs of each format, made with the
Python standard library so that they are independent of the code under test.
Run again after changing it; the files are checked in.
"""
import io
import os
import plistlib
import shutil
import struct
import wave
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "corpus")


def put(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def plists():
    import datetime
    value = {
        "usernamelogin": "13800138000",
        "count": 42,
        "negative": -7,
        "ratio": 0.5,
        "ok": True,
        "blob": b"\x00\x01\xfe\xff",
        "when": datetime.datetime(2020, 1, 2, 3, 4, 5),
        "list": ["a", 1, False, {"nested": "x&<y>"}],
        "text": "中文 & <tags>",
    }
    put("PropertyList", "dict.xml", plistlib.dumps(value, fmt=plistlib.FMT_XML))
    put("PropertyList", "dict.bin", plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
    put("PropertyList", "array.bin", plistlib.dumps([1, "two", [3.0]], fmt=plistlib.FMT_BINARY))
    put("PropertyList", "empty.xml", plistlib.dumps({}, fmt=plistlib.FMT_XML))
    put("PropertyList", "string.xml", plistlib.dumps("just a string", fmt=plistlib.FMT_XML))
    items = [{"generic": "quillbox", "accessGroup": "com.velmor.quillbox", "comment": "secret"},
             {"generic": b"quillbox", "accessGroup": b"com.velmor.quillbox", "comment": b"pw"}]
    put("Keychain", "items.xml", plistlib.dumps(items, fmt=plistlib.FMT_XML))
    put("Keychain", "items.bin", plistlib.dumps(items, fmt=plistlib.FMT_BINARY))
    put("Keychain", "not-array.xml", plistlib.dumps({"generic": "quillbox"}, fmt=plistlib.FMT_XML))
    put("Keychain", "no-comment.bin",
        plistlib.dumps([{"generic": "quillbox", "accessGroup": "com.velmor.quillbox"}],
                       fmt=plistlib.FMT_BINARY))


def binary_plist(objects, ref_size=1, offset_size=1):
    """A binary property list of the given encoded objects (object 0 at the top)."""
    data, offsets, at = [b"bplist00"], [], 8
    for o in objects:
        offsets.append(at)
        data.append(o)
        at += len(o)
    data += [x.to_bytes(offset_size, "big") for x in offsets]
    data.append(struct.pack(">6xBBQQQ", offset_size, ref_size, len(objects), 0, at))
    return b"".join(data)


def deep_plists():
    """Depth-heavy and range-edge seeds for the readers (both targets)."""
    import datetime
    xml = lambda body: ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n%s\n'
                        '</plist>\n' % body).encode("utf-8")
    for target in ("PropertyList", "PlistDifferential"):
        put(target, "deep-arrays-512.xml", xml("<array>" * 512 + "<true/>" + "</array>" * 512))
        put(target, "deep-arrays-600.xml", xml("<array>" * 600 + "</array>" * 600))
        put(target, "deep-dicts-520.xml",
            xml("<dict><key>k</key>" * 520 + "<string>x</string>" + "</dict>" * 520))
        put(target, "edges.xml", xml(
            "<dict><key>max</key><integer>18446744073709551615</integer>"
            "<key>min</key><integer>-9223372036854775808</integer>"
            "<key>octal?</key><integer>0123</integer><key>hex</key><integer>0x1F</integer>"
            "<key>first</key><date>0001-01-01T00:00:00Z</date>"
            "<key>last</key><date>9999-12-31T23:59:59Z</date>"
            "<key>text</key><string>a&#13;b\r\nc<![CDATA[<&>]]><!-- c --></string></dict>"))
        put(target, "bom.xml", b"\xef\xbb\xbf" + xml("<string>mark</string>"))
        put(target, "utf16.xml", b"\xff\xfe" + xml("<string>\u4e2d</string>").decode().replace(
            "UTF-8", "UTF-16").encode("utf-16-le"))
    chain = lambda n: binary_plist([b"\xa1" + (i + 1).to_bytes(4, "big") for i in range(n)] +
                                   [b"\x54seed"], ref_size=4, offset_size=4)
    put("PropertyList", "deep-512.bin", chain(511))
    put("PropertyList", "deep-600.bin", chain(600))
    put("PropertyList", "deep-5000.bin", chain(5000))
    put("PropertyList", "shared-doubling.bin",
        binary_plist([b"\xa2" + bytes([i + 1, i + 1]) for i in range(30)] + [b"\x09"]))
    put("PropertyList", "cycle.bin", binary_plist([b"\xa1\x01", b"\xa1\x00"]))
    put("PropertyList", "edges.bin", plistlib.dumps(
        [2**64 - 1, -2**63, 2**63, datetime.datetime(1, 1, 1),
         datetime.datetime(2000, 12, 31, 23, 59, 59, 500000), "\x01\x00", {"k": b""}],
        fmt=plistlib.FMT_BINARY))


def png(width, height, color_type, bit_depth, rows, extra=b"", interlace=0):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    ihdr = struct.pack(">IIBBBBB", width, height, bit_depth, color_type, 0, 0, interlace)
    raw = b"".join(b"\x00" + r for r in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def pngs():
    # First byte 0: the rest is a PNG file; 1: the rest describes a picture
    # (width, height, colour type, depth, palette size, transparency, rows).
    put("ImageCodec", "rgba.png", b"\0" + png(3, 2, 6, 8, [bytes(range(12)), bytes(range(100, 112))]))
    put("ImageCodec", "rgb.png", b"\0" + png(2, 2, 2, 8, [b"\xff\x00\x00\x00\xff\x00", b"\x00\x00\xff\xff\xff\xff"]))
    put("ImageCodec", "gray16.png", b"\0" + png(2, 1, 0, 16, [b"\x12\x34\xab\xcd"]))
    plte = b"\xff\x00\x00\x00\xff\x00"
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    put("ImageCodec", "palette-trns.png",
        b"\0" + png(4, 1, 3, 2, [b"\x1b"], chunk(b"PLTE", plte) + chunk(b"tRNS", b"\x80")))
    put("ImageCodec", "interlaced.png",
        b"\0" + png(1, 1, 4, 8, [b"\x80\xff"], interlace=1))
    put("ImageCodec", "truncated.png", b"\0" + png(3, 2, 6, 8, [bytes(12), bytes(12)])[:40])
    put("ImageCodec", "described-palette.bin", b"\1\3\2\2\1\3\7" + bytes(range(40)))
    put("ImageCodec", "described-gray16-interlaced.bin", b"\1\4\4\0\x84\0\0" + bytes(range(64)))


def base64s():
    for i, text in enumerate(["TWFu", "TWE=", "TQ==", "5Lit5paH", "-_-_", "+/+/", "////", "QR=="]):
        put("Base64", "b%d.txt" % i, text)


def replies():
    # First byte: even = "login" reply, odd = "getName" reply.
    login_ok = ("<?xml version=\"1.0\" encoding=\"utf-8\"?><root><type>0</type>"
                "<username>alice</username><token>abc</token><result>ok</result></root>")
    put("AutoLoginReply", "login-ok.xml", "\x00" + login_ok)
    put("AutoLoginReply", "login-error.xml",
        "\x00<root><errorResult>wrong password</errorResult></root>")
    put("AutoLoginReply", "login-type1.xml", "\x00<root><type>1</type><result>x</result></root>")
    put("AutoLoginReply", "getname.xml", "\x01<root><string>alice</string></root>")
    put("AutoLoginReply", "entities.xml",
        "\x00<!DOCTYPE r [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;\">]>"
        "<r><type>&b;&amp;</type><p:x xmlns:p=\"urn:p\">v</p:x><![CDATA[c]]><result/></r>")


def xml_replies():
    err = "<errorResult><type>4</type><message>no</message></errorResult>"
    put("XmlParse", "error.xml", "\x00" + err)
    put("XmlParse", "result.xml", "\x01<r><result><type>0</type><message>ok</message></result>"
        + err + "</r>")
    put("XmlParse", "create.xml", "\x02<result><id>7</id><type>0</type><message>m</message>"
        "<isComplete>false</isComplete><realLength>12</realLength></result>")
    put("XmlParse", "account.xml", "\x03<result><voiceRemainder>1</voiceRemainder><phones>"
        "<result>x<phone>138</phone><isMain/><o>1</o></result><result/></phones></result>")
    put("XmlParse", "entities.xml", "\x01<!DOCTYPE r [<!ENTITY a \"aa\">]><result><type>&a;</type>"
        "<message>&amp;</message></result>")


def texts():
    for i, text in enumerate(["13800138000", "Passw0rd!", "someone@example.com",
                              "https://www.example.com/a/b?c=d", "11010519491231002X",
                              "a b&c=d/中文", "key1\x00<a>\x00</a>", "\xff\xfe bad utf8"]):
        put("CommonRegex", "t%d.txt" % i,
            text.encode("latin-1") if "\xff" in text else text.encode("utf-8"))


def wav(channels, rate, width, frames):
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(bytes((i * 37) & 0xFF for i in range(frames * channels * width)))
    return buf.getvalue()


def caf(fmt_flags, bits, channels, rate, payload):
    desc = struct.pack(">dIIIIII", float(rate), 0x6C70636D, fmt_flags,  # 'lpcm'
                       bits // 8 * channels, 1, channels, bits)
    out = b"caff" + struct.pack(">HH", 1, 0)
    out += b"desc" + struct.pack(">q", len(desc)) + desc
    out += b"data" + struct.pack(">q", len(payload) + 4) + struct.pack(">I", 0) + payload
    return out


def sounds():
    put("SystemSound", "mono16.wav", wav(1, 8000, 2, 8))
    put("SystemSound", "stereo8.wav", wav(2, 22050, 1, 6))
    put("SystemSound", "be16.caf", caf(0, 16, 1, 44100, bytes(range(16))))
    put("SystemSound", "le24.caf", caf(2, 24, 2, 48000, bytes(range(24))))
    put("SystemSound", "float32.caf", caf(1, 32, 1, 44100, struct.pack(">4f", 0.0, 0.5, -0.5, 1.0)))
    put("SystemSound", "float64.caf", caf(3, 64, 1, 44100, struct.pack("<2d", 0.25, -1.0)))


class KeptOpen(io.BytesIO):
    """A buffer that outlives aifc's close()."""

    def close(self):
        pass


def audio():
    import aifc
    import warnings
    put("AudioDuration", "mono16.wav", wav(1, 8000, 2, 8))
    put("AudioDuration", "be16.caf", caf(0, 16, 1, 44100, bytes(range(16))))
    pakt = struct.pack(">qqii", 2, 4096, 0, 0)
    put("AudioDuration", "pakt.caf", caf(0, 16, 1, 44100, bytes(8))[:8] +
        b"desc" + struct.pack(">q", 32) + struct.pack(">dIIIIII", 44100.0, 0x61616320, 0, 0, 1024, 2, 0)
        + b"pakt" + struct.pack(">q", len(pakt)) + pakt + b"data" + struct.pack(">q", -1) + bytes(12))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, compressed in (("stereo.aiff", False), ("mono.aifc", True)):
            buf = KeptOpen()
            w = aifc.open(buf, "wb")
            if compressed:
                w.aifc()
            w.setnchannels(2 if not compressed else 1)
            w.setsampwidth(2)
            w.setframerate(22050)
            w.writeframes(bytes(40))
            w.close()
            put("AudioDuration", name, buf.getvalue())

    def box(kind, body):
        return struct.pack(">I", 8 + len(body)) + kind + body
    mvhd0 = box(b"mvhd", bytes(4) + struct.pack(">IIII", 0, 0, 600, 1800) + bytes(80))
    mvhd1 = box(b"mvhd", b"\x01" + bytes(3) + struct.pack(">QQIQ", 0, 0, 1000, 2500) + bytes(80))
    ftyp = box(b"ftyp", b"M4A \0\0\0\0M4A mp42isom")
    put("AudioDuration", "v0.m4a", ftyp + box(b"free", bytes(5)) + box(b"moov", mvhd0))
    put("AudioDuration", "v1.m4a", ftyp + box(b"moov", box(b"trak", b"") + mvhd1))
    put("AudioDuration", "large-size.m4a",
        ftyp + struct.pack(">I", 1) + b"moov" + struct.pack(">Q", 16 + len(mvhd0)) + mvhd0)


def cbor(v):
    """Deterministic CBOR of ints, str, bytes, lists, dicts and (tag, value) pairs of Tag."""
    def head(major, n):
        if n < 24:
            return bytes([major << 5 | n])
        for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
            if n < 1 << (8 * size):
                return bytes([major << 5 | info]) + n.to_bytes(size, "big")
    if isinstance(v, Tag):
        return head(6, v.number) + cbor(v.value)
    if v is None:
        return b"\xf6"
    if isinstance(v, int):
        return head(0, v) if v >= 0 else head(1, -1 - v)
    if isinstance(v, bytes):
        return head(2, len(v)) + v
    if isinstance(v, str):
        return head(3, len(v.encode())) + v.encode()
    if isinstance(v, list):
        return head(4, len(v)) + b"".join(cbor(x) for x in v)
    items = sorted((cbor(k), cbor(x)) for k, x in v.items())
    return head(5, len(items)) + b"".join(k + x for k, x in items)


class Tag:
    def __init__(self, number, value):
        self.number, self.value = number, value


def jumbf(kind, label, *boxes):
    uuid = kind.encode() + bytes.fromhex("00110010800000aa00389b71")
    desc = uuid + b"\x03" + label.encode() + b"\0"
    inner = struct.pack(">I", 8 + len(desc)) + b"jumd" + desc + b"".join(boxes)
    return struct.pack(">I", 8 + len(inner)) + b"jumb" + inner


def content(data):
    return struct.pack(">I", 8 + len(data)) + b"cbor" + data


def c2pa_stores():
    """Manifest stores of the shape our captures carry, with a made-up signature."""
    import hashlib
    urn = "urn:c2pa:00000000-0000-4000-8000-000000000000"
    actions = jumbf("cbor", "c2pa.actions.v2", content(cbor({"actions": [{
        "action": "c2pa.created", "when": Tag(0, "2015-01-01T09:05:07.000Z"),
        "digitalSourceType": "http://cv.iptc.org/newscodes/digitalsourcetype/screenCapture",
        "softwareAgent": {"name": "quillbox vigild", "version": "1.0"}}]})))
    hashed = jumbf("cbor", "c2pa.hash.data", content(cbor({
        "alg": "sha256", "exclusions": [{"start": 33, "length": 1000}], "hash": bytes(32),
        "name": "jumbf manifest", "pad": b""})))

    def ref(label, box):
        return {"url": "self#jumbf=/c2pa/%s/c2pa.assertions/%s" % (urn, label),
                "hash": hashlib.sha256(box[8:]).digest()}
    claim = cbor({"instanceID": "xmp:iid:1", "alg": "sha256",
                  "claim_generator_info": {"name": "quillbox", "version": "1.0"},
                  "signature": "self#jumbf=/c2pa/%s/c2pa.signature" % urn,
                  "created_assertions": [ref("c2pa.actions.v2", actions),
                                         ref("c2pa.hash.data", hashed)]})
    protected = cbor({1: -7, 33: b"0\x82\x01\x00 not a certificate"})
    cose = cbor(Tag(18, [protected, {"pad": bytes(8)}, None, bytes(64)]))
    manifest = jumbf("c2ma", urn, jumbf("c2as", "c2pa.assertions", actions, hashed),
                     jumbf("c2cl", "c2pa.claim.v2", content(claim)),
                     jumbf("c2cs", "c2pa.signature", content(cose)))
    put("C2paReader", "store.jumbf", jumbf("c2pa", "c2pa", manifest))
    put("C2paReader", "claim.cbor", claim)
    put("C2paReader", "cose.cbor", cose)


def main():
    shutil.rmtree(ROOT, ignore_errors=True)
    plists()
    deep_plists()
    pngs()
    base64s()
    replies()
    xml_replies()
    texts()
    sounds()
    audio()
    c2pa_stores()


if __name__ == "__main__":
    main()
