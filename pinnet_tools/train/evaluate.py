"""Scores a trained generation-3 model on held-out examples through `V3Engine`.

    python -m pinnet_tools.train.evaluate pinnet_tools/models/demo-gen3.tesk --count 200

Two held-out splits: argument values never trained on, in phrasings never
trained on ("held_out") and in trained phrasings ("held_out_values"). An
example is scored right-tool when the completion calls the expected tool (or,
where no offered tool fits, calls none), exact when the call's name and
arguments equal the expected ones, and valid when its call parses as JSON (a
reply without a call is valid where none was expected). Strict scoring runs
`call()` with tool choice "auto" and its default budget.
"""
from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Optional

from . import data

SETTINGS = (  # name, depth (None: full), kv_int8, strict
    ("full", None, False, False),
    ("full kv_int8", None, True, False),
    ("full strict", None, False, True),
    ("6 blocks", 6, False, False),
    ("6 blocks kv_int8", 6, True, False),
    ("6 blocks strict", 6, False, True),
)


SPLITS = ("held_out", "held_out_values")  # new values in new phrasings; in trained phrasings

# Queries written by hand, as people type them, never trained or tuned on
# (data/human_eval in a source checkout): the demo's five tools, and tools
# whose names and parameters appear nowhere in the training data.
HUMAN_SETS = ("demo_tools", "unseen_tools")
HUMAN_DIR = Path(__file__).resolve().parents[2] / "data" / "human_eval"


class Accepted(list):
    """Expected argument values of which any one is exact (a title with or
    without its article, a city as typed or capitalised)."""


@dataclass
class HumanExample:
    query: str
    tools: list
    call: Optional[dict]  # {"name", "arguments"}; None where no offered tool fits


def human(name: str) -> list:
    """The hand-written set `name` (one of HUMAN_SETS)."""
    if name == "demo_tools":
        from ..models import demo_tools_json
        tools = json.loads(demo_tools_json())
    else:
        tools = json.loads((HUMAN_DIR / f"{name}.json").read_text(encoding="utf-8"))
    out = []
    for line in (HUMAN_DIR / f"{name}.jsonl").read_text(encoding="utf-8").splitlines():
        row = json.loads(line)
        call = None
        if row["call"] is not None:
            tool, args = row["call"]
            call = {"name": tool, "arguments": {k: Accepted(v) if isinstance(v, list) else v
                                                for k, v in args.items()}}
        out.append(HumanExample(row["query"], tools, call))
    return out


def _exact(got: dict, want: dict) -> bool:
    if not isinstance(got, dict) or set(got) != set(want):
        return False
    return all(got[k] in v if isinstance(v, Accepted) else got[k] == v for k, v in want.items())


def held_out(count: int, seed: int = 0, split: str = "held_out") -> list:
    return list(data.examples(count, seed=seed, split=split))


def parse_call(payload):
    """(name, arguments) of a call payload, or None when it does not parse."""
    if payload is None:
        return None
    try:
        obj = json.loads(payload)
    except ValueError:
        return None
    if not isinstance(obj, dict) or not isinstance(obj.get("name"), str):
        return None
    return obj["name"], obj.get("arguments")


def score(engine, examples, kv_int8: bool = False, strict: bool = False,
          max_new_tokens: int = 96) -> dict:
    """Shares (0..1) of right_tool, exact and valid over the examples."""
    right = exact = valid = right_calls = exact_calls = declined = 0
    for ex in examples:
        tools_json = json.dumps(ex.tools)
        if strict:
            # call()'s own budget: its mask keeps every call closable counting
            # one byte a token, so a short budget bends the choice of tool
            # towards calls with fewer bytes.
            out = engine.call(ex.query, tools_json)
            got = None if out["name"] is None else (out["name"], out["arguments"])
            parsed_ok = True
        else:
            out = engine.generate(ex.query, tools_json, max_new_tokens=max_new_tokens,
                                  kv_int8=kv_int8)
            got = parse_call(out["tool_call"])
            parsed_ok = out["tool_call"] is None or got is not None
        want = None if ex.call is None else (ex.call["name"], ex.call["arguments"])
        valid += parsed_ok
        if want is None:
            right += got is None
            exact += got is None
            declined += got is None
        elif got is not None and got[0] == want[0]:
            right += 1
            hit = _exact(got[1], want[1])
            exact += hit
            right_calls += 1
            exact_calls += hit
    n = max(len(examples), 1)
    calls = sum(ex.call is not None for ex in examples)
    # The blended shares, and each kind on its own: of the queries a tool
    # fits, the right tool and exact arguments; of the others, no call.
    return {"right_tool": right / n, "exact": exact / n, "valid": valid / n,
            "calls_right_tool": right_calls / max(calls, 1),
            "calls_exact": exact_calls / max(calls, 1),
            "no_call_when_none_fits": declined / max(len(examples) - calls, 1)}


def agreement(engine, params: dict, geom, sp, examples, max_new_tokens: int = 64,
              width: int = 512) -> dict:
    """How often the JAX forward pass over `params` chooses what the engine
    chose: the engine's greedy completion is replayed through JAX with the
    engine's own tokens as context, and every choice compared. Returns the
    share of agreeing tokens and of completions agreeing throughout."""
    import jax
    import jax.numpy as jnp
    import numpy as np

    from ..gen3 import BOS_ID
    from ..template import build_prompt
    from .model import Forward, rung_flags

    fwd = Forward(geom, width, params.get("perm_a"), params.get("perm_b"))
    p = {k: jnp.asarray(v) for k, v in params.items()}
    logits_of = jax.jit(lambda ids: fwd(p, ids, rung_flags(geom, geom.num_layers)))
    same_tokens = tokens = same_whole = 0
    for ex in examples:
        tools_json = json.dumps(ex.tools)
        out = engine.generate(ex.query, tools_json, max_new_tokens=max_new_tokens)
        prompt = [BOS_ID] + sp.encode(build_prompt(ex.query, tools_json))
        ids = prompt + list(out["token_ids"])
        if len(ids) > width:
            continue
        padded = np.zeros((1, width), np.int32)
        padded[0, :len(ids)] = ids
        chosen = np.argmax(np.asarray(logits_of(jnp.asarray(padded)))[0], axis=-1)
        # the engine's choices: its tokens, then the end marker unless the budget ran out
        engine_choices = list(out["token_ids"])
        if out["stop_reason"] in ("ImEnd", "Eos"):
            engine_choices.append(sp.piece_to_id("<|im_end|>") if out["stop_reason"] == "ImEnd"
                                  else 1)
        ours = chosen[len(prompt) - 1:len(prompt) - 1 + len(engine_choices)].tolist()
        agree = sum(a == b for a, b in zip(ours, engine_choices))
        same_tokens += agree
        tokens += len(engine_choices)
        same_whole += agree == len(engine_choices)
    return {"token_agreement": same_tokens / max(tokens, 1),
            "completion_agreement": same_whole / max(len(examples), 1), "tokens": tokens}


def main(argv=None) -> int:
    import pinnet_rs

    ap = argparse.ArgumentParser(prog="python -m pinnet_tools.train.evaluate",
                                 description="Score a model on held-out tool-calling examples.")
    ap.add_argument("model")
    ap.add_argument("--count", type=int, default=200)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--params", default=None,
                    help="trained float weights (.npz): also report agreement of JAX's greedy "
                         "choices with the engine's, before and after quantisation")
    ap.add_argument("--tokenizer", default=None, help="the SentencePiece model (with --params)")
    ap.add_argument("--manifest", default=None, metavar="JSON",
                    help="also write the figures, the file's checksum and size, and what --made-by "
                         "holds (a JSON object: command, seed, data version, training) here")
    ap.add_argument("--made-by", default="{}", metavar="JSON")
    args = ap.parse_args(argv)
    examples = held_out(args.count, args.seed)
    record = {"agreement": {}, **{split: {} for split in SPLITS}}
    if args.params:
        import numpy as np
        import sentencepiece as spm

        from .. import gen3
        from .model import to_model
        from .train import demo_geometry, quant_of

        sp = spm.SentencePieceProcessor(model_file=args.tokenizer)
        geom = demo_geometry(sp.get_piece_size())
        float_params = dict(np.load(args.params))
        _, deq = gen3.encode_gen3(to_model(geom, float_params, quant_of(geom)), None)
        engine = pinnet_rs.V3Engine.load(args.model)
        for name, params in (("float", float_params), ("quantised", deq.tensors)):
            rec = {k: round(v, 4) for k, v in agreement(engine, params, geom, sp, examples).items()}
            record["agreement"][name] = rec
            print(json.dumps({"agreement_with": name, **rec}), flush=True)
    for split in SPLITS:
        examples = held_out(args.count, args.seed, split)
        for name, depth, kv_int8, strict in SETTINGS:
            engine = (pinnet_rs.V3Engine.load(args.model) if depth is None
                      else pinnet_rs.V3Engine.load_with_depth(args.model, depth))
            rec = {k: round(v, 3) for k, v in score(engine, examples, kv_int8, strict).items()}
            record[split][name] = rec
            print(json.dumps({"split": split, "setting": name, "count": len(examples), **rec}),
                  flush=True)
    if args.manifest:
        import hashlib
        from pathlib import Path

        blob = Path(args.model).read_bytes()
        manifest = {"file": Path(args.model).name, "sha256": hashlib.sha256(blob).hexdigest(),
                    "bytes": len(blob), "data_version": data.DATA_VERSION,
                    **json.loads(args.made_by), "held_out_count": len(examples), **record}
        Path(args.manifest).write_text(json.dumps(manifest, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
