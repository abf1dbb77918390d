"""Encode throughput of the embedded subword tokenizer against sentencepiece.

Trains a 16384-piece BPE model with sentencepiece on Python's own standard
library sources (byte fallback, the chat markers as user-defined symbols,
identity normalisation, whitespace kept), converts it to a tokenizer blob,
and encodes the same held-out source lines with both tokenizers in this run,
one line at a time, on one thread. The model, blob and text are cached under
build/bench/tokenizer/ so later runs skip the training.

Prints one JSON object per implementation:
  {"name": "tokenizer_encode", "impl": "pinnet" | "sentencepiece", "vocab": 16384,
   "bytes": ..., "seconds": ..., "mb_per_s": ...}
seconds is the median of one pass over all lines. The ids of both must agree
(count and checksum); a disagreement is reported on standard error.

Usage: python3 bench/bench_tokenizer.py [filter]
"""

import json
import os
import subprocess
import sys
import time

NAME = "tokenizer_encode"
VOCAB = 16384
TRAIN_BYTES = 6_000_000
TEXT_BYTES = 2_000_000
REPEATS = 5
MARKERS = ["<|im_start|>", "<|im_end|>", "<tools>", "</tools>", "<tool_call>", "</tool_call>",
           "<think>", "</think>"]
HELD_OUT_PACKAGES = ("asyncio", "email", "json", "unittest", "xml", "concurrent", "importlib")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "build", "bench", "tokenizer")
EXE = os.environ.get("PINNET_BENCH_TOKENIZER",
                     os.path.join(ROOT, "build", "bench", "bench", "bench_tokenizer"))


def source_lines(paths, limit):
    lines, size = [], 0
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                text = f.read()
        except (UnicodeDecodeError, OSError):
            continue
        for line in text.split("\n"):
            lines.append(line)
            size += len(line.encode("utf-8"))
        if size >= limit:
            break
    return lines


def stdlib_files():
    lib = os.path.dirname(os.__file__)
    top = sorted(os.path.join(lib, n) for n in os.listdir(lib) if n.endswith(".py"))
    held = []
    for pkg in HELD_OUT_PACKAGES:
        for dirpath, _, names in sorted(os.walk(os.path.join(lib, pkg))):
            if "test" in dirpath:
                continue
            held += sorted(os.path.join(dirpath, n) for n in names if n.endswith(".py"))
    return top, held


def prepare():
    """Model, blob and text paths; trains and converts on the first run."""
    import sentencepiece as spm

    sys.path.insert(0, ROOT)
    from pinnet_tools import tokenizer_blob

    tag = f"py{sys.version_info.major}{sys.version_info.minor}-v{VOCAB}"
    model = os.path.join(CACHE, f"stdlib-{tag}.model")
    blob = os.path.join(CACHE, f"stdlib-{tag}.blob")
    text = os.path.join(CACHE, f"stdlib-{tag}.txt")
    if not (os.path.exists(model) and os.path.exists(blob) and os.path.exists(text)):
        os.makedirs(CACHE, exist_ok=True)
        train_files, held_files = stdlib_files()
        train = [l for l in source_lines(train_files, TRAIN_BYTES) if l.strip()]
        start = time.perf_counter()
        with open(model + ".tmp", "wb") as out:
            spm.SentencePieceTrainer.train(
                sentence_iterator=iter(train), model_writer=out, model_type="bpe",
                vocab_size=VOCAB, byte_fallback=True, user_defined_symbols=MARKERS,
                normalization_rule_name="identity", remove_extra_whitespaces=False,
                allow_whitespace_only_pieces=True, pad_id=0, eos_id=1, bos_id=2, unk_id=3,
                max_sentence_length=16384, minloglevel=2, num_threads=2)
        print(f"bench_tokenizer: trained the {VOCAB}-piece model in "
              f"{time.perf_counter() - start:.1f} s", file=sys.stderr)
        with open(model + ".tmp", "rb") as f:
            data = f.read()
        with open(blob, "wb") as f:
            f.write(tokenizer_blob.from_sentencepiece(data))
        with open(text, "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(source_lines(held_files, TEXT_BYTES)) + "\n")
        os.replace(model + ".tmp", model)
    return model, blob, text


def checksum(id_lists):
    h = 0xcbf29ce484222325
    for ids in id_lists:
        for i in ids:
            h = ((h ^ i) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def run_sentencepiece(model, text_path):
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_file=model)
    with open(text_path, encoding="utf-8", newline="\n") as f:
        lines = f.read().split("\n")[:-1]
    nbytes = sum(len(l.encode("utf-8")) for l in lines)
    ids = sp.encode(lines, num_threads=1)  # warm-up, and the ids to compare
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        sp.encode(lines, num_threads=1)
        times.append(time.perf_counter() - start)
    times.sort()
    seconds = times[len(times) // 2]
    record = {"name": NAME, "impl": "sentencepiece", "vocab": sp.get_piece_size(),
              "bytes": nbytes, "seconds": round(seconds, 6),
              "mb_per_s": round(nbytes / seconds / 1e6, 3)}
    return record, sum(len(x) for x in ids), checksum(ids)


def main():
    filt = sys.argv[1] if len(sys.argv) > 1 else ""
    if filt not in NAME:
        return 0
    try:
        import sentencepiece  # noqa: F401
    except ImportError:
        print("bench_tokenizer: sentencepiece is not installed; skipped", file=sys.stderr)
        return 0
    model, blob, text = prepare()
    ours = None
    if os.path.exists(EXE):
        out = subprocess.run([EXE, filt, blob, text, str(REPEATS)], check=True,
                             capture_output=True, text=True).stdout
        ours = json.loads(out)
    else:
        print(f"bench_tokenizer: {EXE} not built (bench/run builds it)", file=sys.stderr)
    theirs, count, check = run_sentencepiece(model, text)
    if ours is not None:
        if (ours.pop("ids"), ours.pop("checksum")) != (count, check):
            print("bench_tokenizer: the two tokenizers produced different ids", file=sys.stderr)
        print(json.dumps(ours))
    print(json.dumps(theirs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
