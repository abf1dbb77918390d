# Type stub for the pinnet_rs extension module: exactly what exists.
from typing import Callable, Optional, Tuple, TypedDict, List

class PinnetEngine: ...

class V2Engine:
    """Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,
    so `load` takes one path and there is no vocabulary argument."""

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
    def load(tesk_path: str) -> "V3Engine":
        """Load a `pinnet3.tesk` model from disk."""
    @staticmethod
    def from_bytes(tesk_bytes: bytes) -> "V3Engine":
        """Load a `pinnet3.tesk` model from an in-memory image."""
    @staticmethod
    def load_with_depth(path: str, layers: int) -> "V3Engine":
        """Load the `layers`-block ladder rung of a container."""
    def run(self, query: str, tools_json: str) -> str:
        """The full completion, reasoning included."""
    def run_json(self, query: str, tools_json: str) -> Optional[str]:
        """Just the tool-call payload."""
    def generate(self, query: str, tools_json: str, max_new_tokens: int = 0,
                 temperature: float = 0.0, seed: int = 0, system: Optional[str] = None,
                 constrain: bool = False, kv_int8: bool = False) -> V3Generation:
        """Generation with explicit settings."""
    def run_stream(self, query: str, tools_json: str, callback: Callable[[str], object]) -> str:
        """Generate, calling `callback(piece)` with each decoded delta."""
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
    @property
    def num_layers(self) -> int:
        """How many blocks this engine is running."""
    @property
    def max_seq_len(self) -> int:
        """Context limit in tokens."""
