"""What the model writers of every generation share: the per-tensor settings
of the random-model factories, the tensor labels the binder prints, and the
synthetic corpus and sentencepiece trainer their tokenizers come from (cached
on disk, see `cache_dir`)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterator

import numpy as np


def is_pow2(v: int) -> bool:
    return v > 0 and v & (v - 1) == 0


def short_label(label: str) -> str:
    """The label the binder prints for a slot ("q_proj", "engram tables")."""
    parts = label.split(".")
    if parts[0] == "engram":
        return "engram " + parts[-1]
    return parts[-1]


def per_tensor(spec, label: str, rng: np.random.Generator, options):
    """Per-tensor setting: a fixed value, "mixed" (random among options), a dict
    keyed by full or short label (key "*" is the default), or a callable."""
    if callable(spec):
        return spec(label)
    if isinstance(spec, dict):
        for key in (label, short_label(label), "*"):
            if key in spec:
                return per_tensor(spec[key], label, rng, options)
        raise KeyError(f"no setting for {label}")
    if spec == "mixed":
        return int(rng.choice(options))
    return int(spec)


def bits_and_groups(spec):
    """(bits spec, group spec) of a preset's bits setting: a callable returning
    (bits, group) splits in two, "mixed" mixes the groups too, and a fixed
    bits code takes group 64."""
    if callable(spec):
        return (lambda label: spec(label)[0]), (lambda label: spec(label)[1])
    return spec, ("mixed" if spec == "mixed" else 64)


def write_atomic(path, data: bytes) -> None:
    """Writes `data` under a temporary name beside `path` and renames it, so a
    reader never sees a partial file."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, path)


# ----------------------------------------------------------------------------
# Tokenizer corpus


def cache_dir() -> Path:
    """$PINNET_CACHE, else build/cache of the source tree, else a per-user cache
    (an installed copy of the tools has no source tree beside it)."""
    env = os.environ.get("PINNET_CACHE")
    tree = Path(__file__).resolve().parents[1]
    if env:
        root = Path(env)
    elif (tree / "pyproject.toml").exists():
        root = tree / "build" / "cache"
    else:
        root = Path.home() / ".cache" / "pinnet_rs"
    root.mkdir(parents=True, exist_ok=True)
    return root


_SYLLABLE_ONSETS = ("", "b", "br", "c", "ch", "d", "dr", "f", "fl", "g", "gr", "h", "j", "k",
                    "l", "m", "n", "p", "pl", "qu", "r", "s", "sh", "sl", "st", "t", "th",
                    "tr", "v", "w", "z")
_SYLLABLE_NUCLEI = ("a", "e", "i", "o", "u", "ai", "ea", "ou", "io", "y")
_SYLLABLE_CODAS = ("", "", "n", "r", "s", "t", "l", "nd", "st", "ck", "m", "ng", "x")
_WORDS = ("the weather in tomorrow please find send email to from check flight hotel book "
          "what is how many get set list create delete update search call user query tool "
          "name description parameters type object string number integer boolean array "
          "required properties value city date time price order status account message "
          "calendar event meeting reminder note file open close read write convert currency "
          "temperature forecast stock news translate language distance route map restaurant "
          "recipe music play song volume light turn on off room schedule task project").split()
_UNICODE = ("café", "naïve", "Zürich", "São Paulo", "Kraków", "Ångström", "東京", "北京",
            "Москва", "Αθήνα", "€", "£", "°C", "—", "…", "✓", "😀")
_TOOLS = ("get_weather", "send_email", "search_flights", "book_hotel", "get_stock_price",
          "convert_currency", "create_event", "list_files", "translate_text", "play_music",
          "set_reminder", "find_restaurant", "get_news", "calculate_route")


def corpus_lines(lines: int, seed: int) -> Iterator[str]:
    """A varied synthetic corpus: Zipf-distributed pseudo-words, common words,
    numbers, a little non-ASCII text, tool descriptions and chat turns with
    the template's markers."""
    rng = np.random.default_rng(seed)
    lexicon = []
    seen = set()
    while len(lexicon) < 40000:
        n = int(rng.integers(1, 5))
        w = "".join(_SYLLABLE_ONSETS[rng.integers(len(_SYLLABLE_ONSETS))]
                    + _SYLLABLE_NUCLEI[rng.integers(len(_SYLLABLE_NUCLEI))]
                    + _SYLLABLE_CODAS[rng.integers(len(_SYLLABLE_CODAS))] for _ in range(n))
        if w not in seen:
            seen.add(w)
            lexicon.append(w)
    zipf = np.cumsum(1.0 / np.arange(1, len(lexicon) + 1) ** 0.9)
    zipf /= zipf[-1]
    draws = iter(())

    def zipf_index():
        nonlocal draws
        i = next(draws, None)
        if i is None:
            draws = iter(np.searchsorted(zipf, rng.random(4096)).tolist())
            i = next(draws)
        return i

    def word():
        u = rng.random()
        if u < 0.35:
            return _WORDS[rng.integers(len(_WORDS))]
        if u < 0.37:
            return _UNICODE[rng.integers(len(_UNICODE))]
        if u < 0.42:
            return str(int(rng.integers(0, 10 ** int(rng.integers(1, 6)))))
        w = lexicon[zipf_index()]
        return w.capitalize() if rng.random() < 0.1 else w

    def sentence(lo=4, hi=18):
        words = [word() for _ in range(int(rng.integers(lo, hi)))]
        return " ".join(words) + str(rng.choice([".", "?", "!", ",", ""]))

    def tool():
        name = _TOOLS[rng.integers(len(_TOOLS))]
        params = ", ".join(f'"{word()}": {{"type": "{rng.choice(["string", "number", "integer"])}"}}'
                           for _ in range(int(rng.integers(1, 4))))
        return (f'{{"name": "{name}", "description": "{sentence(3, 8)}", "parameters": '
                f'{{"type": "object", "properties": {{{params}}}}}}}')

    for _ in range(lines):
        kind = rng.random()
        if kind < 0.55:
            yield sentence()
        elif kind < 0.7:
            yield tool()
        elif kind < 0.9:
            call = _TOOLS[rng.integers(len(_TOOLS))]
            yield (f"<|im_start|>user<tools>[{tool()}]</tools>{sentence()}<|im_end|>"
                   f"<|im_start|>assistant<think>{sentence()}</think><tool_call>"
                   f'{{"name": "{call}", "arguments": {{"{word()}": "{word()}"}}}}'
                   f"</tool_call><|im_end|>")
        else:
            yield f"def {word()}_{word()}(x, y={int(rng.integers(100))}): return x * y + {word()!r}"


def train_sentencepiece(out: Path, vocab_size: int, lines: Iterator[str] | list,
                        **options) -> Path:
    """Trains a sentencepiece BPE model on `lines` into `out` (kept as a cache:
    an existing `out` is returned untouched). The model is written under a
    per-process temporary name and renamed, so concurrent trainers never see
    a partial file. `options` go to the trainer on top of the common ones."""
    import sentencepiece as spm

    if out.exists():
        return out
    tmp_prefix = out.with_name(f"{out.stem}.{os.getpid()}.tmp")
    corpus = tmp_prefix.with_suffix(".txt")
    corpus.write_text("\n".join(lines) + "\n", encoding="utf-8")
    try:
        spm.SentencePieceTrainer.train(
            input=str(corpus), model_prefix=str(tmp_prefix), model_type="bpe",
            vocab_size=vocab_size, num_threads=2, minloglevel=2, input_sentence_size=0,
            **options)
        os.replace(str(tmp_prefix) + ".model", out)
    finally:
        for leftover in (corpus, Path(str(tmp_prefix) + ".model"), Path(str(tmp_prefix) + ".vocab")):
            if leftover.exists():
                leftover.unlink()
    return out

