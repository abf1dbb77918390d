"""Trains the demo generation-3 model and writes it as a `.tesk` container.

    pip install '.[train]'
    python -m pinnet_tools.train.train --out models/demo-gen3.tesk --steps 6000

Everything is generated here: the SentencePiece tokenizer is trained on the
training split only (so held-out values reach the model as pieces it has seen
elsewhere, as unseen values will), the examples come from `data`, and the
weights start from the random-model factory's draws. Sequences are
[bos] + prompt + completion, prompt and completion tokenized apart as the
runtime sees them; the loss covers the completion only. Each batch runs one
rung of the depth ladder (the full depth half of the time), so the cut
models stay usable.

A JSON line per logging interval goes to `--log`; a checkpoint of the
weights is kept beside the output and training resumes from it.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

from .. import gen3
from ..gen3 import Gen3Geometry
from ..writer_common import train_sentencepiece
from . import data

BUCKET = 64            # sequence lengths are padded up to a multiple of this
BATCH_TOKENS = 4096    # padded tokens per batch
RUNG_SHARE = {8: 0.5, 7: 0.2, 6: 0.3}  # depth of a batch -> probability


def demo_geometry(vocab_size: int) -> Gen3Geometry:
    """Eight blocks of width 128, 4 query / 2 key-value heads of 32, two lanes,
    q/k/v convolution, a two-entry feed-forward mixture; no n-gram memory."""
    return Gen3Geometry(
        vocab_size=vocab_size, d_model=128, num_heads=4, num_kv_heads=2, num_layers=8,
        head_dim=32, v_head_dim=32, max_seq_len=1024, hada_n=128, mhc_lanes=2,
        qkv_conv_taps=4, num_experts=2, engram_sites=[])


def quant_of(g: Gen3Geometry) -> dict:
    """4-bit codes in groups of 32 for every codebook tensor."""
    return {e.label: (4, 32) for e in gen3.canon(g, (), tokenizer=False) if e.kind == "cq"}


def train_tokenizer(out: Path, vocab_size: int, seed: int) -> Path:
    lines = []
    for ex in data.examples(30000, seed=seed + 1000, split="train"):
        lines.append(ex.prompt)
        lines.append(ex.completion)
    return train_sentencepiece(
        out, vocab_size, lines, byte_fallback=True, character_coverage=1.0,
        user_defined_symbols=list(gen3.CHAT_SYMBOLS), normalization_rule_name="identity",
        remove_extra_whitespaces=False, split_digits=True, unk_id=gen3.UNK_ID,
        eos_id=gen3.EOS_ID, bos_id=gen3.BOS_ID, pad_id=-1)


def encode_examples(sp, count: int, seed: int, split: str = "train"):
    """(ids, first completion index) per example."""
    out = []
    for ex in data.examples(count, seed=seed, split=split):
        p = [gen3.BOS_ID] + sp.encode(ex.prompt)
        c = sp.encode(ex.completion)
        out.append((np.array(p + c, np.int32), len(p)))
    return out


def batches(encoded, max_len: int, rng: np.random.Generator):
    """Endless batches (tokens, loss mask): each pass over the examples in a
    new order, every example padded to its length rounded up to BUCKET and
    batched with others of that padded length, BATCH_TOKENS tokens a batch."""
    usable = [e for e in encoded if len(e[0]) <= max_len]
    while True:
        by_len: dict[int, list] = {}
        for i in rng.permutation(len(usable)):
            ids, first = usable[i]
            by_len.setdefault(-(-len(ids) // BUCKET) * BUCKET, []).append((ids, first))
        groups = []
        for T, group in by_len.items():
            B = max(1, BATCH_TOKENS // T)
            groups += [(T, group[j:j + B]) for j in range(0, len(group), B)]
        for gi in rng.permutation(len(groups)):
            T, group = groups[gi]
            B = max(1, BATCH_TOKENS // T)
            tokens = np.zeros((B, T), np.int32)
            mask = np.zeros((B, T), np.float32)
            for r, (ids, first) in enumerate(group):
                tokens[r, :len(ids)] = ids
                mask[r, first - 1:len(ids) - 1] = 1.0  # position t predicts token t + 1
            yield tokens, mask


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.train.train",
                                 description="Train the demo generation-3 model.")
    ap.add_argument("--out", required=True, help="the .tesk to write")
    ap.add_argument("--steps", type=int, default=6000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--vocab", type=int, default=1024)
    ap.add_argument("--examples", type=int, default=200000)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--log", default=None, help="JSON lines of the loss (default OUT.log.jsonl)")
    ap.add_argument("--profile", type=int, default=0, metavar="N",
                    help="time N steps per bucket shape and stop")
    args = ap.parse_args(argv)

    import jax
    import jax.numpy as jnp
    import optax
    import sentencepiece as spm

    from .model import Forward, frozen_labels, init_params, rung_flags

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    work = out.with_suffix(".work")
    work.mkdir(exist_ok=True)
    log_path = Path(args.log) if args.log else out.with_suffix(".log.jsonl")
    t0 = time.time()
    sp_path = train_tokenizer(work / f"tokenizer_{args.vocab}_s{args.seed}.model", args.vocab, args.seed)
    sp = spm.SentencePieceProcessor(model_file=str(sp_path))
    g = demo_geometry(sp.get_piece_size())
    encoded = encode_examples(sp, args.examples, args.seed)
    lengths = np.array([len(e[0]) for e in encoded])
    print(f"tokenizer and {len(encoded)} examples in {time.time() - t0:.0f} s; tokens per example "
          f"mean {lengths.mean():.0f}, max {lengths.max()}", file=sys.stderr, flush=True)

    params = {k: jnp.asarray(v) for k, v in init_params(g, args.seed).items()}
    frozen = frozen_labels(g)
    fwd = Forward(g, g.max_seq_len, np.asarray(params["perm_a"]), np.asarray(params["perm_b"]))
    schedule = optax.warmup_cosine_decay_schedule(0.0, args.lr, min(300, args.steps // 10),
                                                  args.steps, args.lr * 0.05)
    decay_mask = {k: v.ndim == 2 for k, v in params.items()}
    opt = optax.chain(
        optax.clip_by_global_norm(1.0),
        optax.adamw(schedule, b1=0.9, b2=0.98, weight_decay=0.01, mask=decay_mask),
        optax.masked(optax.set_to_zero(), {k: k in frozen for k in params}))
    opt_state = opt.init(params)
    step0 = 0
    ckpt = work / "checkpoint.npz"
    if ckpt.exists():
        saved = np.load(ckpt, allow_pickle=True)
        step0 = int(saved["step"])
        params = {k: jnp.asarray(saved["p." + k]) for k in params}
        leaves = [jnp.asarray(saved[f"o.{i}"]) for i in range(int(saved["o_count"]))]
        opt_state = jax.tree_util.tree_unflatten(jax.tree_util.tree_structure(opt_state), leaves)
        print(f"resumed at step {step0}", file=sys.stderr, flush=True)

    def loss_fn(p, tokens, mask, active):
        logits = fwd(p, tokens, active)
        targets = jnp.concatenate([tokens[:, 1:], tokens[:, :1]], axis=1)
        nll = optax.softmax_cross_entropy_with_integer_labels(logits, targets)
        return jnp.sum(nll * mask) / jnp.maximum(jnp.sum(mask), 1.0)

    @jax.jit
    def train_step(p, state, tokens, mask, active):
        loss, grads = jax.value_and_grad(loss_fn)(p, tokens, mask, active)
        updates, state = opt.update(grads, state, p)
        return optax.apply_updates(p, updates), state, loss

    rng = np.random.default_rng(args.seed + step0)
    depths, shares = zip(*RUNG_SHARE.items())
    stream = batches(encoded, g.max_seq_len, rng)
    if args.profile:
        seen = {}
        for tokens, mask in stream:
            T = tokens.shape[1]
            if T in seen:
                continue
            for i in range(args.profile + 1):
                if i == 1:
                    start = time.time()
                params, opt_state, loss = train_step(params, opt_state, tokens, mask,
                                                     jnp.asarray(rung_flags(g, g.num_layers)))
                loss.block_until_ready()
            dt = (time.time() - start) / args.profile
            seen[T] = dt
            print(json.dumps({"T": T, "B": tokens.shape[0], "s_per_step": round(dt, 4),
                              "tokens_per_s": round(tokens.size / dt)}), flush=True)
            if len(seen) >= 4:
                return 0
        return 0

    log = open(log_path, "a")
    window, tokens_seen, t_last = [], 0, time.time()
    for step in range(step0, args.steps):
        tokens, mask = next(stream)
        k = int(rng.choice(depths, p=shares))
        params, opt_state, loss = train_step(params, opt_state, tokens, mask,
                                             jnp.asarray(rung_flags(g, k)))
        window.append((k, loss))
        tokens_seen += tokens.size
        if (step + 1) % 50 == 0 or step + 1 == args.steps:
            by_depth = {}
            for kk, ll in window:
                by_depth.setdefault(kk, []).append(float(ll))
            now = time.time()
            rec = {"step": step + 1, "elapsed_s": round(now - t0), "lr": float(schedule(step)),
                   "loss": round(float(np.mean([v for vs in by_depth.values() for v in vs])), 4),
                   "loss_by_depth": {str(kk): round(float(np.mean(v)), 4)
                                     for kk, v in sorted(by_depth.items())},
                   "tokens_per_s": round(tokens_seen / (now - t_last))}
            log.write(json.dumps(rec) + "\n")
            log.flush()
            print(json.dumps(rec), file=sys.stderr, flush=True)
            window, tokens_seen, t_last = [], 0, now
        if (step + 1) % 500 == 0 and step + 1 < args.steps:
            leaves = jax.tree_util.tree_leaves(opt_state)
            np.savez(work / "checkpoint.tmp.npz", step=step + 1, o_count=len(leaves),
                     **{"p." + k: np.asarray(v) for k, v in params.items()},
                     **{f"o.{i}": np.asarray(v) for i, v in enumerate(leaves)})
            os.replace(work / "checkpoint.tmp.npz", ckpt)
    log.close()

    final = {k: np.asarray(v) for k, v in params.items()}
    np.savez(work / "final.npz", **final)
    size = export(final, g, sp_path, out)
    print(f"wrote {out}: {size} bytes after {time.time() - t0:.0f} s", file=sys.stderr, flush=True)
    return 0


def export(params: dict, g: Gen3Geometry, sp_path: Path, out: Path) -> int:
    """Quantises float weights with the codebook quantiser and writes the
    container with its tokenizer; returns its size in bytes."""
    from ..tokenizer_blob import from_sentencepiece
    from .model import to_model

    return len(gen3.write_gen3(out, to_model(g, params, quant_of(g)),
                               from_sentencepiece(str(sp_path))))


if __name__ == "__main__":
    raise SystemExit(main())
