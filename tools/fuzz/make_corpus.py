#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target: a handful of valid inputs
each, in corpus/<target>/. Run it again after changing an input format."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STATION = "0000000101"
SERIAL = "00A7261209112000"


def crc16(data: bytes) -> int:
    # Polynomial 0xA001 (reflected 0x8005), initial value 0xFFFF.
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def uplink(code, body, centre="01", password="B7E2", start=b"\x02", station=STATION):
    if isinstance(body, str):
        body = body.encode("latin-1")
    head = b"\x01" + (centre + station + password + code + "0" + "%03X" % len(body)).encode() + start
    frame = head + body + b"\x03"
    return frame + ("%04X" % crc16(frame)).encode()


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    picture_header = " CAMID 01 PICTYPE 2 PICFLAG 3 ".ljust(71)
    frames = {
        "keepalive": uplink("2F", SERIAL),
        "test": uplink("30", SERIAL),
        "timed": uplink("32", SERIAL + " TT 2403000815 PJ 10.5 PT 1.5 Z 12.34 Q 0.5 PN05 2.0 "),
        "alarm": uplink("33", SERIAL + " ST 0000000101 TT 2612091120 Z 11.0 "),
        "hourly": uplink("34", SERIAL + " TT 2312312300 DRP FF0A000102030405060708090A DRZ1 "
                               "FFFF006400010002000300040005000600070008000904D2 "),
        "fiveminute": uplink("35", "00A7231231235800 ST 0000000101 K TT 2312312358 Z 3.21 "),
        "baseconfig": uplink("41", SERIAL + " ST 0000000101 01 0102030405060708 02 0000000101 03 B7E2 "
                                   "04 02192168001010005000 05 00 0C 01 0D 8001 0F 31303132 1F abc "),
        "runconfig": uplink("43", SERIAL + " ST 0000000101 20 01 21 10 22 5 23 1 24 2 25 0.5 26 0.1 "
                                  "27 3 28 4 38 6 "),
        "period": uplink("38", SERIAL + " ST 0000000101 TT 26120911 DRP 0102030405060708090A0B0C "),
        "clock": uplink("51", "00A7261209112033 ST 0000000101 "),
        "picture": uplink("81", "00C001" + picture_header + "\xff\xd8\xff\xe0", start=b"\x16"),
    }

    # The framing rule: byte 0 = number of block sizes, then the sizes, then the stream.
    stream = frames["timed"] + b"garbage\x01\x01" + frames["hourly"] + frames["keepalive"]
    write("fuzz_cut_frames", "three_frames_in_blocks", bytes([3, 6, 29, 99]) + stream)
    write("fuzz_cut_frames", "one_block", bytes([0]) + frames["picture"])
    write("fuzz_cut_frames", "bad_header_then_frame", bytes([1, 0]) + b"\x01" + b"x" * 22 + frames["alarm"])
    write("fuzz_cut_frames", "oversized", bytes([1, 255]) + b"\x01" + b"0" * 19 + b"FFF\x02" + b"a" * 4200)

    # The dispatcher: byte 0 = options (0 = the frame as it stands).
    for name, frame in frames.items():
        write("fuzz_parse_frame", name, bytes([0]) + frame)
    write("fuzz_parse_frame", "serial_fixed_up", bytes([1 | 2 | 4 | 8]) + frames["hourly"][:-9] + b"12 \x030000")

    # The registration packet: byte 0 even = the block as received, odd = a plaintext to encipher.
    plain = bytes([0x68, 0x12, 0x68, 0x02]) + STATION.encode() + b"1"
    write("fuzz_registration", "plaintext_fresh_start", bytes([1]) + plain)
    write("fuzz_registration", "plaintext_lower_hex", bytes([3]) + bytes([0x68, 0x13, 0x68, 0x02]) + b"0000000202 0")
    write("fuzz_registration", "block_not_hex", bytes([0]) + b"Z" * 48)
    write("fuzz_registration", "block_short", bytes([0]) + b"0123456789ABCDEF")
    write("fuzz_registration", "block_hex", bytes([0]) + b"0123456789ABCDEF" * 3)

    # The element decoders: byte 0 = identifier length, the identifier, the text.
    write("fuzz_elements", "hourly_body", bytes([3]) + b"DRP" + frames["hourly"])
    write("fuzz_elements", "time_value", bytes([0]) + b"2402290000")
    write("fuzz_elements", "level_value", bytes([4]) + b"DRZ1" + b"FFFF006400010002000300040005000600070008000904D2")
    write("fuzz_elements", "rain_value", bytes([2]) + b"TT" + b"FF0A000102030405060708090A")
    write("fuzz_elements", "timed_body", bytes([1]) + b"Z" + frames["timed"])

    # The answers: byte 0 = answer code (7 = 41, 9 = 43, 12 = 38, 13 = 51), bit 4 = asked station.
    write("fuzz_answers", "baseconfig", bytes([7 | 16]) + frames["baseconfig"])
    write("fuzz_answers", "runconfig", bytes([9]) + frames["runconfig"])
    write("fuzz_answers", "period_rain", bytes([12]) + frames["period"])
    write("fuzz_answers", "period_level", bytes([12]) + uplink("38", SERIAL + " ST 0000000101 TT 26120923 DRZ1 "
                                                                + "0102" * 24 + " "))
    write("fuzz_answers", "clock", bytes([13]) + frames["clock"])
    write("fuzz_answers", "version", bytes([1]) + uplink("45", SERIAL + " ST 0000000101 H VER 2.1"))

    # The profile file: byte 0 = buffer size choice, section line, key line, file.
    write("fuzz_profile_file", "settings", b"\x00Database\nDBMode\n"
          b"; server settings\n[Database]\nDBMode=1\nConnect = \"Driver=SQLite3;Database=a.db\"\n[Net]\nPort=5000\n")
    write("fuzz_profile_file", "texts_utf8", b"\x01MainFrame\nText18\n"
          b"\xef\xbb\xbf[MainFrame]\nText18=\xe6\xa0\xa1\xe9\xaa\x8c\xe7\xa0\x81\xe9\x94\x99\xe8\xaf\xaf \n")
    write("fuzz_profile_file", "quoted_cut", b"\x03Sect\nkey\n[sect]\r\nKEY = '  padded  '\r\n")
    write("fuzz_profile_file", "missing_section", b"\x00New\nkey\n[Old]\nkey=1\n")

    # Binary frames, as they are; the last seed is a text command for the
    # text-to-binary direction.
    binary = {
        "timed": "7E7E010012345678123432002B020006240506080005F1F1001234567848F0F0240506080020190000352619"
                 "00123439230001234538121268039B9F",
        "negative": "7E7E010012345678123433002C020007240506081709F1F1001234567848F0F024050608153923FF001235"
                    "0219FF005545200000000438121180032301",
        "uniform": "7E7E011090330853A00031004E020096260202090033F1F1109033085350F0F0260202080504180000053923"
                   + "FF" * 44 + "0000017003A2BC",
        "picture_packet": "7E7E0100123456781234360030160030010009240506090012F1F1001234567848F0F02405060900F3F3"
                          "FFD8FFE000104A4649460001010000010001000017906C",
        "ack": "7E7E00123456780112343280080200062405060800071BB32E",
    }
    for name, hex_text in binary.items():
        write("fuzz_binary_frame", name, bytes.fromhex(hex_text))
    command = b"\x010012345678011234" + b"38" + b"802B\x02" + b"0000240506100200" + b"2405060024050608 DRN05 DRP " + b"\x05"
    write("fuzz_binary_frame", "text_command", command + ("%04X" % crc16(command)).encode())
    return 0


if __name__ == "__main__":
    sys.exit(main())
