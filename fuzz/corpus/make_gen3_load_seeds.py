"""Writes the seed containers of the gen3_load fuzz target into
fuzz/corpus/gen3_load/: small generation-3 models made with pinnet_tools.gen3
(with and without the q/k/v convolution, with confidence heads of codes 1
and 3, binary16 floats) and the tiny preset.

    PYTHONPATH=. python3 fuzz/corpus/make_gen3_load_seeds.py
"""

from pathlib import Path

from pinnet_tools import gen3

OUT = Path(__file__).resolve().parent / "gen3_load"


def micro(**kw):
    g = gen3.Gen3Geometry(vocab_size=64, d_model=16, num_heads=2, num_kv_heads=1, num_layers=3,
                          head_dim=8, v_head_dim=4, max_seq_len=16, hada_n=16, mhc_lanes=2,
                          kv_window=2, global_layers=[1], qkv_conv_taps=2, table_rows=5,
                          num_tables=2, conv_taps=2, tap_spacing=1, orders=[1, 2],
                          engram_sites=[0, 2], num_experts=2)
    return g.replace(**kw)


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    blob = gen3.tokenizer_blob_for(512)
    cases = {
        "micro_conv_head1": (micro(), gen3.HeadSpec(code=1), ()),
        "micro_plain_head3": (micro(qkv_conv_taps=0, kv_window=0, engram_sites=[1], mhc_lanes=1),
                              gen3.HeadSpec(code=3, probes=1, second=1, outputs=2), ()),
        "micro_f16": (micro(orders=[3], num_tables=1, sub_dim=0, mhc_lanes=3), None, "f16"),
    }
    for name, (geom, head, f16) in cases.items():
        m = gen3.random_model(geom, seed=1, bits="mixed", groups="mixed", head=head)
        gen3.write_gen3(OUT / f"{name}.tesk", m, blob,
                        f16=gen3.every_other_float(m) if f16 else ())
    model, blob = gen3.build_preset("tiny-gen3", seed=1, head=gen3.HeadSpec(code=1))
    gen3.write_gen3(OUT / "tiny_preset.tesk", model, blob)


if __name__ == "__main__":
    main()
