"""Writes the seed inputs of the tesk fuzz target into fuzz/corpus/tesk/:
small valid containers of both versions holding every dtype and every bits
code, and one file per defect kind of the writer.

    python3 fuzz/corpus/make_tesk_seeds.py
"""
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT), str(ROOT / "tests" / "python")]

from pinnet_tools import cq_quantise as cq  # noqa: E402
from pinnet_tools import tesk  # noqa: E402
from support import tesk_defects as bad  # noqa: E402


def seeds():
    rng = np.random.default_rng(1)
    for version in (2, 3):
        mats = [tesk.cq_tensor(cq.quantise(rng.standard_normal((3, 20)).astype(np.float32),
                                           group=8, bits=bits)) for bits in (2, 3, 4, 5)]
        yield f"v{version}_all_dtypes", tesk.write_tesk(version, bad.sample_tensors() + mats,
                                                        align=8)
        yield f"v{version}_empty_directory", tesk.write_tesk(version)
        yield f"v{version}_short_header", bad.defect_short_header(version)
        yield f"v{version}_bad_tag", bad.defect_bad_tag(version)
        yield f"v{version}_codebook_len", bad.defect_codebook_len(version)
        yield f"v{version}_directory_past_end", bad.defect_directory_past_end(version)
        yield f"v{version}_huge_count", bad.defect_huge_count(version)
        yield f"v{version}_bad_ndim", bad.defect_bad_ndim(version)
        yield f"v{version}_out_of_range", bad.defect_blob_out_of_range(version)
        yield f"v{version}_offset_overflow", bad.defect_offset_overflow(version)
        yield f"v{version}_wrong_dtype", bad.defect_wrong_dtype(version)
        yield f"v{version}_ragged", bad.defect_ragged(version)
        yield f"v{version}_cq_short", bad.defect_cq_short_blob(version)
        yield f"v{version}_cq_group", bad.defect_cq_group(version)
        yield f"v{version}_cq_bits", bad.defect_cq_bits(version)
        yield f"v{version}_cq_empty", bad.defect_cq_empty_shape(version)
    yield "v2_zero_vocab", bad.defect_zero_field(2, "vocab")
    yield "v2_heads", bad.defect_heads_not_divisible(2)
    yield "v2_hada_n", bad.defect_hada_n(2, 24)
    yield "v2_engram", bad.defect_engram_geometry(2, "sub_dim")
    yield "v2_sites", bad.defect_site_beyond_layers(2)


def main():
    out = Path(__file__).resolve().parent / "tesk"
    out.mkdir(exist_ok=True)
    for name, data in seeds():
        (out / f"{name}.tesk").write_bytes(data)


if __name__ == "__main__":
    main()
