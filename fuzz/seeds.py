#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Receive and reply inputs start with the fake port's chunk header: byte 0's
low nibble is the number of chunk sizes that follow (0: every read gets what
it asks for); bits 4 and 5 switch on the test pass-lists of the receive
targets. Reply inputs have a byte before that which picks the query.
"""
import os
import struct
import zlib
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


def sealed(report):
    """Ends a report as the adapter does: byte sum of the rest, CR, LF."""
    return report + [sum(report) & 0xFF, 0x0D, 0x0A]


def e1(flags=0x11, ident=0x123, data=range(1, 9)):
    return sealed([0xE1, flags] + list(struct.pack(">I", ident)) + list(data))


def e2(flags=0x81, ident=0x18DAF110):
    return sealed([0xE2, flags] + [0x10, 0, 0, 0, 0x20, 0xA1, 0x07, 0] + list(struct.pack(">I", ident)) +
                  list(range(0x10, 0x18)))


def f1(dlc, fd_flags=0x05, chan=1, ident=0x7FF):
    n = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64][dlc]
    payload = [(i * 7) & 0xFF for i in range(max(n, 8))]
    return sealed([0xF1, (dlc << 4) | chan, fd_flags] + list(struct.pack("<II", 16, 500000)) +
                  list(struct.pack(">I", ident)) + payload)


def status(b0, b1, bytes12):
    return sealed([b0, b1] + list(bytes12))


EE = sealed([0x99, 0x01, 0, 0, 0, 0])
BUS = status(0x99, 0x02, [0, 0x10, 0x20, 0x03, 0, 0, 0, 0x01, 0x02, 0x00, 0, 0])
PSR = status(0x99, 0x04, [0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0x05, 0, 0])
GETBUS = status(0x62, 0x02, [0, 0x01, 0x02, 0x03, 0, 0, 0, 0x04, 0x05, 0x06, 0, 0])


def receive_seeds():
    fd = {
        "e1": e1(), "e1_channel2": e1(0x12), "e2": e2(), "f1_dlc3": f1(3), "f1_dlc15": f1(15),
        "f1_no_fdf": f1(2, fd_flags=0x01), "ee_99_01": EE, "bus_99_02": BUS, "psr_99_04": PSR,
        "getbus_62_02": GETBUS,
    }
    for name, rep in fd.items():
        write("receive_canfd", name, [0x00] + rep)
    mixed = e1() + e2() + f1(3) + f1(15) + EE + BUS + PSR + GETBUS
    write("receive_canfd", "mixed", [0x00] + mixed)
    write("receive_canfd", "mixed_chunked", [0x04, 1, 0, 5, 30] + mixed)
    write("receive_canfd", "mixed_filtered", [0x30] + e1(0x11, 0x150) + e1(0x11, 0x200) + e1(0x16, 0x1000) + mixed)
    write("receive_canfd", "garbage_then_e1", [0x00, 0x55, 0xAA, 0x00] + e1())
    classic = {"e1": e1(), "e1_channel2": e1(0x12), "ee_99_01": EE, "bus_99_02": BUS, "getbus_62_02": GETBUS}
    for name, rep in classic.items():
        write("receive", name, [0x00] + rep)
    # Kinds the classic decoder does not take are consumed whole and skipped.
    mixed = e1() + e2() + EE + f1(3) + BUS + PSR + GETBUS + e1(0x82, 0x1FF)
    write("receive", "mixed", [0x00] + mixed)
    write("receive", "mixed_chunked", [0x03, 2, 0, 7] + mixed)
    write("receive", "mixed_filtered", [0x10] + e1(0x11, 0x150) + e1(0x11, 0x300) + mixed)


def reply(code, data, length):
    r = [code, 0] + list(data)
    r += [0] * (length - 3 - len(r))
    return sealed(r)


def reply_seeds():
    cfg = ([4, 0, 1] + [0, 0, 0x01, 0x23] + [0, 0, 0x07, 0xFF] +
           [8, 1, 2] + [0x18, 0xDA, 0xF1, 0x10] + [0x1F, 0xFF, 0xFF, 0xFF] + [0xFF])
    seeds = {
        "show_ver": (0, reply(ord("5"), [0x03, 0x01], 7) + reply(ord("6"), [0x12, 0x34], 7)),
        "can_status": (1, reply(0x60, [1, 0], 7)),
        "bldid": (2, reply(ord("6"), [0x12, 0x34], 7)),
        "get_cfg": (3, reply(ord("7"), cfg, 28)),
        "get_cfg_canfd": (4, reply(ord("G"), cfg + [1, 2, 0, 5], 32)),
        "timing_sel0": (5, reply(ord("L"), [0, 1, 2, 3, 4, 5, 6] + list(range(9)), 21)),
        "timing_sel2": (5 + 7 * 2, reply(ord("L"), [2, 1, 2, 3, 4, 5, 6] + list(range(9)), 21)),
        "vcom": (6, reply(ord("M"), [0, 1, 2] + list(range(0x40, 0x48)), 16)),
    }
    for name, (pick, data) in seeds.items():
        write("replies", name, [pick, 0x00] + data)
        write("replies", name + "_chunked", [pick, 0x02, 3, 1] + data)


def impcfg_seeds():
    d = [4, 0, 1, 0, 0, 0x01, 0x23, 0, 0, 0x07, 0xFF,
         8, 1, 2, 0x18, 0xDA, 0xF1, 0x10, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF]
    words = b"".join(struct.pack("<I", (i + 1) * (v + 1)) for i, v in enumerate(d))
    assert len(words) == 92
    write("impcfg", "valid", words)
    write("impcfg", "zeros", bytes(92))
    write("impcfg", "short", words[:40])


def open_seeds():
    status = reply(0x60, [0, 0], 7)
    ack = reply(ord("a"), [], 5)
    ver = reply(ord("5"), [0x03, 0x01], 7) + reply(ord("6"), [0x12, 0x34], 7)
    ver5 = reply(ord("5"), [0x05, 0x01], 7) + reply(ord("6"), [0x12, 0x34], 7)
    opened = status + status + ack + ver
    # Byte 0: operations less one (bit 7: a well-behaved adapter once the
    # bytes run out); then one byte per operation: port in bits 0-1,
    # operation in bits 4-6 (0 open, 1 open SCT, 2 close, 3 SocketCAN open,
    # 4 search, 5 pairing, 6 start/stop, 7 send).
    write("open", "open_close", [0x01, 0x00, 0x20] + [0x00] + opened)
    write("open", "open_twice", [0x02, 0x01, 0x01, 0x21] + [0x00] + opened)
    write("open", "open_fails", [0x01, 0x02, 0x02] + [0x00] + status + reply(0x60, [0, 0], 7)[:3])
    write("open", "generation5_pairs", [0x81, 0x00, 0x20] + [0x00] + status + status + ack + ver5)
    write("open", "open_send_close", [0x83, 0x00, 0x6C, 0x7C, 0x20] + [0x00])
    write("open", "search", [0x80, 0x40] + [0x00])
    write("open", "socketcan", [0x82, 0x33, 0x53, 0x23] + [0x00])


def text_seeds():
    for name, text in {"empty": b"", "byte": b"a5", "digit": b"5", "id11": b"7FF", "id29": b"18DAF110",
                       "long": b"123456789ABCDEF0", "lower": b"deadbeef", "bad": b"zz!0", "paste": b"1 2\t3"}.items():
        write("text_convert", name, text)


def dbc_seeds():
    """The example databases and short files of each construct and oddity."""
    examples = os.path.join(HERE, "..", "dbc", "examples")
    for name in sorted(os.listdir(examples)):
        with open(os.path.join(examples, name), "rb") as f:
            write("dbc", "example_" + name.replace(".dbc", ""), f.read())
    sig = ' SG_ S : 0|8@1+ (1,0) [0|255] "" X\n'
    for name, text in {
        "minimal": 'VERSION ""\nNS_ :\n\tCM_\nBS_:\nBU_: X\nBO_ 100 A: 8 X\n' + sig,
        "crlf_latin1": 'BO_ 100 A: 8 X\r\n SG_ T : 0|8@1- (0.5,-40) [-40|87.5] "\xb0C" X\r\n'
                       'CM_ SG_ 100 T "Temperatur \xb0C\r\nzweite Zeile";',
        "motorola": 'BO_ 2147483905 A: 64 X\n SG_ B : 7|64@0- (1,0) [0|0] "" X\n SG_ C : 503|16@0+ (1,0) [0|0] "" X\n',
        "floats": 'BO_ 100 A: 16 X\n SG_ F : 0|32@1- (1,0) [0|0] "" X\n SG_ D : 71|64@0- (1,0) [0|0] "" X\n'
                  'SIG_VALTYPE_ 100 F : 1;\nSIG_VALTYPE_ 100 D : 2;\n',
        "mux": 'BO_ 100 A: 8 X\n SG_ M M : 0|4@1+ (1,0) [0|15] "" X\n SG_ P m1 : 8|8@1+ (1,0) [0|0] "" X\n'
               ' SG_ Q m2 : 8|16@0- (0.1,0) [0|0] "" X\nVAL_ 100 M 1 "One" 2 "Two" ;\n',
        "extended_mux": 'BO_ 100 A: 8 X\n SG_ M M : 0|8@1+ (1,0) [0|0] "" X\n SG_ N m1M : 8|4@1+ (1,0) [0|0] "" X\n'
                        ' SG_ P m0 : 16|16@1+ (1,0) [0|0] "" X\nSG_MUL_VAL_ 100 N M 1-2;\n'
                        'SG_MUL_VAL_ 100 P N 0-3, 5-9;\n',
        "attributes": 'BO_ 100 A: 8 X\n' + sig + 'BA_DEF_ BO_ "GenMsgCycleTime" INT 0 65535;\n'
                      'BA_DEF_ BO_ "VFrameFormat" ENUM "StandardCAN","ExtendedCAN","StandardCAN_FD";\n'
                      'BA_DEF_ SG_ "GenSigStartValue" FLOAT 0 100;\nBA_DEF_DEF_ "VFrameFormat" "StandardCAN_FD";\n'
                      'BA_ "GenMsgCycleTime" BO_ 100 10;\nBA_ "GenSigStartValue" SG_ 100 S 7;\n'
                      'BA_DEF_ SG_ "SystemSignalLongSymbol" STRING;\n'
                      'BA_ "SystemSignalLongSymbol" SG_ 100 S "ALongerNameThanThirtyTwoCharacters";\n',
        "oddities": 'BO_ 2048 A: 2 X\n SG_ S m : 0|4@1+ (1,0) [0|15] "" X\n SG_ T m1 : 16|8@1+ (1,0) [0|0] "" X\n'
                    'NEW_THING_ 1 2;\nEV_ E: 0 [0|1] "" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\n',
        "bad_truncated": 'BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|2',
        # What real files from other tool chains hold beyond the format's description.
        "line_comments": 'VERSION "2.0" // generated\n// alone\nBO_ 100 A: 8 X // after\n' + sig +
                         'CM_ BO_ 100 "a // b"; // after\n',
        "values_unended": 'BO_ 100 A: 8 X\n' + sig + 'VAL_ 100 S 1 "one" 2 "two"\nVAL_TABLE_ T 0 "zero" CM_ "x";\n'
                          'VAL_ 100 S 3 "three"',
        "comment_no_signal": 'BO_ 304 A: 8 X\n' + sig + 'CM_ SG_ 304 "the message";\n',
        "digit_names": 'BU_: 2ND\nBO_ 100 2017_5: 8 2ND\n SG_ 0_COUNTER : 0|4@1+ (1,0) [0|15] "" 2ND\n'
                       'VAL_ 100 0_COUNTER 1 "one";\nCM_ SG_ 100 0_COUNTER "c";\n',
        "nodes_lines": 'BU_:\n\tNEO\n\tMCU\nBO_ 100 A: 8 NEO\n SG_ S : 7|16@0- (1,0) [0|0] "" MCU,\n  NEO\n',
        "unknown_unended": 'NEW_SECTION_ 1 2 "a;b"\n 3\nBO_ 100 A: 8 X\n' + sig + 'EV_ E: 0 [0|1] "" 0 1 N X\n'
                           'BO_ 101 B: 8 X\nFANCY_ 1',
    }.items():
        write("dbc", name, text.encode("latin-1"))


def can_packet(word, data, fd_flags=None, word_big=True):
    """A SocketCAN frame: identifier word, length, flags, data, padded to 16 or 72 bytes."""
    p = struct.pack(">I" if word_big else "<I", word) + bytes([len(data), fd_flags or 0, 0, 0]) + bytes(data)
    return p.ljust(72 if fd_flags is not None else 16, b"\0")


def pcapng_block(order, kind, body):
    body = body + b"\0" * (-len(body) % 4)
    n = len(body) + 12
    return struct.pack(order + "II", kind, n) + body + struct.pack(order + "I", n)


def pcap_seeds():
    frames = [(0x123, b"\xde\xad\xbe\xef", None), (0x80000000 | 0x1ABCDEF0, b"\x00\x11", None),
              (0x40000123, b"", None), (0x9ABCDEF0, bytes(range(12)), 0x05), (0x20000080, bytes(8), None)]
    for order, tag in (("<", "le"), (">", "be")):
        pcap = struct.pack(order + "IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262144, 227)
        for i, (w, d, fl) in enumerate(frames):
            p = can_packet(w, d, fl)
            pcap += struct.pack(order + "IIII", 1700000000 + i, 123456, len(p), len(p)) + p
        write("pcap", "pcap_" + tag, pcap)
        opt = struct.pack(order + "HH", 2, 4) + b"can0" + struct.pack(order + "HHB3x", 9, 1, 9) + bytes(4)
        ng = pcapng_block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1))
        ng += pcapng_block(order, 1, struct.pack(order + "HHI", 227, 0, 262144) + opt)
        ng += pcapng_block(order, 1, struct.pack(order + "HHI", 1, 0, 262144) + bytes(4))
        for i, (w, d, fl) in enumerate(frames):
            p = can_packet(w, d, fl)
            ts = (1700000000 + i) * 10**9 + 123456789
            ng += pcapng_block(order, 6, struct.pack(order + "IIIII", 0, ts >> 32, ts & 0xFFFFFFFF, len(p), len(p)) +
                               p + struct.pack(order + "HHI", 2, 4, 2 if i % 2 else 1) + bytes(4))
        ng += pcapng_block(order, 6, struct.pack(order + "IIIII", 1, 0, 5, 4, 4) + b"abcd" + bytes(4))
        ng += pcapng_block(order, 5, struct.pack(order + "III", 0, 0, 0) + bytes(4))
        write("pcap", "pcapng_" + tag, ng)
    swapped = struct.pack("<IHHiIII", 0xA1B23C4D, 2, 4, 0, 0, 65535, 227)
    for i, (w, d, fl) in enumerate(frames[:2] + frames[4:]):
        p = can_packet(w, d, fl, word_big=False)
        swapped += struct.pack("<IIII", 1700000000 + i, 999999999, len(p), len(p)) + p
    write("pcap", "pcap_swapped_ids_nano", swapped)
    for link, tag in ((113, "sll"), (276, "sll2")):
        cooked = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link)
        for i, (proto, kind, payload) in enumerate([(0x000C, 4, can_packet(0x123, b"\x01\x02", word_big=False)),
                                                    (0x0800, 0, bytes(20)),
                                                    (0x000D, 0, can_packet(0x80012345, bytes(12), 0x01, False))]):
            if link == 113:
                head = struct.pack(">HHH8sH", kind, 280, 0, bytes(8), proto)
            else:
                head = struct.pack(">HHIHBB8s", proto, 0, 3, 280, kind, 0, bytes(8))
            cooked += struct.pack("<IIII", 1700000000, i, len(head + payload), len(head + payload)) + head + payload
        write("pcap", "pcap_cooked_" + tag, cooked)


TRC_SAMPLES = {
    "v1_0": ";   Start time: 14.11.2023 22:13:19.123\n"
            "     1)      1841 0123 8 00 11 22 33 44 55 66 77\n"
            "     2)      1842 1ABCDEF0 2 AA BB\n"
            "     3)      1843 0008 4 ERROR 00 19 08 08\n"
            "     4)      1844 FFFFFFFF 4 00 00 00 04 ------BUSLIGHT\n"
            "     5)      1845 0100 3 RTR\n",
    "v1_1": ";$FILEVERSION=1.1\r\n;$STARTTIME=45244.925925925926\r\n"
            "     1)      1841.0  Rx         0123  8  00 11 22 33 44 55 66 77\r\n"
            "     2)      1842.5  Tx     1ABCDEF0  2  AA BB\r\n"
            "     3)      1843.0  Warng  FFFFFFFF  4  00 00 00 08 BUSHEAVY\r\n"
            "     4)      1844.0  Error      0008  4  00 19 08 08\r\n",
    "v1_2": ";$FILEVERSION=1.2\r\n;$STARTTIME=45244.925925925926\r\n"
            "     1)      1841.001 1  Rx         0123  8  00 11 22 33 44 55 66 77\r\n"
            "     2)      1842.500 2  Tx     1ABCDEF0  2  AA BB\r\n",
    "v1_3": ";$FILEVERSION=1.3\r\n;$STARTTIME=45244.925925925926\r\n"
            "     1)      1841.001 1  Rx         0123 -  8  00 11 22 33 44 55 66 77\r\n"
            "     2)      1844.000 2  Rx         0100 -  3  RTR\r\n",
    "v2_0": ";$FILEVERSION=2.0\r\n;$STARTTIME=45244.925925925926\r\n;$COLUMNS=N,O,T,I,d,l,D\r\n"
            "      1      1841.001 DT     0123 Rx 8  00 11 22 33 44 55 66 77\r\n"
            "      2      1842.500 FD 1ABCDEF0 Tx 12 01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
            "      3      1843.000 ST          Rx    00 00 00 08\r\n"
            "      4      1845.000 ER        - Rx 5  04 00 02 00 00\r\n"
            "      5      1846.000 EV User event text\r\n",
    "v2_1": ";$FILEVERSION=2.1\r\n;$STARTTIME=45244.925925925926\r\n;$COLUMNS=N,O,T,B,I,d,R,L,D\r\n"
            "      1      1841.001 DT  1     0123 Rx -  8    00 11 22 33 44 55 66 77\r\n"
            "      2      1842.500 FE  2 1ABCDEF0 Tx -  9    01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
            "      3      1843.000 BI  1     0400 Rx -  1    FF\r\n"
            "      4      1844.000 RR  2     0100 Rx -  3\r\n"
            "      5      1846.000 DT  1     0321 Rx -  15   01 02 03 04 05 06 07 08\r\n",
    "v2_1_reordered": ";$FILEVERSION=2.1\n;$STARTTIME=45244.5\n;$COLUMNS=O,N,B,T,d,I,L,D,R\n"
                      "      1001.000  1  2 DT Rx     0123 2 AA BB -\n",
}


def trc_seeds():
    for name, text in TRC_SAMPLES.items():
        write("trc", name, text.encode())


def blf_object(kind, body, stamp=1000, version=1, flags=2):
    """A BLF object with a version 1 or 2 header, padded by its size % 4."""
    header = 40 if version == 2 else 32
    size = header + len(body)
    o = b"LOBJ" + struct.pack("<HHII", header, version, size, kind) + struct.pack("<I", flags)
    o += struct.pack("<BBHQQ", 0, 0, 0, stamp, 0) if version == 2 else struct.pack("<HHQ", 0, 0, stamp)
    return o + body + bytes(size % 4)


def blf_container(data, compressed=True):
    payload = zlib.compress(data) if compressed else data
    size = 32 + len(payload)
    return (b"LOBJ" + struct.pack("<HHII", 16, 1, size, 10) + struct.pack("<H6xI4x", 2 if compressed else 0,
                                                                          len(data)) + payload + bytes(size % 4))


def blf_file(*parts):
    header = b"LOGG" + struct.pack("<I8BQQII8H8H", 144, 0, 0, 0, 0, 2, 6, 8, 1, 0, 0, 0, 0,
                                   2023, 11, 2, 14, 23, 13, 19, 123, 2023, 11, 2, 14, 23, 13, 20, 0)
    return header + bytes(144 - len(header)) + b"".join(parts)


def blf_seeds():
    """BLF files of each object kind, container kind and the ways they join."""
    msg = blf_object(86, struct.pack("<HBBI8s", 1, 0x01, 8, 0x123, bytes(range(8))) + bytes(8))
    msg1 = blf_object(1, struct.pack("<HBBI8s", 2, 0x80, 3, 0x80000456, bytes(8)), 12345, 1, 1)
    fd = blf_object(100, struct.pack("<HBBIIBBBBI", 1, 0, 9, 0x7FF, 0, 0, 0x07, 12, 0, 0) + bytes(range(64)))
    fd_short = blf_object(100, struct.pack("<HBBIIBBBBI", 2, 0, 13, 0x100, 0, 0, 0x01, 32, 0, 0) + bytes(20))
    fd64 = blf_object(101, struct.pack("<BBBBIIIIIIIHBBI", 1, 15, 64, 0, 0x80000001, 0, 0x7000, 0, 0, 0, 0, 0, 1, 0, 0)
                      + bytes(range(64)), 2000, 2)
    fd64_ext = blf_object(101, struct.pack("<BBBBIIIIIIIHBBI", 2, 10, 16, 0, 0x102, 0, 0x1000, 0, 0, 0, 0, 0, 0,
                                           32 + 40 + 12, 0) + bytes(12) + struct.pack("<II", 1, 2))
    err = blf_object(2, struct.pack("<HH", 1, 0), 900, 1, 1)
    err_ext = blf_object(73, struct.pack("<HH", 2, 0) + bytes(28))
    err_fd = blf_object(104, bytes([1]) + bytes(107))
    text = blf_object(65, struct.pack("<III", 0, 4, 0) + b"text")
    every = msg + msg1 + fd + fd_short + fd64 + fd64_ext + err + err_ext + err_fd + text
    write("blf", "every_kind_zlib", blf_file(blf_container(every)))
    write("blf", "every_kind_stored", blf_file(blf_container(every, False)))
    write("blf", "across_containers", blf_file(blf_container(every[:100]), blf_container(every[100:101], False),
                                               blf_container(every[101:])))
    write("blf", "outside_containers", blf_file(msg, blf_container(fd + msg), fd64))
    write("blf", "empty", blf_file())
    write("blf", "cut", blf_file(blf_container(every))[:300])


def mf4_seeds():
    """MF4 files of each layout, built by the trace tests' own MDF builder."""
    import tempfile
    sys.dont_write_bytecode = True
    sys.path.insert(0, os.path.join(HERE, "..", "tests"))
    import mf4_oracle
    start = mf4_oracle.START_NS // 1000
    frames = "\n".join([
        "%d 1 d 123 0 4 4 0 0 0 0 DEADBEEF" % start,
        "%d 2 d 1ABCDEF0 1 9 12 1 1 1 0 00112233445566778899AABB" % (start + 10),
        "%d 1 r 7FF 0 3 0 0 0 0 0 -" % (start + 20),
        "%d 2 e 0 0 0 0 1 0 0 0 -" % (start + 30),
    ]) + "\n"
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "frames.txt")
        with open(path, "w") as f:
            f.write(frames)
        for layout in ["sorted,dt", "sorted,dz", "sorted,dzt", "sorted,hl,sd,t=u32:5", "unsorted,dl,vlsdcg",
                     "unsorted,dt,other,ide31,t=f64", "unsorted,unfinalized,partial", "sorted,dl,t=u32be:5"]:
            out = os.path.join(tmp, "out.mf4")
            mf4_oracle.build(layout, path, out)
            with open(out, "rb") as f:
                write("mf4", layout.replace(",", "_").replace("=", "").replace(":", ""), f.read())


def isotp_seeds():
    """Byte 0: addressing, CAN FD, block size; byte 1: STmin; then frames
    as (milliseconds, length | 0x80 for the other direction, payload)."""
    def frame(ms, payload, other=False):
        return [ms, len(payload) | (0x80 if other else 0)] + list(payload)

    first = [0x10, 0x14] + list(range(6))
    write("isotp", "single", [0, 0] + frame(0, [0x03, 0x62, 0xF1, 0x90]))
    write("isotp", "segmented", [0x08, 0x05] + frame(0, first) + frame(1, [0x21] + list(range(6, 13))) +
          frame(1, [0x22] + list(range(13, 20))))
    write("isotp", "flow_control_and_wait", [0, 0] + frame(0, [0x31, 0, 0]) + frame(5, [0x30, 2, 0xF5]) +
          frame(5, [0x30, 0, 0]))
    write("isotp", "wrong_sequence", [0, 0] + frame(0, first) + frame(1, [0x23] + list(range(6, 13))))
    write("isotp", "escaped_first_frame", [0x04, 0] + frame(0, [0x10, 0, 0, 0, 0x10, 0] + list(range(58))) +
          frame(1, [0x21] + list(range(63))))
    write("isotp", "fd_single", [0x04, 0] + frame(0, [0x00, 0x0A] + list(range(10))))
    write("isotp", "extended", [0x01, 0] + frame(0, [0x10, 0x03, 0x62, 0xF1, 0x90]) +
          frame(0, [0x10, 0x30, 0, 0]))
    write("isotp", "timeout", [0, 0] + frame(0, first) + frame(255, []) + frame(255, []) + frame(255, []) +
          frame(255, [0x21] + list(range(6, 13))))


def regression_seeds():
    """Regression inputs, sealed so that they pass a trailer check too."""
    d = os.path.join(HERE, "regressions")
    for target, name, report in [
        ("receive_canfd", "regression_channel_bits_3_sealed", e1(0x4F, 0x7E010000)),
        ("receive_canfd", "regression_channel_bits_0_f1", f1(3, chan=0)),
        ("receive", "regression_channel_bits_0", e1(0x10)),
        ("receive", "regression_channel_bits_3", e1(0x13)),
    ]:
        os.makedirs(os.path.join(d, target), exist_ok=True)
        with open(os.path.join(d, target, name), "wb") as f:
            f.write(bytes([0x00] + report))


if __name__ == "__main__":
    receive_seeds()
    reply_seeds()
    impcfg_seeds()
    open_seeds()
    regression_seeds()
    text_seeds()
    dbc_seeds()
    pcap_seeds()
    trc_seeds()
    blf_seeds()
    mf4_seeds()
    isotp_seeds()
