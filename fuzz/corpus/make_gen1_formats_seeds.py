"""Writes the seed inputs of fuzz_safetensors and fuzz_vocab into
fuzz/corpus/safetensors/ and fuzz/corpus/vocab/.

fuzz_safetensors reads an input as a whole file, and also as header text up
to the first 0x00 with the data section after it; fuzz_vocab reads the
vocabulary text up to the first 0x00 and the text to encode after it (see
fuzz/safetensors.cc and fuzz/vocab.cc). Run from anywhere:
python3 fuzz/corpus/make_gen1_formats_seeds.py
"""

import json
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
M = "\u2581"


def st_file(header, data=b""):
    text = header if isinstance(header, bytes) else json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + data


def entry(dtype, shape, begin, end):
    return {"dtype": dtype, "shape": shape, "data_offsets": [begin, end]}


def safetensors_seeds():
    full = {
        "__metadata__": {"d_model": "64", "n_layers": "2", "name": "gen1"},
        "f32": entry("F32", [2, 2], 0, 16),
        "bf16": entry("BF16", [4], 16, 24),
        "f16": entry("F16", [4], 24, 32),
        "i8": entry("I8", [8], 32, 40),
        "i4": entry("I4", [4, 4], 40, 48),
        "i4_bad": entry("I4", [5], 40, 48),
        "past": entry("F32", [1], 44, 52),
        "reversed": entry("I8", [1], 8, 4),
    }
    data = bytes(range(48))
    return {
        "full": st_file(full, data),
        "split_form": json.dumps(full).encode() + b"\x00" + data,
        "padded_header": st_file(b'  {"t": {"shape": [ 2 , 3 ], "data_offsets": [0, 24], "dtype": "F32"}}   ',
                                 bytes(24)),
        "empty_object": st_file(b"  {}  "),
        "not_object": st_file(b"[1]"),
        "bad_shape": st_file(b'{"t":{"dtype":"F32","shape":[2,,3],"data_offsets":[0,4]}}', bytes(4)),
        "three_offsets": st_file(b'{"t":{"dtype":"F32","shape":[1],"data_offsets":[0,4,8]}}'),
        "escaped_key": st_file(b'{"a\\"b":{"dtype":"I8","shape":[],"data_offsets":[0,1]},'
                               b'"__metadata__":{"q":"x\\"y","n":5,"o":{"k":[1,{"z":2}]}}}', b"\x80"),
        "too_short": b"\x01\x00\x00",
        "huge_length": struct.pack("<Q", (1 << 64) - 1) + b"{}",
    }


def vocab_text(pieces, scores=None):
    if scores is None:
        return "".join(p + "\n" for p in pieces).encode()
    return "".join(f"{p}\t{s}\n" for p, s in zip(pieces, scores)).encode()


def vocab_seeds():
    specials = ["<pad>", "</s>", "<s>", "<unk>"]
    byte_pieces = [f"<0x{b:02X}>" for b in range(0, 256, 5)] + ["<0xC3>", "<0xA9>"]
    words = [M, "a", "b", "c", "h", "e", "l", "o", M + "h", "he", "ll", "llo", M + "hello",
             "ab", "bc", "abc", M + "a", "é", M + M]
    scored = specials + byte_pieces + words
    scores = [0.0] * (len(specials) + len(byte_pieces)) + [-float(i % 5) for i in range(len(words))]
    text = "  hello   abc\té ab\u3000bc 😀 \xff ".encode("utf-8", "surrogateescape")
    return {
        "scored": vocab_text(scored, scores) + b"\x00" + text,
        "greedy": vocab_text(specials + byte_pieces + words) + b"\x00" + text,
        "greedy_longest": vocab_text([M + "a", M + "ab", "c"]) + b"\x00abc abcab",
        "crlf_and_odd_scores": b"a\t1e50\r\nb\tnan\r\nc\t-inf\n\t\nab\t+2\nbc\t0x10\na\r" + b"\x00abc bca",
        "ill_formed": vocab_text(["\xff", M], [1, 2]).replace(b"\xc3\xbf", b"\xff") + b"\x00\xff\xfe a",
        "no_vocab": b"\x00any text",
        "long_run": vocab_text(["a" * n for n in range(1, 9)], list(range(8))) + b"\x00" + b"a" * 300,
    }


def main():
    for name, seeds in (("safetensors", safetensors_seeds()), ("vocab", vocab_seeds())):
        out = os.path.join(ROOT, "fuzz", "corpus", name)
        os.makedirs(out, exist_ok=True)
        for seed, data in seeds.items():
            with open(os.path.join(out, seed), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
