#!/usr/bin/env python3
"""Writes the signature-bundle archives of the tar reader's tests into OUTDIR, with a manifest.

Each case is a gzip-compressed tar made here with GNU tar or python's tarfile, some then edited
byte by byte (a header is re-checksummed after an edit unless the case is about the checksum).
manifest.json lists, per case: the archive, the expected outcome ("ok" or the error code), the
gzip output bound to use, and for "ok" the regular files with their content.
"""
import gzip
import io
import json
import os
import subprocess
import sys
import tarfile

OUT = sys.argv[1]
CASES = []

RULES = b'alert tcp any any -> any any (msg:"a"; sid:1001;)\n'


def case(name, data, expect, files=None, cap=None, raw=False):
    path = os.path.join(OUT, name + (".tar" if raw else ".tgz"))
    with open(path, "wb") as f:
        f.write(data)
    CASES.append({"name": name, "archive": path, "expect": expect, "files": files or {},
                  "cap": cap or 0, "raw": raw})


def gz(tar_bytes):
    return gzip.compress(tar_bytes, mtime=0)


def with_tarfile(entries, fmt=tarfile.GNU_FORMAT):
    """entries: (TarInfo fields dict, data bytes or None)."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=fmt) as t:
        for fields, data in entries:
            ti = tarfile.TarInfo(fields["name"])
            for k, v in fields.items():
                setattr(ti, k, v)
            if data is not None:
                ti.size = len(data)
                t.addfile(ti, io.BytesIO(data))
            else:
                t.addfile(ti)
    return buf.getvalue()


def reg(name, data):
    return ({"name": name, "type": tarfile.REGTYPE, "mode": 0o644}, data)


def sym(name, target, type_=tarfile.SYMTYPE):
    return ({"name": name, "type": type_, "linkname": target}, None)


def rechecksum(tar, off=0):
    h = bytearray(tar[off:off + 512])
    h[148:156] = b" " * 8
    h[148:156] = b"%06o\0 " % sum(h)
    return tar[:off] + bytes(h) + tar[off + 512:]


def set_field(tar, off, at, value, fix=True):
    b = bytearray(tar)
    b[off + at:off + at + len(value)] = value
    return rechecksum(bytes(b), off) if fix else bytes(b)


def header(name, type_=b"0", size=0, link=b"", prefix=b"", magic=b"ustar\x0000"):
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = b"0000644\0"
    h[108:116] = b"0000000\0"
    h[116:124] = b"0000000\0"
    h[124:136] = b"%011o\0" % size
    h[136:148] = b"00000000000\0"
    h[156:157] = type_
    h[157:157 + len(link)] = link
    h[257:265] = magic
    h[345:345 + len(prefix)] = prefix
    return rechecksum(bytes(h))


def data_blocks(data):
    return data + b"\0" * ((512 - len(data) % 512) % 512)


END = b"\0" * 1024


def gnu_tar(name, files, extra=()):
    src = os.path.join(OUT, "src-" + name)
    for rel, content in files.items():
        p = os.path.join(src, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content)
    out = os.path.join(OUT, name + ".tgz")
    subprocess.run(["tar", "-czf", out, *extra, "-C", src, "."], check=True)
    CASES.append({"name": name, "archive": out, "expect": "ok",
                  "files": {k: v.decode() for k, v in files.items()}, "cap": 0, "raw": False})


# --- well-formed bundles ---
gnu_tar("gnu_bundle", {"rules/ozy-idps.rules": RULES, "classification.config": b"config\n",
                       "rules/extra/more.rules": b"# more\n"})
LONG = "d" * 90 + "/" + "e" * 90 + "/long.rules"
gnu_tar("gnu_long_names", {LONG: RULES}, ["--format=gnu"])
gnu_tar("gnu_pax_names", {LONG: b"pax\n"}, ["--format=pax"])
USTAR_LONG = "u" * 80 + "/" + "v" * 60 + "/prefix.rules"
case("ustar_prefix", gz(with_tarfile([reg(USTAR_LONG, b"prefix\n")], tarfile.USTAR_FORMAT)),
     "ok", {USTAR_LONG: "prefix\n"})
# Links leaving the directory are skipped, one with data that looks like a header of its own;
# the entry after each is read right.
smuggled = header(b"../../escaped.rules", size=5) + data_blocks(b"evil\n")
case("links_skipped", gz(
    header(b"up", b"2", link=b"../../../etc") +
    header(b"hard", b"1", size=len(smuggled), link=b"../../outside") + smuggled +
    header(b"fifo", b"6") + header(b"odd", b"Z", size=3) + data_blocks(b"abc") +
    header(b"after.rules", size=len(RULES)) + data_blocks(RULES) + END), "ok",
    {"after.rules": RULES.decode()})
case("links_from_tarfile", gz(with_tarfile([sym("up", "/etc"), reg("rules/a.rules", RULES)])),
     "ok", {"rules/a.rules": RULES.decode()})

# --- hostile names ---
for name, entries, fmt in [
        ("absolute", [reg("/tmp/ozy-abs.rules", RULES)], tarfile.GNU_FORMAT),
        ("dotdot", [reg("../escaped.rules", RULES)], tarfile.GNU_FORMAT),
        ("dotdot_inner", [reg("rules/../../escaped.rules", RULES)], tarfile.GNU_FORMAT),
        ("bare_dotdot", [({"name": "..", "type": tarfile.DIRTYPE}, None)], tarfile.GNU_FORMAT),
        ("trailing_dotdot", [({"name": "rules/..", "type": tarfile.DIRTYPE}, None),
                             reg("x/../../y", RULES)], tarfile.GNU_FORMAT),
        ("sibling_prefix", [reg("../systemevil/x.rules", RULES)], tarfile.GNU_FORMAT),
        ("gnu_long_dotdot", [reg("../" + "a" * 120 + "/x.rules", RULES)], tarfile.GNU_FORMAT),
        ("pax_dotdot", [reg("../" + "p" * 120 + "/x.rules", RULES)], tarfile.PAX_FORMAT),
        ("pax_absolute", [reg("/" + "q" * 120 + "/x.rules", RULES)], tarfile.PAX_FORMAT),
        ("ustar_prefix_dotdot", [reg("../" + "u" * 100 + "/x.rules", RULES)],
         tarfile.USTAR_FORMAT),
        ("through_link", [sym("lnk", "/tmp"), reg("lnk/x.rules", RULES)], tarfile.GNU_FORMAT),
]:
    case(name, gz(with_tarfile(entries, fmt)), "IDSERR_UNTAR")

# A pax path over a harmless ustar name: the pax path counts.
pax = b"".join(b"%d %s\n" % (len(r) + 3 + len(str(len(r) + 3)) - 1, r)
               for r in [b"path=../pax-override.rules"])
case("pax_overrides_name", gz(
    header(b"PaxHeaders/x", b"x", size=len(pax)) + data_blocks(pax) +
    header(b"harmless.rules", size=len(RULES)) + data_blocks(RULES) + END), "IDSERR_UNTAR")
case("pax_malformed", gz(
    header(b"PaxHeaders/x", b"x", size=12) + data_blocks(b"99 path=ab\n\0") +
    header(b"a.rules", size=len(RULES)) + data_blocks(RULES) + END), "IDSERR_UNTAR")
case("path_too_long", gz(with_tarfile([reg("/".join(["n" * 200] * 25), RULES)],
                                      tarfile.PAX_FORMAT)), "IDSERR_UNTAR")

# --- bad sizes and checksums (byte edits of a tarfile archive) ---
plain = with_tarfile([reg("a.rules", RULES), reg("b.rules", RULES)], tarfile.USTAR_FORMAT)
case("size_beyond_file", gz(set_field(plain, 512 + 512, 124, b"00000077777\0")), "IDSERR_UNTAR")
case("size_base256", gz(set_field(plain, 0, 124, b"\x80" + b"\0" * 10 + b"\x40")), "IDSERR_UNTAR")
case("size_negative", gz(set_field(plain, 0, 124, b"\xff" * 12)), "IDSERR_UNTAR")
case("size_not_octal", gz(set_field(plain, 0, 124, b"0000000008x\0")), "IDSERR_UNTAR")
case("size_huge", gz(set_field(plain, 0, 124, b"77777777777\0")), "IDSERR_UNTAR")
case("bad_checksum", gz(set_field(plain, 0, 0, b"c", fix=False)), "IDSERR_UNTAR")
case("no_end_block", gz(plain[:1024]), "IDSERR_UNTAR")
case("cut_header", gz(plain[:1024 + 100]), "IDSERR_UNTAR")
case("long_name_twice", gz(
    header(b"././@LongLink", b"L", size=6) + data_blocks(b"a.txt\0") +
    header(b"././@LongLink", b"L", size=6) + data_blocks(b"b.txt\0") +
    header(b"x", size=0) + END), "IDSERR_UNTAR")
case("sparse", gz(header(b"s.rules", b"S", size=0) + END), "IDSERR_UNTAR")

# --- gzip ---
# Each entry within the bound, the whole far beyond it.
bomb = with_tarfile([reg("bomb%d.rules" % i, b"\0" * (512 << 10)) for i in range(16)])
case("gzip_bomb", gz(bomb), "IDSERR_SIG_GZ_DECOMPRESS", cap=1 << 20)
good = gz(with_tarfile([reg("a.rules", RULES)]))
case("gzip_truncated", good[:len(good) - 12], "IDSERR_SIG_GZ_DECOMPRESS")
case("gzip_bad_crc", good[:-8] + bytes([good[-8] ^ 1]) + good[-7:], "IDSERR_SIG_GZ_DECOMPRESS")
case("not_gzip", with_tarfile([reg("a.rules", RULES)]), "IDSERR_SIG_GZ_DECOMPRESS")

with open(os.path.join(OUT, "manifest.json"), "w") as f:
    json.dump(CASES, f, indent=1)
