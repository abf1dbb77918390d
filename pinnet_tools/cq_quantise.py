"""Codebook quantisation, the writer side: float matrices to the packed
codes and half-precision group scales that the runtime's CqTensor reads, and
a NumPy dequantiser that mirrors the runtime's row decode.

Layout of one matrix (rows x cols, group g, bits code b):
  padded_cols = cols rounded up to a multiple of g; groups_per_row = padded_cols / g.
  Each row is zero-padded and split into groups; every group is stored in the
  Hadamard-rotated domain: r = H_g w / sqrt(g) (natural order, orthonormal and
  its own inverse). r is approximated by scale * level[code].
  Blob: rows * row_bytes code bytes (row_bytes = bits * padded_cols / 8, codes
  packed least significant bit first, rows byte-aligned), then
  rows * groups_per_row scales as little-endian binary16, row-major.
  Levels: bits code 2/3/4 index the header codebook slices 0..3 / 4..11 /
  12..27; bits code 5 is ternary with 2-bit codes: 1 -> +a, 3 -> -a,
  0 and 2 -> 0, a = 1.2240064 / sqrt(g).
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache
from statistics import NormalDist

import numpy as np

BITS_PER_CODE = {2: 2, 3: 3, 4: 4, 5: 2}
CODEBOOK_SLICES = {2: slice(0, 4), 3: slice(4, 12), 4: slice(12, 28)}
CODEBOOK_LEN = 28
TERNARY_A = np.float32(1.2240064)  # bits 0x3F9CAC3E


# ---------------------------------------------------------------- Hadamard

def fwht(x: np.ndarray) -> np.ndarray:
    """Normalised fast Walsh-Hadamard transform over the last axis, natural
    (Sylvester) order, in the array's own dtype: the butterflies are the exact
    add/subtract pairs of the runtime, then one multiply by 1/sqrt(n) computed
    in that dtype. Returns a new array."""
    x = np.array(x, copy=True)
    n = x.shape[-1]
    if n <= 0 or n & (n - 1):
        raise ValueError("FWHT length must be a power of two")
    lead = x.shape[:-1]
    h = 1
    while h < n:
        # (..., blocks, 2, h): element j of the first half pairs with j + h.
        y = x.reshape(*lead, n // (2 * h), 2, h)
        a = y[..., 0, :]
        b = y[..., 1, :]
        x = np.stack((a + b, a - b), axis=-2).reshape(*lead, n)
        h *= 2
    dt = x.dtype.type
    s = dt(1) / np.sqrt(dt(n))
    return x * s


# ---------------------------------------------------------------- codebook

_UNIT_NORMAL = NormalDist()


@lru_cache(maxsize=None)
def gaussian_lloyd_max(n: int, iterations: int = 2000) -> tuple:
    """The n-level minimum-MSE quantiser of a unit Gaussian (ascending).
    Lloyd iteration: thresholds at midpoints, each level the conditional
    mean E[x | t_i < x < t_{i+1}] = (phi(t_i) - phi(t_{i+1})) / (Phi(t_{i+1}) - Phi(t_i))."""
    levels = [_UNIT_NORMAL.inv_cdf((i + 0.5) / n) for i in range(n)]
    for _ in range(iterations):
        t = [-math.inf] + [(levels[i] + levels[i + 1]) / 2 for i in range(n - 1)] + [math.inf]
        new = []
        for i in range(n):
            lo, hi = t[i], t[i + 1]
            pa = 0.0 if lo == -math.inf else _UNIT_NORMAL.pdf(lo)
            pb = 0.0 if hi == math.inf else _UNIT_NORMAL.pdf(hi)
            mass = _UNIT_NORMAL.cdf(hi) - _UNIT_NORMAL.cdf(lo)
            new.append((pa - pb) / mass)
        if max(abs(a - b) for a, b in zip(new, levels)) < 1e-13:
            levels = new
            break
        levels = new
    return tuple(levels)


def header_codebook() -> np.ndarray:
    """The 28 header floats: Lloyd-Max levels of a unit Gaussian for 4, 8 and
    16 levels (cb2 | cb3 | cb4), ascending within each slice."""
    cb = [*gaussian_lloyd_max(4), *gaussian_lloyd_max(8), *gaussian_lloyd_max(16)]
    return np.array(cb, dtype=np.float32)


def levels_for(bits: int, group: int, codebook=None) -> np.ndarray:
    """The float32 level table indexed by code, as the runtime builds it."""
    if bits == 5:
        a = np.float32(TERNARY_A / np.sqrt(np.float32(group)))
        return np.array([0.0, a, 0.0, -a], dtype=np.float32)
    if bits not in CODEBOOK_SLICES:
        raise ValueError(f"unsupported bits code {bits}")
    cb = header_codebook() if codebook is None else np.asarray(codebook, dtype=np.float32)
    if cb.shape != (CODEBOOK_LEN,):
        raise ValueError(f"header codebook must hold {CODEBOOK_LEN} floats")
    return cb[CODEBOOK_SLICES[bits]].copy()


# ---------------------------------------------------------------- packing

def pack_codes(codes: np.ndarray, bits: int) -> np.ndarray:
    """(rows, n) codes < 2**bits -> (rows, bits*n/8) bytes, code k of a row in
    bits [k*bits, (k+1)*bits), bit i being bit i%8 of byte i//8."""
    codes = np.asarray(codes, dtype=np.uint8)
    rows, n = codes.shape
    if (n * bits) % 8:
        raise ValueError("a row's codes must fill whole bytes")
    shifts = np.arange(bits, dtype=np.uint8)
    bitplanes = (codes[:, :, None] >> shifts) & 1  # (rows, n, bits), low bit first
    return np.packbits(bitplanes.reshape(rows, n * bits), axis=1, bitorder="little")


def unpack_codes(packed: np.ndarray, bits: int, n: int) -> np.ndarray:
    """Inverse of pack_codes: (rows, bits*n/8) bytes -> (rows, n) codes."""
    packed = np.asarray(packed, dtype=np.uint8)
    rows = packed.shape[0]
    flat = np.unpackbits(packed, axis=1, bitorder="little")[:, : n * bits]
    planes = flat.reshape(rows, n, bits).astype(np.uint8)
    weights = (1 << np.arange(bits, dtype=np.uint8)).astype(np.uint8)
    return (planes * weights).sum(axis=2, dtype=np.uint32).astype(np.uint8)


# ---------------------------------------------------------------- matrices

@dataclass
class CqMatrix:
    """One quantised matrix: the fields of a dtype-3 directory entry plus its blob."""
    rows: int
    cols: int
    group: int
    bits: int                 # bits code: 2, 3, 4 or 5 (ternary)
    codes: np.ndarray         # (rows, row_bytes) uint8, packed
    scales: np.ndarray        # (rows, groups_per_row) float16

    @property
    def padded_cols(self) -> int:
        return -(-self.cols // self.group) * self.group

    @property
    def groups_per_row(self) -> int:
        return self.padded_cols // self.group

    @property
    def row_bytes(self) -> int:
        return BITS_PER_CODE[self.bits] * self.padded_cols // 8

    def blob(self) -> bytes:
        return self.codes.astype(np.uint8).tobytes() + self.scales.astype("<f2").tobytes()

    @classmethod
    def from_blob(cls, rows: int, cols: int, group: int, bits: int, blob: bytes) -> "CqMatrix":
        m = cls(rows, cols, group, bits, np.zeros((0, 0), np.uint8), np.zeros((0, 0), np.float16))
        nc = rows * m.row_bytes
        ns = rows * m.groups_per_row
        if len(blob) < nc + 2 * ns:
            raise ValueError("blob too short")
        m.codes = np.frombuffer(blob, dtype=np.uint8, count=nc).reshape(rows, m.row_bytes).copy()
        m.scales = np.frombuffer(blob, dtype="<f2", count=ns, offset=nc).reshape(
            rows, m.groups_per_row).astype(np.float16)
        return m


def _check_group(group: int) -> None:
    if group <= 0 or group & (group - 1) or group % 8:
        raise ValueError(f"group must be a power of two and a multiple of 8, got {group}")


def _nearest(x: np.ndarray, sorted_levels: np.ndarray, order: np.ndarray) -> np.ndarray:
    """Code of the nearest level for every element (ties go to the lower level)."""
    mids = (sorted_levels[1:] + sorted_levels[:-1]) * 0.5
    idx = np.searchsorted(mids, x, side="left")
    return order[idx]


_F16_MAX = float(np.finfo(np.float16).max)


def _fit(r: np.ndarray, s: np.ndarray, sorted_levels, order, code_levels):
    """One alternation step from scale s: nearest codes for r/s, then the
    least-squares scale for those codes, and that fit's squared error."""
    safe = np.where(s > 0, s, 1).astype(r.dtype)
    codes = _nearest(r / safe[..., None], sorted_levels, order)
    q = code_levels[codes]
    num = np.einsum("...i,...i->...", q, r)
    den = np.einsum("...i,...i->...", q, q)
    s_new = np.abs(np.where(den > 0, num / np.where(den > 0, den, 1), 0))
    # |r - s q|^2 = |r|^2 - 2 s <q,r> + s^2 |q|^2
    err = np.einsum("...i,...i->...", r, r) - 2 * s_new * np.abs(num) + s_new * s_new * den
    return s_new, err


# Starting scales tried for every group, as multiples of the RMS-matched one.
_START_FACTORS = (0.55, 0.7, 0.85, 1.0, 1.15, 1.3, 1.5)


def quantise(w, group: int = 64, bits: int = 4, codebook=None, iterations: int = 2) -> CqMatrix:
    """Quantise a (rows, cols) float matrix.

    Per row and group: rotate the zero-padded weights, then choose the scale
    that minimises the squared error. The error is not convex in the scale,
    so several starting scales around the RMS-matched one (unit-Gaussian
    levels cover an RMS of 1; the ternary a = 1.224/sqrt(g) is the Gaussian
    optimum for an RMS of 1/sqrt(g)) are each refined by `iterations` steps of
    alternating minimisation (nearest codes, then the least-squares scale),
    and the best is kept. The final codes are chosen against the scale as
    stored (rounded to binary16)."""
    _check_group(group)
    w = np.asarray(w, dtype=np.float32)
    if w.ndim != 2 or w.shape[0] == 0 or w.shape[1] == 0:
        raise ValueError("quantise expects a non-empty 2-D matrix")
    rows, cols = w.shape
    levels = levels_for(bits, group, codebook)
    order = np.argsort(levels, kind="stable")
    sorted_levels = levels[order]
    code_levels = levels

    padded = -(-cols // group) * group
    wp = np.zeros((rows, padded), dtype=np.float32)
    wp[:, :cols] = w
    r = fwht(wp.reshape(rows, padded // group, group))  # (rows, G, group) float32

    rms = np.sqrt(np.mean(r * r, axis=-1))
    base = rms * np.float32(math.sqrt(group) if bits == 5 else 1.0)
    best_s = base  # iterations == 0: the RMS-matched scale as is
    best_err = np.full(base.shape, np.inf, dtype=np.float32)
    for factor in _START_FACTORS if iterations > 0 else ():
        s = base * np.float32(factor)
        for _ in range(iterations):
            s, err = _fit(r, s, sorted_levels, order, code_levels)
        better = err < best_err
        best_s = np.where(better, s, best_s)
        best_err = np.where(better, err, best_err)
    s16 = np.minimum(best_s, _F16_MAX).astype(np.float16)
    s_stored = s16.astype(np.float32)
    safe = np.where(s_stored > 0, s_stored, 1)
    codes = _nearest(r / safe[..., None], sorted_levels, order).reshape(rows, padded)
    return CqMatrix(rows, cols, group, bits,
                    pack_codes(codes.astype(np.uint8), BITS_PER_CODE[bits]), s16)


def dequantise(m: CqMatrix, codebook=None) -> np.ndarray:
    """(rows, cols) float32, computed the way the runtime decodes a row: level
    times scale in float32, then the float32 normalised transform per group,
    then the padding columns dropped."""
    levels = levels_for(m.bits, m.group, codebook)
    codes = unpack_codes(m.codes, BITS_PER_CODE[m.bits], m.padded_cols)
    v = levels[codes].reshape(m.rows, m.groups_per_row, m.group)
    v = v * m.scales.astype(np.float32)[..., None]
    out = fwht(v.astype(np.float32)).reshape(m.rows, m.padded_cols)
    return out[:, : m.cols]
