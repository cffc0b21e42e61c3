#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus (tests/fuzz/corpus). The files are committed; run this
again only to change them. Each seed is a small valid or nearly valid input of its parser."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# MIDI: a cut seed byte, then the stream.
put("midi_parser", "note-on-off", b"\x07\x90\x3c\x64\x80\x3c\x00")
put("midi_parser", "running-status", b"\x03\x90\x3c\x64\x3e\x64\x40\x00")
put("midi_parser", "sysex", b"\x11\xf0\x43\x10\x4c\x00\x00\x7e\x00\xf7")
put("midi_parser", "realtime-inside", b"\x05\x90\xf8\x3c\xfa\x64\xc0\x05\xf2\x01\x02\xf1\x10\xf3\x01\xf6")
put("midi_parser", "sysex-long", b"\x2a\xf0" + bytes(range(0x7f)) * 5 + b"\xf7")
put("midi_parser", "sysex-interrupted", b"\x01\xf0\x01\x02\x90\x3c\xf7\xb0\x07\x7f")


def chunk(cid, payload):
    pad = b"\x00" if len(payload) & 1 else b""
    return cid + struct.pack("<I", len(payload)) + payload + pad


def fmt(tag, channels, rate, bits, extensible_sub=None):
    align = channels * (4 if tag == 3 else bits // 8)
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)
    if extensible_sub is not None:
        body += struct.pack("<HHI", 22, bits, 0) + struct.pack("<H", extensible_sub) + b"\x00" * 14
    return chunk(b"fmt ", body)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


acid = chunk(b"acid", struct.pack("<IHHfIHHf", 1, 0, 0, 0.0, 8, 4, 4, 120.0))
pcm16 = riff(fmt(1, 2, 44100, 16), chunk(b"data", struct.pack("<8h", 0, 1, -1, 32767, -32768, 5, 6, 7)))
pcm24 = riff(fmt(1, 1, 48000, 24), acid, chunk(b"data", b"\x01\x02\x83" * 5))
pcm8 = riff(chunk(b"LIST", b"INFOxxxx"), fmt(1, 1, 8000, 8), chunk(b"data", b"\x00\x80\xff"))
flt = riff(fmt(3, 1, 48000, 32), chunk(b"data", struct.pack("<3f", 0.5, -1.0, 2.0)))
ext = riff(fmt(0xFFFE, 2, 96000, 32, extensible_sub=1), chunk(b"data", b"\x00" * 16))
short_size = pcm16[:-4]  # the data size says more than the file holds
for name, data in [("pcm16", pcm16), ("pcm24-acid", pcm24), ("pcm8-list", pcm8),
                   ("float", flt), ("extensible", ext), ("truncated", short_size)]:
    put("wav_reader", name, b"\x05" + data)
    put("wave_util", name, data)

# Loopback requests: a cut seed byte, then the bytes of the connection.
TOKEN = "00112233445566778899AABBCCDDEEFF"
put("xhr_request", "call", "\x10GET /%s/$$util_bytes?%%C3%%A9,x HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n" % TOKEN)
put("xhr_request", "post-localhost", "\x02POST /%s/$$app_ready HTTP/1.1\nHost: LOCALHOST:4321\nContent-Length: 3\n\nabc" % TOKEN)
put("xhr_request", "no-token", "\x01GET /$$app_exit HTTP/1.1\r\nHost: 127.0.0.1:4321\r\n\r\n")
put("xhr_request", "two-hosts", "\x01GET /%s/f HTTP/1.1\r\nHost: 127.0.0.1:4321\r\nHost: evil\r\n\r\n" % TOKEN)
put("xhr_request", "not-http", "\x01\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n")
put("xhr_request", "partial", "\x33GET /%s/f?a,b,c#frag HTTP/1.1\r\nHost: 127.0.0.1:43" % TOKEN)

# Bridge text: page text with escapes of every kind.
put("bridge_text", "percent", "a%20b%C3%A9%E2%80%A8%zz%4")
put("bridge_text", "hex", "F0437E00f7GZ1")
put("bridge_text", "literal", "it's \\ \"q\"\n\r\t\f\x01\x7f \xe2\x80\xa9 \xff\xc3")
put("bridge_text", "fields", "$$midi_send\fF0 7E\f\f")
put("bridge_text", "bool", "  -0007")

# Zev: two heights (16 bytes), an absence marker, then the page's JSON.
heights = struct.pack("<qq", 900, 872)
put("zev_geometry", "numbers", heights + b"\x00" + b'{"x":10,"y":20,"width":300,"height":200}')
put("zev_geometry", "texts", heights + b"\x00" + b'{"x":"12px","y":"-5","width":1e300,"height":-1e300}')
put("zev_geometry", "extremes", struct.pack("<qq", -2**63, 2**63 - 1) + b"\x00" +
    b'{"x":18446744073709551615,"y":-9223372036854775808,"width":true,"height":null}')
put("zev_geometry", "absent", heights + b"\xff")

# Module calls: mode byte (top bit: the JSON helpers), then per call a function selector,
# a presence mask and two NUL-terminated arguments.
uid = json.dumps({"MIDIEndpointUIDKey": 1})
calls = [
    bytes([0x00]),
    bytes([0, 3]) + uid.encode() + b"\x00\x00",
    bytes([1, 1]) + b"F07E7F0601F7\x00\x00",
    bytes([7, 3]) + b'{"x":1,"y":2,"width":3,"height":4}\x00x\x00',
    bytes([20, 3]) + b"1\x00" + uid.encode() + b"\x00",
]
put("module_arguments", "calls", b"".join(calls))
put("module_arguments", "all-selectors", b"\x00" + b"".join(bytes([i, 1]) + b"0\x00\x00" for i in range(64)))
put("module_arguments", "helper-words", b"\x80" + json.dumps(["echo", 1, -2.5, "x"]).encode())
put("module_arguments", "helper-uid", b"\x80" + b'{"MIDIEndpointUIDKey":"-2147483649"}')

# Network texts: a mode byte (0 BLE UUID, 1 peripheral id, 2 key/IV and ciphers, 3 machine
# cipher), then the text.
put("net_text", "uuid16", b"\x00180d")
put("net_text", "uuid128", b"\x000000180D-0000-1000-8000-00805F9B34FB")
put("net_text", "peripheral", b"\x01a1b2c3d4-0000-4000-8000-0123456789ab")
put("net_text", "keyiv", b"\x02000102030405060708090A0B0C0D0E0F/F0E0D0C0B0A09080706050403020100")
put("net_text", "cipher-blocks", b"\x03" + bytes(range(32)))


# Device link: a mode byte (odd: discovery bytes, even: a control-connection stream), a cut size,
# then the bytes.
def frame(ftype, sub, payload):
    return struct.pack(">BBH", ftype, sub, len(payload)) + payload


put("link_wire", "keepalive", b"\x00\x07" + frame(0, 0, b"") + frame(0, 1, b"\x04"))
put("link_wire", "midi-note", b"\x00\x03" + frame(2, 0, b"\x00\x00\x00\x09\x09\x90\x3c\x64"))
put("link_wire", "midi-sysex", b"\x00\x05" + frame(2, 0, b"\x00\x00\x00\x01" + b"\x04\xf0\x43\x10" + b"\x04\x4c\x00\x00" + b"\x07\x7e\x00\xf7"))
put("link_wire", "status", b"\x00\x0b" + frame(3, 0, bytes(range(32))))
put("link_wire", "too-long", b"\x00\x01" + struct.pack(">BBH", 2, 0, 0xFFFF))
