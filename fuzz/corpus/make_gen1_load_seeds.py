"""Writes the seed weight files of the gen1_load fuzz target into
fuzz/corpus/gen1_load/: small generation-1 models made with pinnet_tools.gen1
(a contrastive head, 4-bit packed layers, missing tensors, no feed-forward).

    PYTHONPATH=. python3 fuzz/corpus/make_gen1_load_seeds.py
"""

from pathlib import Path

from pinnet_tools import gen1

OUT = Path(__file__).resolve().parent / "gen1_load"


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    micro = gen1.tiny_gen1(40).replace(d_model=16, num_heads=2, num_kv_heads=1,
                                       num_encoder_layers=1, num_decoder_layers=1, ffn_dim=24,
                                       max_enc_len=8, max_dec_len=4)
    cases = {
        "micro_head": (micro, dict(contrastive=(8, 4))),
        "micro_packed": (micro.replace(activation="geglu"), dict(prequantised=True)),
        "micro_missing": (micro, dict(missing=("decoder.0.cross_attn.wq", "encoder.0.norm"))),
        "micro_no_ffn": (micro.replace(no_feedforward=True, activation=""), {}),
    }
    for name, (cfg, opts) in cases.items():
        gen1.write_gen1(OUT / name, gen1.random_model(cfg, seed=1, **opts))


if __name__ == "__main__":
    main()
