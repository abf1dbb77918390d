"""Malformed generation-2 containers: one per load error of the binder, the
model's geometry and weight checks, our own extra checks and the probe
heads, each with the exact text the loader prints."""
from __future__ import annotations

import numpy as np

from pinnet_tools.cq_quantise import quantise
from pinnet_tools.gen2 import (HEAD_CONFIDENCE, HEAD_CONTRASTIVE, Gen2Geometry, HeadSpec, canon,
                               container_tensors, random_model)
from pinnet_tools.tesk import (DTYPE_CQ, DTYPE_F16, DTYPE_F32, Tensor, bytes_tensor, cq_tensor,
                               f32_tensor, write_tesk)
from pinnet_tools.tokenizer_blob import (KIND_CONTROL, KIND_UNKNOWN, Piece, TokenizerSpec,
                                         build_blob)

from . import Defect

F32 = np.float32


def defect_geometry() -> Gen2Geometry:
    """The valid base of every defect: C = 43 (final_norm at 42), blocks at
    1..28 (block 0: norm_in 1, q_proj 2, attn_gate 10), lane globals 29..37,
    engram set 38..41."""
    return Gen2Geometry(
        vocab_size=64, d_model=32, num_heads=4, num_kv_heads=2, num_layers=2, head_dim=8,
        max_seq_len=32, hada_n=32, mhc_lanes=2, kv_window=0, table_rows=8, sub_dim=16,
        num_tables=2, conv_taps=2, tap_spacing=1, orders=[2, 3], engram_sites=[1])


DEFECT_HEADS = (HeadSpec(HEAD_CONTRASTIVE, probes=2, outputs=8),
                HeadSpec(HEAD_CONFIDENCE, probes=1, outputs=1))


def small_tokenizer_blob() -> bytes:
    """A valid five-piece blob (unk 0, eos 1, bos 2, pad 0)."""
    return build_blob(TokenizerSpec(
        pieces=[Piece("<unk>", 0, KIND_UNKNOWN), Piece("</s>", 0, KIND_CONTROL),
                Piece("<s>", 0, KIND_CONTROL), Piece("\u2581a", -1.0), Piece("b", -2.0)],
        pad_id=0, eos_id=1, bos_id=2, unk_id=0))


def defects(seed: int = 0) -> list[Defect]:
    """Every malformed container with the exact error text the loader prints.
    Files differ from the valid base (`defect_geometry`, both heads of
    DEFECT_HEADS, the small tokenizer, dtype 2 floats) in one respect."""
    base_geom = defect_geometry()
    blob = small_tokenizer_blob()
    out: list[Defect] = []

    def tensors_of(geom, heads=DEFECT_HEADS, tokenizer=True, quant=None):
        m = random_model(geom, seed=seed, bits=4, groups=16, heads=list(heads), validate=False)
        m.quant.update(quant or {})
        ts, _ = container_tensors(m, blob if tokenizer else None)
        return ts, m

    base, base_model = tensors_of(base_geom)
    slot = {e.key: e.slot for e in canon(base_geom, DEFECT_HEADS)}
    C = base_geom.canon_len
    hdr = base_geom.header_fields()

    def add(name, message, tensors=None, header=None, note=""):
        data = write_tesk(2, base if tensors is None else tensors,
                          header=dict(hdr, **(header or {})))
        out.append(Defect(name, data, message, note))

    def replaced(i, t, ts=None):
        ts = list(base if ts is None else ts)
        ts[i] = t
        return ts

    def longer(key, extra=1, ts=None):
        """Entry `key` with its canon dims but `extra` more f32 values."""
        i = slot[key]
        e = (ts or base)[i]
        v = np.concatenate([base_model.tensors[key].reshape(-1), np.full(extra, 0.5, F32)])
        return replaced(i, f32_tensor(v, e.dims), ts)

    def shorter(key):
        i = slot[key]
        v = base_model.tensors[key].reshape(-1)[:-1]
        return replaced(i, f32_tensor(v, base[i].dims))

    canon_only = base[:C]
    tok = bytes_tensor(blob)
    manifest = lambda values: f32_tensor(np.array(values, F32))  # noqa: E731
    head_tensors = base[C + 1:C + 7]  # contrastive then confidence, 3 each
    rejected = "model rejected: "

    # --- binder: count, head region, shapes, decoding, tokenizer
    add("count_too_small", f"the canon for this geometry needs {C} tensors, directory has {C - 1}",
        canon_only[:-1],
        note="without a tokenizer: with one, the blob would fill the last canon slot")
    add("trailing_float_without_tokenizer",
        "1 trailing tensors is not 1 + 3*heads for any head count", canon_only + [manifest([1])])
    for r in (1, 2, 3, 5, 6, 8):
        extra = [manifest([1])] + [f32_tensor(np.zeros(1, F32))] * (r - 1)
        add(f"trailing_{r}", f"{r} trailing tensors is not 1 + 3*heads for any head count",
            canon_only + extra + [tok])
    add("manifest_two_values_one_head",
        "4 trailing tensors is not 1 + 3*heads for any head count",
        canon_only + [manifest([1, 2])] + head_tensors[:3] + [tok])
    add("manifest_one_value_two_heads",
        "7 trailing tensors is not 1 + 3*heads for any head count",
        canon_only + [manifest([1])] + head_tensors + [tok])
    add("manifest_not_float", f"tensor {C} has dtype 4, want 1",
        canon_only + [bytes_tensor(b"\x01\0\0\0")] + head_tensors[:3] + [tok])
    for value, code in ((3.0, 3), (-5.0, 0), (300.0, 255), (0.5, 0)):
        add(f"head_code_{value:g}", f"unknown probe-head code {code}",
            canon_only + [manifest([value])] + head_tensors[:3] + [tok])
    gate = slot["blocks.0.attn_gate"]
    add("attn_gate_shape",
        f"tensor {gate} (attn_gate): shape [2, 0, 0, 0] does not match geometry [1, 0, 0, 0]",
        replaced(gate, f32_tensor(np.zeros(2, F32))))
    taps = slot["engram.0.taps"]
    add("engram_taps_flat",
        f"tensor {taps} (engram taps): shape [64, 0, 0, 0] does not match geometry "
        f"[2, 32, 0, 0]", replaced(taps, f32_tensor(np.zeros(64, F32))),
        note="taps are a [conv_taps, d_model] matrix here, not a flat vector")
    probes = slot["heads.0.probes"]
    add("head_probes_zero",
        f"tensor {probes} (head probes): shape [0, 32, 0, 0] does not match geometry "
        f"[1, 32, 0, 0]", replaced(probes, Tensor(DTYPE_F32, [0, 32], b"")),
        note="the expected shape printed is the smallest legal one, one probe")
    proj = slot["heads.0.proj"]
    add("head_proj_width",
        f"tensor {proj} (head proj): shape [8, 32, 0, 0] does not match geometry "
        f"[8, 64, 0, 0]", replaced(proj, f32_tensor(np.zeros((8, 32), F32))))
    bias = slot["heads.1.bias"]
    add("head_bias_shape",
        f"tensor {bias} (head bias): shape [2, 0, 0, 0] does not match geometry "
        f"[1, 0, 0, 0]", replaced(bias, f32_tensor(np.zeros(2, F32))),
        note="o is head proj's first dim")
    q = slot["blocks.0.q_proj"]
    bad_group = Tensor(DTYPE_CQ, base[q].dims, base[q].data, group=24, bits=4)
    add("cq_bad_group", "cq: BadGroup(24)", replaced(q, bad_group))
    add("cq_short_blob", f"cq: ShortBlob {{ need: {len(base[q].data)}, got: "
        f"{len(base[q].data) - 1} }}",
        replaced(q, Tensor(DTYPE_CQ, base[q].dims, base[q].data[:-1], group=16, bits=4)))
    n_in = slot["blocks.0.norm_in"]
    as_cq = cq_tensor(quantise(np.zeros((32, 8), F32), group=8, bits=4))
    as_cq.dims = [32]
    add("norm_in_dtype_3", f"tensor {n_in} has dtype 3, want 1", replaced(n_in, as_cq))
    fin = slot["final_norm"]
    add("final_norm_ragged_f16", f"tensor {fin} has 63 bytes, not a whole element count",
        replaced(fin, Tensor(DTYPE_F16, [32], bytes(63))))
    add("tokenizer_truncated", "tokenizer blob truncated: need 24 bytes, got 10",
        base[:-1] + [bytes_tensor(bytes(10))])

    # --- geometry: the header reader speaks first for most of these
    pre = "the header reader rejects this before the model's geometry check"
    for field_, label in (("num_heads", "num_heads"), ("num_kv_heads", "num_kv_heads"),
                          ("head_dim", "head_dim"), ("d_model", "d_model"),
                          ("num_layers", "num_layers"), ("mhc_lanes", "mhc_lanes"),
                          ("vocab", "vocab"), ("max_seq_len", "max_seq_len")):
        add(f"{field_}_zero", f"header field {label} must be non-zero", header={field_: 0},
            note=pre)
    add("heads_not_divisible", "header field num_heads % num_kv_heads must be non-zero",
        header={"num_heads": 8, "num_kv_heads": 3}, note=pre)
    add("hada_n_not_pow2", "header field hada_n must be non-zero", header={"hada_n": 48},
        note=pre)
    add("hada_n_below_d_model", "header field hada_n must be non-zero", header={"hada_n": 16},
        note=pre)
    for field_ in ("table_rows", "sub_dim", "num_tables"):
        add(f"engram_{field_}_zero", "header field engram geometry must be non-zero",
            header={field_: 0}, note=pre)
    add("site_beyond_layers", "header field engram_sites beyond num_layers must be non-zero",
        header={"engram_sites": [2]}, note=pre)

    def reshaped(name, message, **geom_fields):
        g = base_geom.replace(**geom_fields)
        ts, _ = tensors_of(g)
        add(name, rejected + message, ts, header=g.header_fields())

    reshaped("head_dim_odd", "head_dim must be even (RoPE rotates half-splits)", head_dim=7)
    reshaped("engram_no_orders", "engram geometry incomplete", orders=[])
    reshaped("tables_not_divisible", "num_tables must be divisible by the order count",
             num_tables=3)
    reshaped("fetched_dim", "engram fetched_dim must equal d_model", sub_dim=8)

    # --- weights
    reshaped("hada_n_not_rounded", "hada_n is not d_model rounded up to a power of two",
             hada_n=64)
    add("final_norm_long", rejected + "final_norm width does not match d_model",
        longer("final_norm"))
    add("mhc_a_long", rejected + "mhc a_* length does not match num_layers",
        longer("mhc_a_post"))
    add("mhc_b_long", rejected + "mhc b_* length does not match num_layers x lanes",
        longer("mhc_b_res"))
    add("d2_short", rejected + "HadamardMLP diagonal width does not match hada_n",
        shorter("blocks.1.d2"))
    add("k_norm_long", rejected + "q_norm/k_norm width does not match head_dim",
        longer("blocks.0.k_norm"))
    add("engram_taps_long", rejected + "engram taps shape does not match conv_taps x d_model",
        longer("engram.0.taps"))
    # ours
    for name in ("norm_in", "post_norm", "pre_hada"):
        add(f"{name}_long", rejected + f"{name} width does not match d_model",
            longer(f"blocks.1.{name}"))
    add("attn_gate_long", rejected + "attn_gate must hold one value",
        longer("blocks.0.attn_gate"))
    for name, key, message in (
            ("qkvg_groups", "blocks.1.gate_proj",
             "q/k/v/gate projections differ in quantisation group"),
            ("phi_groups", "mhc_phi_res", "mhc phi_* matrices differ in quantisation group"),
            ("engram_kv_groups", "engram.0.value_proj",
             "engram key/value projections differ in quantisation group")):
        ts, _ = tensors_of(base_geom, quant={key: (4, 32)})
        add(name, rejected + message, ts)
    # probe heads
    add("head_probes_long", rejected + "head probes shape does not match num_probes * d_model",
        longer("heads.0.probes"))
    add("head_proj_long",
        rejected + "head proj shape does not match out_dim * num_probes * d_model",
        longer("heads.1.proj"))
    add("head_bias_long", rejected + "head bias length does not match out_dim",
        longer("heads.0.bias"))
    assert len({d.name for d in out}) == len(out)
    return out


def valid_defect_base(seed: int = 0) -> bytes:
    """The valid container every defect is a variation of."""
    g = defect_geometry()
    m = random_model(g, seed=seed, bits=4, groups=16, heads=list(DEFECT_HEADS))
    ts, _ = container_tensors(m, small_tokenizer_blob())
    return write_tesk(2, ts, header=g.header_fields())
