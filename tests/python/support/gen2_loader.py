"""Generation-2 containers loaded in Python with the runtime's checks, in its
order and with its error texts: the tests state what a file should fail
with, and the reference loads what the writer produces."""
from __future__ import annotations

import math
import os
from pathlib import Path

import numpy as np

from pinnet_tools.cq_quantise import dequantise
from pinnet_tools.gen2 import (HEAD_CONFIDENCE, HEAD_CONTRASTIVE, LANE_MATRICES, Gen2Geometry,
                               Gen2Model, HeadSpec, canon, geometry_error, next_pow2)
from pinnet_tools.tesk import DTYPE_BYTES, TeskError, read_tesk
from pinnet_tools.tokenizer_blob import blob_error

F32 = np.float32


class LoadError(ValueError):
    """A failed load; str() is the text the runtime's exception carries."""


def head_code(value: float) -> int:
    """Manifest value to head code: clamped to 0..255, truncated toward zero
    (NaN gives 0)."""
    v = float(value)
    return 0 if math.isnan(v) else int(min(max(v, 0.0), 255.0))


def geometry_from_header(img) -> Gen2Geometry:
    h = img.header
    return Gen2Geometry(
        vocab_size=h["vocab"], d_model=h["d_model"], num_heads=h["num_heads"],
        num_kv_heads=h["num_kv_heads"], num_layers=h["num_layers"], head_dim=h["head_dim"],
        max_seq_len=h["max_seq_len"], hada_n=h["hada_n"], mhc_lanes=h["mhc_lanes"],
        kv_window=h["kv_window"], table_rows=h["table_rows"], sub_dim=h["sub_dim"],
        num_tables=h["num_tables"], conv_taps=h["conv_taps"], tap_spacing=h["tap_spacing"],
        orders=img.orders, engram_sites=img.engram_sites, rope_theta=img.rope_theta)


def weight_error(g: Gen2Geometry, t: dict, quant: dict, heads: list) -> str | None:
    """The model's weight checks after its geometry checks, then ours, then
    the probe-head checks: the first failing message.

    Unreachable from a container (the binder builds exactly one block per
    layer and one engram set per site, and the shape checks fix every dim of
    a codebook matrix): layer count, engram count, embedding shape, phi row
    count, phi width, engram table width. Float tensors are shape-checked on
    their dims but read by byte length, so every float length check below is
    reachable with dims that are right and a byte length that is not."""
    D, L, M = g.d_model, g.num_layers, g.mhc_lanes
    n = lambda k: t[k].size  # noqa: E731
    if n("final_norm") != D:
        return "final_norm width does not match d_model"
    if g.hada_n != next_pow2(D):
        return "hada_n is not d_model rounded up to a power of two"
    if t["embedding"].shape != (g.vocab_size, D):
        return "embedding shape does not match geometry"
    if any(n(k) != L for k in ("mhc_a_pre", "mhc_a_post", "mhc_a_res")):
        return "mhc a_* length does not match num_layers"
    if n("mhc_b_pre") != L * M or n("mhc_b_post") != L * M or n("mhc_b_res") != L * M * M:
        return "mhc b_* length does not match num_layers x lanes"
    rows = [t[k].shape[0] for k in LANE_MATRICES]
    if rows != [L * M, L * M, L * M * M]:
        return "mhc phi_* row count does not match num_layers x lanes"
    if t["mhc_phi_pre"].shape[1] != M * D:
        return "mhc phi_* width does not match lanes x d_model"
    for layer in range(L):
        b = lambda name: t[f"blocks.{layer}.{name}"].size  # noqa: E731
        if any(b(k) != g.hada_n for k in ("d1", "d2", "d3")):
            return "HadamardMLP diagonal width does not match hada_n"
        if b("q_norm") != g.head_dim or b("k_norm") != g.head_dim:
            return "q_norm/k_norm width does not match head_dim"
    for s in range(len(g.engram_sites)):
        if n(f"engram.{s}.taps") != g.conv_taps * D:
            return "engram taps shape does not match conv_taps x d_model"
        if t[f"engram.{s}.tables"].shape[1] != g.sub_dim:
            return "engram table width does not match sub_dim"
    # ours: widths the kernels assume, and one rotation per shared input
    for layer in range(L):
        pre = f"blocks.{layer}."
        for name in ("norm_in", "post_norm", "pre_hada"):
            if n(pre + name) != D:
                return f"{name} width does not match d_model"
        if n(pre + "attn_gate") != 1:
            return "attn_gate must hold one value"
        if len({quant[pre + k][1] for k in ("q_proj", "k_proj", "v_proj", "gate_proj")}) > 1:
            return "q/k/v/gate projections differ in quantisation group"
    if len({quant[k][1] for k in LANE_MATRICES}) > 1:
        return "mhc phi_* matrices differ in quantisation group"
    for s in range(len(g.engram_sites)):
        if quant[f"engram.{s}.key_proj"][1] != quant[f"engram.{s}.value_proj"][1]:
            return "engram key/value projections differ in quantisation group"
    for i, spec in enumerate(heads):
        P, O = spec.probes, spec.outputs
        if n(f"heads.{i}.probes") != P * D:
            return "head probes shape does not match num_probes * d_model"
        if n(f"heads.{i}.proj") != O * P * D:
            return "head proj shape does not match out_dim * num_probes * d_model"
        if n(f"heads.{i}.bias") != O:
            return "head bias length does not match out_dim"
    return None


def load_v2(data) -> Gen2Model:
    """A container (bytes or path) to the dequantised model the runtime binds,
    or LoadError with the runtime's text. Float tensors keep their canon
    shape; the tokenizer blob, when present, is kept unparsed."""
    if isinstance(data, (str, os.PathLike)):
        data = Path(data).read_bytes()
    try:
        img = read_tesk(data, 2)
        g = geometry_from_header(img)
        C, N = g.canon_len, len(img.entries)
        if N < C:
            raise TeskError(f"the canon for this geometry needs {C} tensors, directory has {N}")
        has_tok = N > C and img.entries[-1].dtype == DTYPE_BYTES
        R = N - C - int(has_tok)
        if 1 <= R <= 3 or (R and (R - 1) % 3):
            raise TeskError(f"{R} trailing tensors is not 1 + 3*heads for any head count")
        heads = []
        if R:
            manifest = img.floats(C)
            if len(manifest) != (R - 1) // 3:
                raise TeskError(f"{R} trailing tensors is not 1 + 3*heads for any head count")
            for i, value in enumerate(manifest):
                code = head_code(value)
                if code not in (HEAD_CONTRASTIVE, HEAD_CONFIDENCE):
                    raise TeskError(f"unknown probe-head code {code}")
                probes, proj = img.entries[C + 1 + 3 * i], img.entries[C + 2 + 3 * i]
                heads.append(HeadSpec(code, probes=probes.dims[0], outputs=proj.dims[0]))
        entries = list(canon(g, heads))
        for e in entries:
            img.check_shape(e.slot, e.shape, e.label)
            if e.label == "head probes" and e.shape[0] == 0:
                raise TeskError(f"tensor {e.slot} (head probes): shape "
                                f"[0, {g.d_model}, 0, 0] does not match geometry "
                                f"[1, {g.d_model}, 0, 0]")
        t, quant = {}, {}
        for e in entries:
            if e.kind == "cq":
                m = img.cq(e.slot)
                t[e.key] = np.asarray(dequantise(m, img.codebook), F32)
                quant[e.key] = (m.bits, m.group)
            else:
                v = img.floats(e.slot)
                size = int(np.prod(e.shape))
                t[e.key] = v.reshape(e.shape) if v.size == size else v
        blob = img.raw(N - 1) if has_tok else None
    except TeskError as err:
        raise LoadError(str(err)) from None
    if blob is not None:
        msg = blob_error(blob)
        if msg:
            raise LoadError(msg)
    msg = geometry_error(g) or weight_error(g, t, quant, heads)
    if msg:
        raise LoadError(f"model rejected: {msg}")
    return Gen2Model(geom=g, tensors=t, quant=quant, heads=heads, tokenizer_blob=blob)
