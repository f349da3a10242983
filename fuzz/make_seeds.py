#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets: valid and crafted WAV files of every format,
stream option texts, and embedding-file splits.

    make_seeds.py OUT_DIR      writes OUT_DIR/wav_read, OUT_DIR/stream_options, OUT_DIR/embeddings
"""
import math
import os
import struct
import sys


def chunk(cid, payload, declared=None):
    return cid + struct.pack("<I", len(payload) if declared is None else declared) + payload


def fmt(tag, channels, rate, bits, extra=b""):
    return struct.pack("<HHIIHH", tag, channels, rate, rate * channels * bits // 8, channels * bits // 8, bits) + extra


GUID_TAIL = bytes([0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71])


def fmt_extensible(sub_tag, channels, rate, bits, valid_bits, block_align=None):
    align = channels * bits // 8 if block_align is None else block_align
    return (struct.pack("<HHIIHH", 0xFFFE, channels, rate, rate * align, align, bits)
            + struct.pack("<HHII", 22, valid_bits, (1 << channels) - 1, sub_tag) + GUID_TAIL)


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def tone(n, bits, channels=1, as_float=False):
    out = b""
    for i in range(n):
        v = 0.6 * math.sin(i * 0.07)
        for _ in range(channels):
            if as_float:
                out += struct.pack("<f", v)
            elif bits == 16:
                out += struct.pack("<h", int(v * 32767))
            elif bits == 24:
                out += struct.pack("<i", int(v * 8388607))[:3]
            else:
                out += struct.pack("<i", int(v * 2147483647))
    return out


def wav_seeds():
    yield "pcm16_mono", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"data", tone(64, 16)))
    yield "pcm16_stereo", riff(chunk(b"fmt ", fmt(1, 2, 44100, 16)), chunk(b"data", tone(32, 16, 2)))
    yield "pcm24", riff(chunk(b"fmt ", fmt(1, 1, 48000, 24)), chunk(b"data", tone(32, 24)))
    yield "pcm32_3ch", riff(chunk(b"fmt ", fmt(1, 3, 8000, 32)), chunk(b"data", tone(16, 32, 3)))
    yield "float32", riff(chunk(b"fmt ", fmt(3, 1, 22050, 32)), chunk(b"data", tone(32, 32, as_float=True)))
    yield "extensible", riff(chunk(b"fmt ", fmt(0xFFFE, 1, 16000, 16, b"\x16\x00" + bytes(22))), chunk(b"data", tone(8, 16)))
    yield "ext_pcm16_4ch", riff(chunk(b"fmt ", fmt_extensible(1, 4, 16000, 16, 16)), chunk(b"data", tone(16, 16, 4)))
    yield "ext_pcm24", riff(chunk(b"fmt ", fmt_extensible(1, 2, 48000, 24, 24)), chunk(b"data", tone(16, 24, 2)))
    yield "ext_float", riff(chunk(b"fmt ", fmt_extensible(3, 6, 96000, 32, 32)), chunk(b"data", tone(8, 32, 6, as_float=True)))
    yield "ext_32_valid24", riff(chunk(b"fmt ", fmt_extensible(1, 2, 44100, 32, 24)), chunk(b"data", tone(16, 32, 2)))
    yield "ext_alaw", riff(chunk(b"fmt ", fmt_extensible(6, 1, 8000, 16, 16)), chunk(b"data", tone(8, 16)))
    yield "ext_short_extension", riff(chunk(b"fmt ", fmt(0xFFFE, 1, 16000, 16, b"\x16\x00")), chunk(b"data", tone(8, 16)))
    yield "pcm24_in_4_bytes", riff(chunk(b"fmt ", struct.pack("<HHIIHH", 1, 2, 48000, 48000 * 8, 8, 24)),
                                   chunk(b"data", b"".join(struct.pack("<i", v) for v in (-96, 23052, 1000, -1000))))
    yield "odd_chunk_padded", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"LIST", b"INFOa") + b"\x00", chunk(b"data", tone(8, 16)))
    yield "odd_fmt_padded", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16, b"\x00")) + b"\x00", chunk(b"data", tone(8, 16)))
    yield "pcm8", riff(chunk(b"fmt ", fmt(1, 1, 8000, 8)), chunk(b"data", bytes(16)))
    yield "fmt18", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16, b"\x00\x00")), chunk(b"data", tone(8, 16)))
    yield "list_chunk", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"LIST", b"INFOabcd"), chunk(b"data", tone(8, 16)))
    yield "odd_chunk", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"junk", b"abc"), chunk(b"data", tone(8, 16)))
    yield "data_first", riff(chunk(b"data", tone(8, 16)), chunk(b"fmt ", fmt(1, 1, 16000, 16)))
    yield "short_fmt", riff(chunk(b"fmt ", b"\x01\x00"), chunk(b"data", tone(8, 16)))
    yield "truncated_payload", riff(chunk(b"fmt ", fmt(1, 2, 16000, 16)), chunk(b"data", b"\x01\x02\x03", 1000))
    yield "huge_claim", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"data", tone(4, 16), 0xFFFFFFF0))
    yield "huge_skip", riff(chunk(b"fmt ", fmt(1, 1, 16000, 16)), chunk(b"LIST", b"", 0xFFFFFFFF))
    yield "zero_channels", riff(chunk(b"fmt ", fmt(1, 0, 16000, 16)), chunk(b"data", tone(4, 16)))
    yield "not_wave", b"RIFF\x04\x00\x00\x00AVI "
    yield "empty", b""


def option_seeds():
    texts = ['{"mode":"dsp"}', '{"mode":"DSP","latency_ms":100}', '{"latency_ms":20}', '{"latency_ms":1000}',
             '{"latency_ms":1001}', '{"latency_ms":100.0}', '{"latency_ms":"100"}', '{"Mode":"dsp"}',
             '{"mode":"x","mode":"dsp"}', '["mode","dsp"]', '{"mode":"dsp"', 'null', '{}',
             '{"latency_ms":-5}', '{"latency_ms":18446744073709551615}', '{"a":{"b":[1,2,{"c":null}]}}']
    for i, t in enumerate(texts):
        yield "options_%02d" % i, t.encode()


def embedding_seeds():
    one = struct.pack("<256f", *[math.sin(k * 0.1) for k in range(256)])
    yield "three_valid", bytes([85, 170]) + one * 3
    yield "one_short", bytes([85, 170]) + one + one[:1023] + one
    yield "only_deep", bytes([0, 255]) + one
    yield "long_files", bytes([100, 200]) + one * 5
    yield "nan_values", bytes([255, 0]) + struct.pack("<256f", *([float("nan")] * 256))


def main():
    root = sys.argv[1]
    for name, seeds in (("wav_read", wav_seeds()), ("stream_options", option_seeds()),
                        ("embeddings", embedding_seeds())):
        folder = os.path.join(root, name)
        os.makedirs(folder, exist_ok=True)
        for seed_name, data in seeds:
            with open(os.path.join(folder, seed_name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
