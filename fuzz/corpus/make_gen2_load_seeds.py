"""Writes the seed containers of the gen2_load fuzz target into
fuzz/corpus/gen2_load/: small generation-2 models made with pinnet_tools.gen2
(both heads and a windowed ring, one lane without n-gram memory, binary16
floats without a tokenizer).

    python3 fuzz/corpus/make_gen2_load_seeds.py
"""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT), str(ROOT / "tests" / "python")]

from pinnet_tools import gen2  # noqa: E402
from support.gen2_defects import small_tokenizer_blob  # noqa: E402

OUT = Path(__file__).resolve().parent / "gen2_load"


def micro(**kw):
    g = gen2.Gen2Geometry(vocab_size=40, d_model=16, num_heads=2, num_kv_heads=1,
                          num_layers=2, head_dim=8, max_seq_len=16, hada_n=16, mhc_lanes=2,
                          kv_window=3, table_rows=7, sub_dim=8, num_tables=2, conv_taps=2,
                          tap_spacing=2, orders=[1, 3], engram_sites=[1])
    return g.replace(**kw)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    blob = small_tokenizer_blob()
    cases = {
        "micro_heads": (micro(), "both", blob, False),
        "micro_one_lane": (micro(mhc_lanes=1, kv_window=0, engram_sites=[], orders=[],
                                 num_tables=0, sub_dim=0, table_rows=0, conv_taps=0,
                                 tap_spacing=0), "confidence", blob, False),
        "micro_f16": (micro(engram_sites=[0, 1], orders=[0, 2]), "contrastive", None, True),
    }
    for name, (geom, heads, tok, f16) in cases.items():
        m = gen2.random_model(geom, seed=1, bits="mixed", groups="mixed",
                              heads=gen2.heads_for(heads, geom))
        gen2.write_gen2(OUT / f"{name}.tesk", m, tok, f16=gen2.every_other_float(m) if f16 else ())


if __name__ == "__main__":
    main()
