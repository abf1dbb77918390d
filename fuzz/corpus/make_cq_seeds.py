"""Writes the seed inputs of the cq fuzz target into fuzz/corpus/cq/: one
accepted tensor per bits code (2-, 3-, 4-bit and ternary) and group size.

Input layout (fuzz/cq.cc): bits code, log2(group), rows (u8), cols (u16 LE),
codebook length, then the blob; the blob is codes then binary16 scales, and a
longer blob is accepted, so each seed carries room for the widest packing.

    python3 fuzz/corpus/make_cq_seeds.py
"""

import struct
from pathlib import Path

OUT = Path(__file__).resolve().parent / "cq"


def seed(bits_code, log2_group, rows, cols):
    group = 1 << log2_group
    groups = -(-cols // group)
    codes = bytes((i * 37) & 0xFF for i in range(rows * cols))  # 8 bits per code: room for all
    scales = struct.pack("<e", 0.5) * (rows * groups)
    return bytes([bits_code, log2_group, rows]) + struct.pack("<H", cols) + bytes([28]) + codes + scales


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for bits, log2_group, rows, cols in [(2, 5, 3, 64), (3, 5, 2, 96), (4, 6, 4, 128),
                                         (4, 5, 1, 40), (5, 5, 2, 64)]:
        (OUT / f"bits{bits}_g{1 << log2_group}_{rows}x{cols}").write_bytes(seed(bits, log2_group, rows, cols))


if __name__ == "__main__":
    main()
