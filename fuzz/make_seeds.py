#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/: well-formed exchanges for each
fuzz target, so the fuzzer starts from what a healthy device and system send.
The files it writes (next to this script) are committed."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def crc16(data, crc=0):
    # Polynomial 0x1021, initial 0, no reflection: the link's and the framing's CRC.
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# --- the command link --------------------------------------------------------

def link_frame(payload):
    body = bytes(payload) + struct.pack("<H", crc16(payload))
    out = [0x01]
    for b in body:
        if b in (0x01, 0x04, 0x10):
            out.append(0x10)
        out.append(b)
    return bytes(out + [0x04])


def link_report(payload):
    frame = link_frame(payload)
    return frame + b"\xff" * (64 - len(frame))


def feed(report):
    return bytes([len(report)]) + report


# Osprey Max, Japanese (13 + 60), version 2.70.
info = [0x06, 73, 2, 70, 1, 2]
write("fuzz_link_report", "device_info", b"\x00" + feed(link_report(info)))
write("fuzz_link_report", "text_then_info",
      b"\x00" + feed(link_report([0x0A] + list(b"Booting\r\n\0"))) + feed(link_report(info)))
write("fuzz_link_report", "foreign_then_info",
      b"\x00" + feed(link_report([0x3A, 1])) + b"\x00" + feed(link_report(info)))
write("fuzz_link_report", "escaped_info", b"\x00" + feed(link_report([0x06, 4, 1, 16, 4, 0])))
write("fuzz_link_report", "decode_one", b"\x81" + link_report(info))
write("fuzz_link_report", "decode_escaped", b"\x81" + link_report([0x0E, 0x10, 0x01, 0x04]))
write("fuzz_link_report", "decode_small_buffer", b"\x09" + link_report(info))

# --- bootloader packets -------------------------------------------------------


def packet(tag, params, flags=0):
    return bytes([tag, flags, 0, len(params)]) + b"".join(struct.pack("<I", p) for p in params)


def generic(status, command_tag):
    return packet(0xA0, [status, command_tag])


def hid_report(report_id, payload):
    r = bytes([report_id, 0]) + struct.pack("<H", len(payload)) + payload
    return r + b"\x00" * (36 - len(r))


def hid(report_id, payload):
    return feed(hid_report(report_id, payload))


def data_bytes(n):
    return bytes((i * 7 + 3) & 0xFF for i in range(n))


# (name, command selector bytes, what the device answers as a list of packets:
#  (kind, bytes), kind "cmd" or "data")
exchanges = [
    ("get_property_version", [0, 1], [("cmd", packet(0xA7, [0, 0x4B020800]))]),
    ("get_property_reserved", [0, 12], [("cmd", packet(0xA7, [0, 0x0, 0x9FFF, 0x1FFF0000, 0x20000000]))]),
    ("get_property_generic_error", [0, 4], [("cmd", generic(10000, 7))]),
    ("read_memory", [1, 16], [("cmd", packet(0xA3, [0, 32], flags=1)), ("data", data_bytes(32)),
                              ("cmd", generic(0, 3))]),
    ("write_memory", [2, 0], [("cmd", generic(0, 4)), ("cmd", generic(0, 4))]),
    ("erase_region", [3, 0], [("cmd", generic(0, 2))]),
    ("reset", [4, 0], [("cmd", generic(0, 11))]),
    ("read_once", [5, 0x81], [("cmd", packet(0xAF, [0, 8, 0x11223344, 0x55667788]))]),
    ("read_resource", [6, 8], [("cmd", packet(0xB0, [0, 16], flags=1)), ("data", data_bytes(16)),
                               ("cmd", generic(0, 16))]),
    ("fill_memory", [7, 16], [("cmd", generic(0, 5))]),
    ("security_disable_refused", [11, 0], [("cmd", generic(10001, 6))]),
]

for name, selector, answers in exchanges:
    reports = b"".join(hid(3 if kind == "cmd" else 4, p) for kind, p in answers)
    write("fuzz_usbhid_packetizer", name, bytes([0] + selector) + reports)
write("fuzz_usbhid_packetizer", "write_memory_abort",
      bytes([1, 2, 0]) + hid(3, generic(0, 4)) + hid(4, b"") + hid(3, generic(10002, 4)))
write("fuzz_usbhid_packetizer", "data_phase_abort",
      bytes([0, 1, 16]) + hid(3, packet(0xA3, [0, 32], flags=1)) + hid(4, b"") + hid(3, generic(0, 3)))


def serial_frame(kind, payload):
    head = bytes([0x5A, kind]) + struct.pack("<H", len(payload))
    return head + struct.pack("<H", crc16(head + payload)) + payload


ACK = b"\x5a\xa1"
NAK = b"\x5a\xa2"
ACK_ABORT = b"\x5a\xa3"

for name, selector, answers in exchanges:
    line = ACK  # the command frame is acknowledged
    for kind, p in answers:
        line += serial_frame(0xA4 if kind == "cmd" else 0xA5, p)
    if name == "write_memory":
        # The data (45 bytes) goes out in two frames, each acknowledged.
        line = ACK + serial_frame(0xA4, generic(0, 4)) + ACK + ACK + serial_frame(0xA4, generic(0, 4))
    write("fuzz_serial_packetizer", name, bytes([0x40] + selector) + line)
ping_body = struct.pack("<IH", 0x50010203, 0)
ping_answer = b"\x5a\xa7" + ping_body + struct.pack("<H", crc16(b"\x5a\xa7" + ping_body))
write("fuzz_serial_packetizer", "ping", bytes([0x01, 0, 0]) + ping_answer)
write("fuzz_serial_packetizer", "ping_after_noise", bytes([0x02, 0, 0]) + b"\x00\xff" + ping_answer)
write("fuzz_serial_packetizer", "nak_then_ack",
      bytes([0x40, 3, 0]) + NAK + ACK + serial_frame(0xA4, generic(0, 2)))
write("fuzz_serial_packetizer", "bad_crc_then_good",
      bytes([0x40, 3, 0]) + ACK + b"\x5a\xa4\x0c\x00\x00\x00" + generic(0, 2)
      + serial_frame(0xA4, generic(0, 2)))
write("fuzz_serial_packetizer", "target_ping_mid_read",
      bytes([0x40, 3, 0]) + ACK + b"\x5a\xa6" + serial_frame(0xA4, generic(0, 2)))
write("fuzz_serial_packetizer", "abort_data_phase",
      bytes([0x40, 2, 0]) + ACK + serial_frame(0xA4, generic(0, 4)) + ACK_ABORT
      + serial_frame(0xA4, generic(10002, 4)))

# --- command lines -------------------------------------------------------------

commands = [
    ["flash-erase-region", "0xa000", "0x76000"],
    ["write-memory", "0xa000", "{{20010000b5a40000 00 11 22}}"],
    ["write-memory", "0x0", "image.bin", "64"],
    ["read-memory", "0", "1024", "out.bin"],
    ["get-property", "1"],
    ["get-property", "external-memory-attributes", "1"],
    ["fill-memory", "0x20000000", "0x100", "0xff", "short"],
    ["flash-security-disable", "0123456789abcdef"],
    ["flash-program-once", "0", "8", "0123456789abcdef"],
    ["flash-read-resource", "0", "8", "1"],
    ["set-property", "10", "1"],
    ["execute", "0x1000", "0", "0x20001000"],
    ["reset"],
    ["receive-sb-file", "update.sb"],
    ["configure-quadspi", "1", "0x20000000"],
]
for i, args in enumerate(commands):
    write("fuzz_command_create", "%02d_%s" % (i, args[0]), "\0".join(args).encode())

# --- hex text ------------------------------------------------------------------

write("fuzz_hex_data", "braces", b"{{00112233445566778899aabbccddeeff}}")
write("fuzz_hex_data", "spaced", b"{{ 0x20, 0x01, 0x00, 0x00 }}")
write("fuzz_hex_data", "odd_digit", b"{{abc}}")
write("fuzz_hex_data", "upper", b"{{DEADBEEF CAFEF00D}}")

# --- mount table and volume texts -------------------------------------------

write("fuzz_mountinfo", "usb_drive",
      b"36 35 98:0 / /media/rider/QUORTA rw,nosuid,nodev shared:1 - vfat /dev/sdb1 rw,fmask=0022\n"
      b"22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n")
write("fuzz_mountinfo", "escaped_path",
      b"40 22 8:17 / /media/rider/My\\040GPS\\011x rw master:2 propagate_from:1 - fuseblk /dev/sdb1 rw\n")
write("fuzz_mountinfo", "label_enc", b"QUORTA\\x20GPS\\xe3\\x81\\x82 FAT32\n")
write("fuzz_mountinfo", "sysfs_path",
      b"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host3/block/sdb exfat\n")

# --- hardware ids -------------------------------------------------------------

write("fuzz_hardware_id", "application", b"2b29\n\x000055\n\x000100\n")
write("fuzz_hardware_id", "flash_bootloader", b"2b29\x00004d\x000001")
write("fuzz_hardware_id", "rom_bootloader", b"15a2\x000073\x000000")
write("fuzz_hardware_id", "hardware_id_text", b"USB\\VID_2B29&PID_0055&REV_0100")

# --- the radio ------------------------------------------------------------------


def raw_text(text):
    r = text.encode() + b"\0"
    return r + b"\0" * (64 - len(r))


def text_reply(text):
    return link_report([0x0A] + list(text.encode()) + [0])


write("fuzz_radio_version", "version", b"\x00" + feed(raw_text("nRF VERSION: 2.10.30.39")))
write("fuzz_radio_version", "version_after_noise",
      b"\x00" + b"\x00" + feed(raw_text("booting")) + feed(raw_text("nRF VERSION: 2.13.33.26")))
write("fuzz_radio_version", "version_two_dots", b"\x00" + feed(raw_text("nRF VERSION: 2.10.30")))
write("fuzz_radio_version", "progress_done",
      b"\x01" + feed(text_reply("*")) + feed(text_reply("*")) + b"\x00" + feed(text_reply("Succus!!")))
write("fuzz_radio_version", "progress_complete", b"\x01" + feed(text_reply("complete")))
write("fuzz_radio_version", "progress_failed",
      b"\x01" + feed(text_reply("*")) + feed(link_report([0x25] + list(b"NRF ERR\0"))))
write("fuzz_radio_version", "text", b"\x02" + b"nRF VERSION: 2.10.30.1039\0trailing")

# --- the font loader -------------------------------------------------------------


def letter(code, text):
    return link_report([ord(code)] + list(text.encode()) + [0])


write("fuzz_language_pack_status", "two_packs",
      feed(text_reply("Loading Kanji_11x12.bin")) + feed(letter("A", "Kanji_11x12.bin loaded"))
      + b"\x00" + feed(letter("B", "Kanji_18x18.bin loaded")))
write("fuzz_language_pack_status", "single_pack", feed(letter("C", "Kanji_19x19.bin loaded")))
write("fuzz_language_pack_status", "failed",
      feed(letter("A", "Kanji_11x12.bin loaded")) + feed(letter("D", "Kanji_18x18.bin missing")))
write("fuzz_language_pack_status", "gone", feed(letter("A", "Kanji_11x12.bin loaded")) + b"\xff")

# --- device traces -----------------------------------------------------------------

TRACES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "traces")

# The golden traces small enough to start from, as make traces wrote them.
for name in ("bl-write-memory", "erase-keys", "factory-reset"):
    with open(os.path.join(TRACES, name + ".jsonl"), "rb") as f:
        write("fuzz_trace_reader", name, f.read())

HEADER = ('{"about":"Quorta GPS device trace","format":1,"program":"quorta-updater",'
          '"version":"0.1.0"}\n')
DRIVE = HEADER + "".join(line + "\n" for line in [
    '{"name":"main","op":"thread","t":0,"th":1}',
    '{"ok":true,"op":"volumes","t":1,"th":1,"volumes":[{"drive":1,"fs":"FAT32",'
    '"label":"QUORTA","root":"/media/rider/QUORTA/"}]}',
    '{"drive":1,"entries":["Quorta/","nrf_update.bin"],"ok":true,"op":"listRoot",'
    '"root":"/media/rider/QUORTA/","t":2,"th":1}',
    '{"drive":1,"files":[{"crc32":"cbf43926","path":"Quorta/Rides/a.fit","size":9},'
    '{"crc32":"00000000","path":"Quorta/empty","size":0}],"folders":["Quorta","Quorta/Rides"],'
    '"op":"found","t":3}',
    '{"event":"VolumeRemoveComplete","op":"event","t":4}',
    '{"h":1,"op":"open","pid":"0055","t":5,"th":1,"vid":"2b29"}',
    '{"h":1,"hex":"000106c66004","n":6,"op":"write","t":6,"th":1}',
    '{"h":1,"n":0,"op":"read","size":64,"t":7,"th":1,"timeout":true,"wait":10000}',
    '{"h":1,"op":"close","t":8,"th":1}',
    '{"errno":13,"error":"permission denied: /dev/hidraw3","node":"/dev/hidraw3","op":"open",'
    '"pid":"0073","t":9,"th":1,"vid":"15a2"}',
    '{"crc32":"8bbf58e0","drive":1,"ok":true,"op":"wrote","path":"nrf_update.bin","size":113720,'
    '"t":10,"th":1}',
    '{"drive":1,"files":[{"crc32":"cbf43926","path":"Quorta/Rides/a.fit","size":9}],'
    '"folders":["Quorta/Rides"],"ok":true,"op":"copied","path":"Quorta","t":11,"th":1}',
    '{"op":"hid_exit","t":12,"th":1}',
    '{"exit":0,"op":"end","t":13}',
])
write("fuzz_trace_reader", "drive_and_link", DRIVE.encode())
write("fuzz_trace_reader", "cut_off", DRIVE[: len(DRIVE) // 2].encode())
write("fuzz_trace_reader", "expect",
      (HEADER + '{"name":"main","op":"thread","t":0,"th":1}\n'
       '{"op":"expect","exit":1,"title":"Osprey Max connected\\nVer: 14.52","detail":""}\n').encode())
# Large enough that a reader taking many times a trace's size in memory
# passes the fuzzer's memory limit (run-fuzz.sh): lines it refuses after the
# first, and short lines it keeps.
write("fuzz_trace_reader", "memory_refused", (HEADER + "{}\n" * 350000).encode())
write("fuzz_trace_reader", "memory_short_lines",
      (HEADER + '{"name":"main","op":"thread","t":0,"th":1}\n' +
       '{"op":"hid_exit","t":0,"th":1}\n' * 35000).encode())
