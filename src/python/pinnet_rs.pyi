# Type stub for the pinnet_rs extension module: exactly what exists.
#
# Every method releases the interpreter lock around model work, so calls from
# several threads run at once. Ctrl-C (or any signal handler that raises)
# stops a call on the main thread within milliseconds and the call raises the
# handler's exception. A streaming callback that raises KeyboardInterrupt or
# SystemExit ends the generation and the call raises it; any other exception
# a callback raises is discarded.
from os import PathLike
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypedDict, Union

class PinnetEngine:
    @staticmethod
    def load(weights_path: Union[str, PathLike[str]], vocab_path: Union[str, PathLike[str]]) -> "PinnetEngine":
        """Load from file paths."""
    # The weights are converted while loading; `weights_bytes` is neither copied whole nor kept.
    @staticmethod
    def from_bytes(weights_bytes: bytes, vocab_text: str) -> "PinnetEngine":
        """Load from in-memory bytes (useful when the caller already has the weights buffered)."""
    def run(self, query: str, tools_json: str) -> str: ...
    def run_stream(self, query: str, tools_json: str,
                   callback: Callable[[int, str], object]) -> str: ...
    def run_batch(self, examples: Sequence[Tuple[str, str]]) -> List[str]: ...
    def encode_contrastive(self, text: str) -> Optional[List[float]]: ...
    def contrastive_dim(self) -> int: ...
    def retrieve_tools(self, query: str, tool_descriptions: Sequence[str],
                       top_k: int) -> List[Tuple[int, float]]: ...

class PrefixCacheInfo(TypedDict):
    bytes: int     # held by the entries now
    capacity: int  # the bound; 0: disabled
    entries: int
    hits: int      # calls that started from a kept prompt prefix
    misses: int    # calls long enough to start from one that found none

class Speculation(TypedDict):
    forced: bool  # forced ids of strict calls in one batched pass
    drafts: bool  # ids drafted from the prompt, verified in one pass

class V2Generation(TypedDict):
    text: str
    tool_call: Optional[str]  # untrimmed
    thinking: Optional[str]  # untrimmed
    token_ids: List[int]
    prompt_tokens: int
    stop_reason: str  # "Eos", "ImEnd", "MaxTokens", "ContextFull" or 'Error("message")'
    stopped_naturally: bool

class V2Config(TypedDict):
    vocab_size: int
    d_model: int
    num_heads: int
    num_kv_heads: int
    num_layers: int
    head_dim: int
    max_seq_len: int
    mhc_lanes: int
    kv_window: int
    rope_theta: float
    engram_sites: List[int]

# What `call` returns. A strict call's JSON always parsed: `name` is one of
# the offered names exactly as offered and `arguments` follows that tool's
# `parameters` schema; both are None when the model made no call.
class ToolCall(TypedDict):
    name: Optional[str]
    arguments: Optional[Any]
    text: str
    stop_reason: str
    prompt_tokens: int      # prompt ids read
    completion_tokens: int  # ids generated, a closing end id included

# `tools` of `call`: JSON text, or the tool dicts themselves.
Tools = Union[str, Sequence[Dict[str, Any]]]

class V2Engine:
    """Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,
    so `load` takes one path and there is no vocabulary argument.

    A container without an embedded tokenizer loads, but `run`, `run_json`,
    `generate`, `run_stream` and `run_batch` then raise `RuntimeError`
    ("container has no embedded tokenizer; use the lower-level V2Bundle API")
    before any model work."""

    @staticmethod
    def load(tesk_path: Union[str, PathLike[str]]) -> "V2Engine":
        """Load a `.tesk` model from disk."""
    # The engine holds a reference to `tesk_bytes` and reads them in place.
    @staticmethod
    def from_bytes(tesk_bytes: bytes) -> "V2Engine":
        """Load a `.tesk` model from an in-memory image."""
    # compute: "float" or "int8"; omitted, PINNET_COMPUTE (else "float").
    @staticmethod
    def open(source: Union[str, PathLike[str], bytes], compute: str = "float") -> "V2Engine":
        """Load a `.tesk` model from a path, an os.PathLike or a `bytes` image, with the compute precision of its quantised products."""
    def run(self, query: str, tools_json: str) -> str:
        """Greedy tool call. Returns the full decoded text."""
    def run_json(self, query: str, tools_json: str) -> Optional[str]:
        """Just the `<tool_call>` payload, or None if the model emitted no call."""
    def generate(self, query: str, tools_json: str, max_new_tokens: int = 128,
                 temperature: float = 0.0, seed: int = 0, system: Optional[str] = None,
                 constrain: bool = False) -> V2Generation:
        """Generation with explicit settings."""
    def generate_stream(self, query: str, tools_json: str, on_delta: Callable[[str], object],
                        max_new_tokens: int = 128, temperature: float = 0.0, seed: int = 0,
                        system: Optional[str] = None, constrain: bool = False) -> V2Generation:
        """`generate` that calls `on_delta(delta)` with the decoded text as it grows; the deltas concatenate to the returned `text`."""
    # Strict decoding: the call parses and follows the chosen tool's schema,
    # and closes within max_new_tokens. tool_choice: "auto", "required" or a
    # tool's name (ValueError if not offered, or for invalid tools JSON); a
    # forced choice still lets the model write its <think> block first.
    def call(self, query: str, tools: Tools, tool_choice: str = "auto",
             max_new_tokens: int = 128, temperature: float = 0.0, seed: int = 0,
             system: Optional[str] = None,
             on_delta: Optional[Callable[[str], object]] = None) -> ToolCall:
        """One tool call, strictly decoded: its JSON always parses and follows the chosen tool's `parameters` schema."""
    def prompt_tokens(self, query: str, tools: Tools, system: Optional[str] = None) -> Optional[int]:
        """How many ids the prompt of a call with these arguments takes, before any cut to the context."""
    def run_stream(self, query: str, tools_json: str,
                   callback: Callable[[int, str], object]) -> str:
        """Streaming generation. `callback(token_id: int, piece: str)` per token."""
    def run_batch(self, examples: Sequence[Tuple[str, str]]) -> List[str]:
        """Run several queries in sequence, reusing one KV cache."""
    def encode_contrastive(self, text: str) -> Optional[List[float]]:
        """L2-normalised contrastive embedding, or None without such a head."""
    def contrastive_dim(self) -> int:
        """Width of the contrastive embedding (0 if absent)."""
    def retrieve_tools(self, query: str, tool_descriptions: Sequence[str],
                       top_k: int) -> List[Tuple[int, float]]:
        """Rank tool descriptions by cosine similarity to `query`."""
    def confidence_for(self, query: str, tools_json: str, completion: str) -> Optional[float]:
        """Probability in (0, 1) that `completion` is the right answer for this
        query, or None without a confidence head."""
    def confidence(self, text: str) -> Optional[float]:
        """Raw confidence logit for an arbitrary string, or None without the head."""
    def confidence_probability(self, text: str) -> Optional[float]:
        """`confidence()` as a probability in (0, 1)."""
    def config(self) -> V2Config:
        """Model geometry, as a dict."""
    # The prompt-prefix cache: the engine keeps the model state after the
    # fixed part (system text, tool list) of the prompts it ran, so a call
    # repeating one prefills only its query, with the same results as without
    # the cache. Bounded in bytes, least recently used first out; the default
    # bound is PINNET_PREFIX_CACHE_BYTES from the environment, else 64 MiB.
    def set_prefix_cache_bytes(self, n: int) -> None:
        """Bound the prompt-prefix cache to `n` bytes (0 disables it and drops every entry)."""
    def clear_prefix_cache(self) -> None:
        """Drop every prompt-prefix cache entry (the counters stay)."""
    def prefix_cache_info(self) -> PrefixCacheInfo:
        """The prompt-prefix cache as a dict: `bytes` held, `capacity`, `entries`, `hits` (calls that started from a kept prefix) and `misses` (calls long enough to start from one that found none)."""
    # Greedy calls only (sampling always steps one id at a time). V2Engine
    # batches forced ids; drafted ids take the step path there.
    def set_speculation(self, forced: bool = True, drafts: bool = True) -> None:
        """Choose how greedy calls run the model: `forced` feeds the ids a strict grammar leaves no choice about in one batched pass; `drafts` proposes ids copied from the prompt and keeps those greedy choice agrees with, checked in one pass. Batched passes round differently from single steps, so a near-tie may fall the other way. The default is PINNET_DRAFT: 1 both on, "forced" forced ids only, else both off; (False, False) is the step-by-step path."""
    def speculation(self) -> Speculation:
        """The switches of set_speculation as a dict: `forced`, `drafts`."""

class V3Generation(TypedDict):
    text: str
    tool_call: Optional[str]
    reasoning: Optional[str]
    token_ids: List[int]
    stop_reason: str  # "Eos", "ImEnd", "MaxTokens" or "MaxSeqLen"
    positions: int

class V3Scored(TypedDict):
    text: str
    tool_call: Optional[str]
    reasoning: Optional[str]
    stop_reason: str

class V3Engine:
    """Pinnet 3.

    Mirrors `V2Engine` so switching generations is a class swap, with two
    differences that follow from the model rather than from taste:

    * No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head
      and nothing else, so they would return empty on every call.
    * `reasoning()`, because v3 emits a `<think>` block on essentially every
      query. v2 does so only sometimes, so the block is not a generation marker."""

    @staticmethod
    def load(tesk_path: Union[str, PathLike[str]]) -> "V3Engine":
        """Load a `pinnet3.tesk` model from disk."""
    # The engine holds a reference to `tesk_bytes` and reads them in place.
    @staticmethod
    def from_bytes(tesk_bytes: bytes) -> "V3Engine":
        """Load a `pinnet3.tesk` model from an in-memory image."""
    @staticmethod
    def load_with_depth(path: Union[str, PathLike[str]], layers: int) -> "V3Engine":
        """Load the `layers`-block ladder rung of a container."""
    # compute: "float" or "int8"; omitted, PINNET_COMPUTE (else "float").
    @staticmethod
    def open(source: Union[str, PathLike[str], bytes], depth: Optional[int] = None,
             compute: str = "float") -> "V3Engine":
        """Load a `pinnet3.tesk` model from a path, an os.PathLike or a `bytes` image, at a ladder rung, with the compute precision of its quantised products."""
    def run(self, query: str, tools_json: str) -> str:
        """The full completion, reasoning included."""
    def run_json(self, query: str, tools_json: str) -> Optional[str]:
        """Just the tool-call payload."""
    def generate(self, query: str, tools_json: str, max_new_tokens: int = 0,
                 temperature: float = 0.0, seed: int = 0, system: Optional[str] = None,
                 constrain: bool = False, kv_int8: bool = False) -> V3Generation:
        """Generation with explicit settings."""
    def generate_stream(self, query: str, tools_json: str, on_delta: Callable[[str], object],
                        max_new_tokens: int = 0, temperature: float = 0.0, seed: int = 0,
                        system: Optional[str] = None, constrain: bool = False,
                        kv_int8: bool = False) -> V3Generation:
        """`generate` that calls `on_delta(delta)` with the decoded text as it grows; the deltas concatenate to the returned `text`."""
    def run_stream(self, query: str, tools_json: str, callback: Callable[[str], object]) -> str:
        """Generate, calling `callback(piece)` with each decoded delta."""
    # Strict decoding: the call parses and follows the chosen tool's schema,
    # and closes within max_new_tokens. tool_choice: "auto", "required" or a
    # tool's name (ValueError if not offered, or for invalid tools JSON); a
    # forced choice still lets the model write its <think> block first.
    def call(self, query: str, tools: Tools, tool_choice: str = "auto",
             max_new_tokens: int = 256, temperature: float = 0.0, seed: int = 0,
             system: Optional[str] = None,
             on_delta: Optional[Callable[[str], object]] = None) -> ToolCall:
        """One tool call, strictly decoded: its JSON always parses and follows the chosen tool's `parameters` schema."""
    def prompt_tokens(self, query: str, tools: Tools, system: Optional[str] = None) -> Optional[int]:
        """How many ids the prompt of a call with these arguments takes, before any cut to the context."""
    def run_scored(self, query: str, tools_json: str) -> Tuple[V3Scored, Optional[float]]:
        """Generate, then score what was generated. Returns `(result, confidence)`."""
    @staticmethod
    def reasoning(text: str) -> Optional[str]:
        """The chain-of-thought inside a completion, if it has one."""
    @staticmethod
    def extract_tool_call(text: str) -> Optional[str]:
        """Pull the payload out of a completion you already have."""
    def has_confidence(self) -> bool:
        """Whether this container carries a confidence head."""
    def confidence_for(self, query: str, tools_json: str, completion: str) -> Optional[float]:
        """How confident the model is in a completion it produced."""
    def kv_bytes(self, seq_len: int, kv_int8: bool = False) -> int:
        """Key/value cache bytes for a session of `seq_len` positions."""
    # The prompt-prefix cache: the engine keeps the model state after the
    # fixed part (system text, tool list) of the prompts it ran, so a call
    # repeating one prefills only its query, with the same results as without
    # the cache. Bounded in bytes, least recently used first out; the default
    # bound is PINNET_PREFIX_CACHE_BYTES from the environment, else 64 MiB.
    def set_prefix_cache_bytes(self, n: int) -> None:
        """Bound the prompt-prefix cache to `n` bytes (0 disables it and drops every entry)."""
    def clear_prefix_cache(self) -> None:
        """Drop every prompt-prefix cache entry (the counters stay)."""
    def prefix_cache_info(self) -> PrefixCacheInfo:
        """The prompt-prefix cache as a dict: `bytes` held, `capacity`, `entries`, `hits` (calls that started from a kept prefix) and `misses` (calls long enough to start from one that found none)."""
    # Greedy calls only (sampling always steps one id at a time). V2Engine
    # batches forced ids; drafted ids take the step path there.
    def set_speculation(self, forced: bool = True, drafts: bool = True) -> None:
        """Choose how greedy calls run the model: `forced` feeds the ids a strict grammar leaves no choice about in one batched pass; `drafts` proposes ids copied from the prompt and keeps those greedy choice agrees with, checked in one pass. Batched passes round differently from single steps, so a near-tie may fall the other way. The default is PINNET_DRAFT: 1 both on, "forced" forced ids only, else both off; (False, False) is the step-by-step path."""
    def speculation(self) -> Speculation:
        """The switches of set_speculation as a dict: `forced`, `drafts`."""
    @property
    def num_layers(self) -> int:
        """How many blocks this engine is running."""
    @property
    def max_seq_len(self) -> int:
        """Context limit in tokens."""
