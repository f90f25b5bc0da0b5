#!/usr/bin/python3
"""An MF4 (ASAM MDF 4) block walker and builder of its own, for the trace
tests: no MDF reader is installed here, so this file is the other side.

  mf4_oracle.py walk FILE
      Follows every link from the identification block, checks the blocks
      (alignment, ids, lengths, links inside the file, no overlaps, the data
      lists and compressed blocks, each channel group's record size and
      cycle count against its data) and prints one line per CAN record,
      ordered by time. A file still being written ("UnFinMF ") is walked as
      its flags allow: cycle counts not yet written (bit 0), empty slots at
      the end of a chain's last DL list (bit 4); its metadata must all come
      before its data. A finalized file may have neither.
        US BUS KIND ID IDE DLC LEN DIR EDL BRS ESI HEX
      (KIND d, r or e). Exits 1 with the reason on the first fault.

  mf4_oracle.py build LAYOUT FRAMES OUT
      Writes an MF4 file of the frames (lines as walk prints them) in the
      layout LAYOUT names, comma-separated words:
        sorted | unsorted          one data group per frame kind, or one
                                   group holding all by record id
        dt | dz | dzt | dl | hl    one DT block, one DZ (deflate), one DZ
                                   (transposed deflate), a DL list of DT
                                   blocks cut mid-record, an HL over a DL of DZ
        t=u64:9 | t=u32:5 | t=u48:6 | t=i64:9 | t=u32be:5 | t=f64 | t=f32
                                   the time channel: type and bits, with a
                                   linear conversion of 10^-N seconds
        fixed | sd | vlsdcg        DataBytes in the record (64 bytes), in an
                                   SD block, or in a VLSD channel group
        unfinalized                "UnFinMF " with the last DT's length 0
        partial                    a cut record at the end (with unfinalized)
        other                      a data group of an analog signal as well
        ide31                      no IDE member: bit 31 of the ID says it
        local                      the start time in local time (UTC+1)
"""
import struct
import sys
import zlib

START_NS = 1700000000123456000


def fail(msg):
    print("mf4_oracle: " + msg, file=sys.stderr)
    sys.exit(1)


# ---------------------------------------------------------------- walking

class Walker:
    def __init__(self, data):
        self.d = data
        self.spans = []
        self.kinds = {}
        self.unfin = 0

    def block(self, at, want=None):
        d = self.d
        if at % 8:
            fail("block at %d is not aligned to 8 bytes" % at)
        if at + 24 > len(d):
            fail("link %d points past the end (%d bytes)" % (at, len(d)))
        if d[at:at + 2] != b"##":
            fail("no block at %d" % at)
        bid = d[at + 2:at + 4].decode("latin-1")
        length, nlinks = struct.unpack_from("<QQ", d, at + 8)
        if want and bid != want:
            fail("expected ##%s at %d, found ##%s" % (want, at, bid))
        if length < 24 + 8 * nlinks or at + length > len(d):
            fail("##%s at %d: length %d with %d links" % (bid, at, length, nlinks))
        for s, e in self.spans:
            if at < e and s < at + length and s != at:
                fail("##%s at %d overlaps the block at %d" % (bid, at, s))
        if (at, at + length) not in self.spans:
            self.spans.append((at, at + length))
            self.kinds[at] = bid
        links = list(struct.unpack_from("<%dQ" % nlinks, d, at + 24))
        for l in links:
            if l and (l % 8 or l + 24 > len(d)):
                fail("##%s at %d links to %d" % (bid, at, l))
        body = d[at + 24 + 8 * nlinks:at + length]
        return bid, links, body

    def follow(self, at, kind):
        """The blocks of a list by their first link, each checked once."""
        seen = set()
        while at:
            if at in seen:
                fail("%s list loops at %d" % (kind, at))
            seen.add(at)
            bid, links, body = self.block(at, kind)
            yield at, links, body
            at = links[0]

    def text(self, at):
        if at == 0:
            return ""
        bid, _, body = self.block(at)
        if bid not in ("TX", "MD"):
            fail("expected a text block at %d" % at)
        return body.split(b"\0", 1)[0].decode("utf-8")

    def data(self, at):
        """The bytes of a data block or list."""
        if at == 0:
            return b""
        bid, links, body = self.block(at)
        if bid in ("DT", "SD"):
            return body
        if bid == "DZ":
            org, zip_type, _, param, org_len, z_len = struct.unpack_from("<2sBBIQQ", body)
            if org not in (b"DT", b"SD") or zip_type not in (0, 1):
                fail("DZ at %d: original %r, zip type %d" % (at, org, zip_type))
            if z_len != len(body) - 24:
                fail("DZ at %d: compressed length %d in %d bytes" % (at, z_len, len(body) - 24))
            raw = zlib.decompress(body[24:24 + z_len])
            if len(raw) != org_len:
                fail("DZ at %d inflates to %d bytes, says %d" % (at, len(raw), org_len))
            if zip_type == 1:
                rows = org_len // param
                out = bytearray(raw)
                for c in range(param):
                    for r in range(rows):
                        out[r * param + c] = raw[c * rows + r]
                raw = bytes(out)
            return raw
        if bid == "HL":
            return self.data(links[0])
        if bid == "DL":
            out = b""
            for at, links, body in self.follow(at, "DL"):
                flags, count = struct.unpack_from("<B3xI", body)
                if count != len(links) - 1:
                    fail("DL at %d: count %d with %d links" % (at, count, len(links) - 1))
                offsets = struct.unpack_from("<%dQ" % count, body, 8) if not flags & 1 else None
                for i, l in enumerate(links[1:]):
                    if l == 0:
                        if not self.unfin & 0x10 or links[0] or any(links[1 + i:]):
                            fail("DL at %d: empty slot %d" % (at, i))
                        break
                    if offsets is not None and offsets[i] != len(out):
                        fail("DL at %d: offset %d of block %d, data so far %d" % (at, offsets[i], i, len(out)))
                    out += self.data(l)
            return out
        fail("expected a data block at %d, found ##%s" % (at, bid))

    def channels(self, at):
        out = []
        for at, links, body in self.follow(at, "CN"):
            (cn_type, sync, dtype, bit, byte, bits, flags) = struct.unpack_from("<BBBBIII", body)
            name = self.text(links[2])
            ch = dict(name=name, type=cn_type, sync=sync, dtype=dtype, bit=bit, byte=byte, bits=bits,
                      cc=links[4], data=links[5], at=at)
            out.append(ch)
            if links[1]:
                out += self.channels(links[1])
        return out

    def walk(self):
        d = self.d
        if len(d) < 64 or d[:8] not in (b"MDF     ", b"UnFinMF "):
            fail("no identification block")
        if d[8:12] != b"4.11" or struct.unpack_from("<H", d, 28)[0] != 411:
            fail("version %r" % d[8:16])
        self.unfin = struct.unpack_from("<H", d, 60)[0]
        if (d[:8] == b"UnFinMF ") != (self.unfin != 0) or self.unfin & ~0x11:
            fail("identification %r with unfinalized flags %#x" % (d[:8], self.unfin))
        _, hd, hd_body = self.block(64, "HD")
        start_ns = struct.unpack_from("<Q", hd_body)[0]
        if hd[1] == 0:
            fail("no file history")
        _, fh, _ = self.block(hd[1], "FH")
        if "<FHcomment>" not in self.text(fh[1]):
            fail("file history without its comment")
        frames = []
        for dg_index, (at, dg, dg_body) in enumerate(self.follow(hd[0], "DG")):
            rec_id = dg_body[0]
            if rec_id != 0:
                fail("velk writes sorted groups; record ids of %d bytes" % rec_id)
            _, cg, cg_body = self.block(dg[1], "CG")
            if cg[0]:
                fail("several channel groups in a sorted data group")
            _, cycles, flags, _, size, inval = struct.unpack_from("<QQHH4xII", cg_body)
            if not flags & 2:
                fail("channel group without the bus event flag")
            acq = self.text(cg[2])
            _, si, si_body = self.block(cg[3], "SI")
            if si_body[0] != 2 or si_body[1] != 2:
                fail("source of %s is not a CAN bus" % acq)
            chans = self.channels(cg[1])
            master = [c for c in chans if c["type"] == 2]
            if len(master) != 1 or master[0]["name"] != "Timestamp" or master[0]["sync"] != 1:
                fail("%s: no Timestamp master channel" % acq)
            _, cc, cc_body = self.block(master[0]["cc"], "CC")
            cc_type, _, _, _, nvals = struct.unpack_from("<BBHHH", cc_body)
            p1, p2 = struct.unpack_from("<dd", cc_body, 24)
            if cc_type != 1 or nvals != 2 or self.text(cc[1]) != "s":
                fail("%s: the time conversion is not linear in seconds" % acq)
            top = [c for c in chans if c["name"] == acq]
            if not top or top[0]["dtype"] != 10:
                fail("%s: no composed channel of its name" % acq)
            members = {c["name"].split(".", 1)[1]: c for c in chans if c["name"].startswith(acq + ".")}
            for c in chans:
                if c["byte"] * 8 + c["bit"] + c["bits"] > size * 8:
                    fail("%s: channel %s outside the %d-byte record" % (acq, c["name"], size))
            raw = self.data(dg[2])
            rec = size + inval
            if self.unfin & 1:
                if cycles:
                    fail("%s: a cycle count of %d while it is not kept" % (acq, cycles))
                cycles = len(raw) // rec
            if len(raw) % rec or len(raw) // rec != cycles:
                fail("%s: %d data bytes for %d records of %d" % (acq, len(raw), cycles, rec))
            kind = {"CAN_DataFrame": "d", "CAN_RemoteFrame": "r", "CAN_ErrorFrame": "e"}.get(acq)
            if kind is None:
                fail("unknown group %s" % acq)
            for i in range(cycles):
                r = raw[i * rec:(i + 1) * rec]
                t = value(r, master[0])
                if t >= 1 << 63:
                    t -= 1 << 64
                us = (start_ns + round((p1 + p2 * t) * 1e9)) // 1000

                def m(n):
                    return value(r, members[n]) if n in members else 0
                length = m("DataLength")
                data = b""
                if kind == "d":
                    c = members["DataBytes"]
                    data = r[c["byte"]:c["byte"] + length]
                frames.append((us, dg_index, len(frames), "%d %d %s %X %d %d %d %d %d %d %d %s" % (
                    us, m("BusChannel"), kind, m("ID"), m("IDE"), m("DLC"), length, m("Dir"), m("EDL"),
                    m("BRS"), m("ESI"), data.hex().upper() or "-")))
        if self.unfin:
            data = [at for at, bid in self.kinds.items() if bid in ("DT", "DZ", "DL")]
            meta = [at for at, bid in self.kinds.items() if bid not in ("DT", "DZ", "DL")]
            if data and meta and max(meta) > min(data):
                fail("the unfinalized file has metadata at %d after data at %d" % (max(meta), min(data)))
        frames.sort()
        return [f[3] for f in frames]


def value(rec, c):
    nbytes = (c["bit"] + c["bits"] + 7) // 8
    v = int.from_bytes(rec[c["byte"]:c["byte"] + nbytes], "little")
    return (v >> c["bit"]) & ((1 << c["bits"]) - 1)


# ---------------------------------------------------------------- building

class Builder:
    def __init__(self):
        self.out = bytearray(64 + 104)  # the identification and HD blocks, written last

    def add(self, bid, links, body):
        while len(self.out) % 8:
            self.out.append(0)
        at = len(self.out)
        self.out += b"##" + bid.encode() + b"\0" * 4 + struct.pack("<QQ", 24 + 8 * len(links) + len(body), len(links))
        self.out += struct.pack("<%dQ" % len(links), *links) + body
        return at

    def set_link(self, at, i, target):
        struct.pack_into("<Q", self.out, at + 24 + 8 * i, target)

    def text(self, s, bid="TX"):
        return self.add(bid, [], s.encode() + b"\0")

    def channel(self, name, cn_type, sync, dtype, byte, bit, bits, cc=0, data=0, composition=0, si=0):
        body = struct.pack("<BBBBIIIIBBH6d", cn_type, sync, dtype, bit, byte, bits, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
        return self.add("CN", [0, composition, self.text(name), si, cc, data, 0, 0], body)

    def chain(self, chans):
        for a, b in zip(chans, chans[1:]):
            self.set_link(a, 0, b)
        return chans[0] if chans else 0


def parse_frames(path):
    frames = []
    for line in open(path):
        w = line.split()
        if not w:
            continue
        frames.append(dict(us=int(w[0]), bus=int(w[1]), kind=w[2], id=int(w[3], 16), ide=int(w[4]), dlc=int(w[5]),
                           len=int(w[6]), dir=int(w[7]), edl=int(w[8]), brs=int(w[9]), esi=int(w[10]),
                           data=b"" if w[11] == "-" else bytes.fromhex(w[11])))
    return frames


def build(layout, frames_path, out_path):
    words = set(layout.split(","))
    opt = dict(w.split("=", 1) for w in words if "=" in w)
    frames = parse_frames(frames_path)
    b = Builder()
    unsorted = "unsorted" in words
    vlsd = "sd" in words or "vlsdcg" in words
    time_type = opt.get("t", "u64:9")
    tname, _, dec = time_type.partition(":")
    tsize = {"u64": 8, "i64": 8, "u32": 4, "u48": 6, "u32be": 4, "f64": 8, "f32": 4}[tname]
    tdtype = {"u64": 0, "i64": 2, "u32": 0, "u48": 0, "u32be": 1, "f64": 4, "f32": 4}[tname]
    start_ns = START_NS

    def time_bytes(us):
        rel_ns = us * 1000 - start_ns
        if tname == "f64":
            return struct.pack("<d", rel_ns / 1e9)
        if tname == "f32":
            return struct.pack("<f", rel_ns / 1e9)
        raw = rel_ns // 10 ** (9 - int(dec))
        if tname == "u32be":
            return raw.to_bytes(4, "big")
        return (raw & ((1 << (8 * tsize)) - 1)).to_bytes(tsize, "little")

    # Records: time, then the members at offsets unlike velk's own writer's.
    t = tsize
    data_layout = [("BusChannel", t + 0, 0, 8), ("DLC", t + 1, 0, 4), ("Dir", t + 1, 4, 1), ("EDL", t + 1, 5, 1),
                   ("BRS", t + 1, 6, 1), ("ESI", t + 1, 7, 1), ("DataLength", t + 2, 0, 8), ("ID", t + 3, 0, 32)]
    if "ide31" not in words:
        data_layout[-1] = ("ID", t + 3, 0, 29)
        data_layout.append(("IDE", t + 7, 0, 1))
    bytes_at = t + 8
    data_size = bytes_at + (8 if vlsd else 64)
    remote_layout = [l for l in data_layout if l[0] not in ("EDL", "BRS", "ESI")]
    remote_size = t + 8
    error_layout = [("BusChannel", t, 0, 8), ("Dir", t + 1, 2, 1)]
    error_size = t + 2
    layouts = {"d": ("CAN_DataFrame", data_layout, data_size), "r": ("CAN_RemoteFrame", remote_layout, remote_size),
               "e": ("CAN_ErrorFrame", error_layout, error_size)}

    sd = bytearray()
    vlsd_records = []  # (index of the frame's record) -> bytes of the VLSD record

    def record(f):
        name, layout, size = layouts[f["kind"]]
        r = bytearray(size)
        r[0:t] = time_bytes(f["us"])
        vals = dict(BusChannel=f["bus"], DLC=f["dlc"], Dir=f["dir"], EDL=f["edl"], BRS=f["brs"], ESI=f["esi"],
                    DataLength=f["len"], ID=f["id"] | (0x80000000 if f["ide"] and "ide31" in words else 0),
                    IDE=f["ide"])
        for n, byte, bit, bits in layout:
            v = int.from_bytes(r[byte:byte + 4], "little") | (vals[n] << bit)
            r[byte:byte + 4] = v.to_bytes(4, "little")[:len(r[byte:byte + 4])]
        if f["kind"] == "d":
            if vlsd:
                off = len(sd)
                sd.extend(struct.pack("<I", len(f["data"])) + f["data"])
                r[bytes_at:bytes_at + 8] = struct.pack("<Q", off)
            else:
                r[bytes_at:bytes_at + len(f["data"])] = f["data"]
        return bytes(r)

    def data_blocks(raw, columns):
        """A link to the data in the chosen blocks."""
        if "unfinalized" in words:
            return b.add("DT", [], raw)
        if "dz" in words or "dzt" in words:
            transposed = "dzt" in words and columns > 1
            body = raw
            if transposed:
                rows = len(raw) // columns
                body = bytearray(raw)
                for c in range(columns):
                    for r in range(rows):
                        body[c * rows + r] = raw[r * columns + c]
                body = bytes(body)
            z = zlib.compress(body, 6)
            return b.add("DZ", [], struct.pack("<2sBBIQQ", b"DT", 1 if transposed else 0, 0,
                                               columns if transposed else 0, len(raw), len(z)) + z)
        if "dl" in words or "hl" in words:
            cut = max(1, len(raw) // 3 + 5)  # pieces that end inside records
            pieces = [raw[i:i + cut] for i in range(0, len(raw), cut)] or [b""]
            blocks = []
            for p in pieces:
                if "hl" in words:
                    z = zlib.compress(p)
                    blocks.append(b.add("DZ", [], struct.pack("<2sBBIQQ", b"DT", 0, 0, 0, len(p), len(z)) + z))
                else:
                    blocks.append(b.add("DT", [], p))
            offs, o = [], 0
            for p in pieces:
                offs.append(o)
                o += len(p)
            # Two DL blocks chained, to walk the list's next link too.
            half = max(1, len(blocks) // 2)
            second = 0
            if len(blocks) > half:
                second = b.add("DL", [0] + blocks[half:], struct.pack("<B3xI", 0, len(blocks) - half) +
                               struct.pack("<%dQ" % (len(blocks) - half), *offs[half:]))
            first = b.add("DL", [second] + blocks[:half], struct.pack("<B3xI", 0, half) +
                          struct.pack("<%dQ" % half, *offs[:half]))
            if "hl" in words:
                return b.add("HL", [first], struct.pack("<HB5x", 1, 0))
            return first
        return b.add("DT", [], raw)

    si = b.add("SI", [b.text("CAN1"), b.text("CAN"), 0], struct.pack("<BBB5x", 2, 2, 0))
    cc_body = (struct.pack("<BBHHH2d2d", 1, 0, 0, 0, 2, 0, 0, 0, 10.0 ** -int(dec))
               if tname not in ("f64", "f32") else struct.pack("<BBHHH2d", 0, 0, 0, 0, 0, 0, 0))
    cc = b.add("CC", [0, b.text("s"), 0, 0], cc_body)

    def group(kind, rec_id, vlsd_target):
        name, layout, size = layouts[kind]
        time = b.channel("Timestamp", 2, 1, tdtype, 0, 0, tsize * 8, cc=cc)
        members = [b.channel(name + "." + n, 0, 0, 0, byte, bit, bits) for n, byte, bit, bits in layout]
        if kind == "d":
            if vlsd:
                members.append(b.channel(name + ".DataBytes", 1, 0, 10, bytes_at, 0, 64, data=vlsd_target))
            else:
                members.append(b.channel(name + ".DataBytes", 0, 0, 10, bytes_at, 0, 512))
        top = b.channel(name, 0, 0, 10, t, 0, (size - t) * 8, composition=b.chain(members), si=si)
        b.chain([time, top])
        count = sum(1 for f in frames if f["kind"] == kind)
        return b.add("CG", [0, time, b.text(name), si, 0, 0],
                     struct.pack("<QQHH4xII", rec_id, count, 6, ord("."), size, 0))

    dgs = []
    by_kind = {k: [f for f in frames if f["kind"] == k] for k in "dre"}
    if unsorted:
        cgs, ids = [], {"d": 1, "r": 2, "e": 3}
        vlsd_cg = 0
        if "vlsdcg" in words:
            vlsd_cg = b.add("CG", [0, 0, 0, 0, 0, 0], struct.pack("<QQHH4xII", 4, len(by_kind["d"]), 1, 0, 0, 0))
        for k in "dre":
            cgs.append(group(k, ids[k], vlsd_cg if "vlsdcg" in words else 0))
        if vlsd_cg:
            cgs.append(vlsd_cg)
        b.chain(cgs)
        raw = bytearray()
        for f in frames:
            rec = record(f)
            if f["kind"] == "d" and "vlsdcg" in words:
                # The value's record first, as loggers write it.
                n = struct.unpack_from("<I", sd, struct.unpack_from("<Q", rec, bytes_at)[0])[0]
                off = struct.unpack_from("<Q", rec, bytes_at)[0]
                raw += bytes([4]) + sd[off:off + 4 + n]
            raw += bytes([ids[f["kind"]]]) + rec
        if "partial" in words:
            raw += bytes([1]) + b"\x01\x02\x03"
        if "sd" in words:
            sd_at = b.add("SD", [], bytes(sd))
        dg = b.add("DG", [0, cgs[0], 0, 0], struct.pack("<B7x", 1))
        if "sd" in words:
            patch_vlsd(b, cgs[0], sd_at)
        dgs.append((dg, bytes(raw), 1))
    else:
        for k in "dre":
            sd.clear()
            raw = b"".join(record(f) for f in by_kind[k])
            cg = group(k, 0, 0)
            if k == "d" and vlsd:
                patch_vlsd(b, cg, data_blocks_sd(b, bytes(sd), words))
            dg = b.add("DG", [0, cg, 0, 0], struct.pack("<B7x", 0))
            dgs.append((dg, raw, layouts[k][2]))
    if "other" in words:
        # An analog signal in a group of its own: skipped by a CAN reader.
        time = b.channel("t", 2, 1, 4, 0, 0, 64)
        b.chain([time, b.channel("Voltage", 0, 0, 4, 8, 0, 64)])
        cg = b.add("CG", [0, time, b.text("Analog"), 0, 0, 0], struct.pack("<QQHH4xII", 0, 3, 0, 0, 16, 0))
        raw = b"".join(struct.pack("<dd", i * 0.1, 12.5) for i in range(3))
        dgs.insert(1, (b.add("DG", [0, cg, 0, 0], struct.pack("<B7x", 0)), raw, 16))
    for (dg, _, _), (nxt, _, _) in zip(dgs, dgs[1:]):
        b.set_link(dg, 0, nxt)
    fh = b.add("FH", [0, b.text("<FHcomment><TX>oracle</TX></FHcomment>", "MD")], struct.pack("<QhhB3x", start_ns, 0, 0, 0))
    hd_links = [dgs[0][0], fh, 0, 0, 0, 0]
    # Data blocks last: an unfinalized file's data runs to its end.
    for dg, raw, columns in dgs:
        b.set_link(dg, 2, data_blocks(raw, columns) if raw else 0)
    out = b.out
    ident = (b"UnFinMF " if "unfinalized" in words else b"MDF     ") + b"4.11    " + b"oracle  " + b"\0" * 4
    ident += struct.pack("<H", 411) + b"\0" * 30 + struct.pack("<HH", 4 if "unfinalized" in words else 0, 0)
    out[0:64] = ident
    hd = b"##HD" + b"\0" * 4 + struct.pack("<QQ", 104, 6) + struct.pack("<6Q", *hd_links)
    if "local" in words:
        # The start in local time (the tests' zone: UTC+1), flagged as such.
        hd += struct.pack("<QhhBBBBdd", start_ns + 3600 * 10 ** 9, 0, 0, 1, 0, 0, 0, 0, 0)
    else:
        hd += struct.pack("<QhhBBBBdd", start_ns, 0, 0, 0, 0, 0, 0, 0, 0)
    out[64:168] = hd
    out = bytes(out)
    if "unfinalized" in words:
        # The last DT block's length not yet written.
        last = out.rfind(b"##DT")
        out = out[:last + 8] + struct.pack("<Q", 0) + out[last + 16:]
    open(out_path, "wb").write(out)


def data_blocks_sd(b, sd, words):
    if "dz" in words or "hl" in words:
        z = zlib.compress(sd)
        return b.add("DZ", [], struct.pack("<2sBBIQQ", b"SD", 0, 0, 0, len(sd), len(z)) + z)
    return b.add("SD", [], sd)


def patch_vlsd(b, cg_at, target):
    """Points the DataBytes channel of the group at `target`."""
    at = struct.unpack_from("<Q", b.out, cg_at + 24 + 8)[0]
    todo = [at]
    while todo:
        at = todo.pop()
        while at:
            links = struct.unpack_from("<8Q", b.out, at + 24)
            name_at = links[2]
            name = bytes(b.out[name_at + 24:]).split(b"\0", 1)[0]
            if name.endswith(b".DataBytes"):
                b.set_link(at, 5, target)
            if links[1]:
                todo.append(links[1])
            at = links[0]


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "walk":
        for line in Walker(open(sys.argv[2], "rb").read()).walk():
            print(line)
    elif len(sys.argv) == 5 and sys.argv[1] == "build":
        build(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
