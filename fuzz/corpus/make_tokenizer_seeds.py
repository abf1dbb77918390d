"""Writes the seed inputs of fuzz_tokenizer into fuzz/corpus/tokenizer/.

Input forms the fuzzer reads (see fuzz/tokenizer.cc): a whole blob; a u16
blob length, the blob, then text; and a vocabulary of 0x01-separated entries
(first byte: bit 7 literal, low nibble score) up to a 0x00, then text.
Run from anywhere: python3 fuzz/corpus/make_tokenizer_seeds.py
"""

import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from pinnet_tools import tokenizer_blob as tb  # noqa: E402

OUT = os.path.join(ROOT, "fuzz", "corpus", "tokenizer")
M = tb.WORD_MARKER


def small_spec(dummy=True):
    pieces = [tb.Piece("<pad>", 0, tb.KIND_CONTROL), tb.Piece("</s>", 0, tb.KIND_CONTROL),
              tb.Piece("<s>", 0, tb.KIND_CONTROL), tb.Piece("<unk>", 0, tb.KIND_UNKNOWN),
              tb.Piece("<|im_start|>", 0, tb.KIND_LITERAL), tb.Piece("<|im_end|>", 0, tb.KIND_LITERAL),
              tb.Piece("<think>", 0, tb.KIND_LITERAL), tb.Piece("", 0, tb.KIND_LITERAL)]
    pieces += [tb.Piece(tb.byte_piece_text(b), 0, tb.KIND_BYTE) for b in range(0, 256, 3)]
    for i, t in enumerate([M, "a", "b", "c", "h", "i", M + "h", M + "hi", "ab", "bc", "abc",
                           "é", "中", M + M, "hi", "<", ">", "|"]):
        pieces.append(tb.Piece(t, -float(i % 4)))
    return tb.TokenizerSpec(pieces=pieces, pad_id=0, eos_id=1, bos_id=2, unk_id=3,
                            add_dummy_prefix=dummy, byte_fallback=True)


def with_text(blob, text):
    return struct.pack("<H", len(blob)) + blob + text.encode("utf-8")


def vocab_form(flags, entries, text):
    body = b"\x01".join(bytes([head]) + t.encode("utf-8") for head, t in entries)
    return bytes([flags]) + body + b"\x00" + text


def main():
    os.makedirs(OUT, exist_ok=True)
    good = tb.build_blob(small_spec())
    plain = tb.build_blob(small_spec(dummy=False))
    seeds = {
        "blob_whole": good,
        "blob_with_text": with_text(good, "<|im_start|>user hi abc é 中 😀<|im_end|>  <think>"),
        "blob_no_prefix_text": with_text(plain, " hi  hi\t<think>abcabc"),
        "blob_truncated": good[:len(good) // 2],
        "blob_zero_pieces": tb.build_blob(tb.TokenizerSpec()),
        "blob_bad_byte_piece": tb.build_blob(tb.TokenizerSpec(pieces=[tb.Piece("<0x4G>", 0, tb.KIND_BYTE)])),
        "blob_bad_utf8": tb.build_blob(tb.TokenizerSpec(pieces=[tb.Piece(b"\xed\xa0\x80")])),
        "blob_bad_special": tb.build_blob(tb.TokenizerSpec(pieces=[tb.Piece("a")], unk_id=5)),
        "vocab_round_trip": vocab_form(1, [(0x07, "ab"), (0x07, "bc"), (0x08, "abc"),
                                           (0x85, "<t>"), (0x03, M + "x"), (0x07, "aa")],
                                       "abc aaaa <t>x abcabc é".encode("utf-8")),
        "vocab_runs": vocab_form(0, [(0x07, "a" * n) for n in range(2, 9)], b"a" * 200),
    }
    for name, data in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
