# Type stub for the pinnet_rs extension module: exactly what exists.
from typing import Optional

class PinnetEngine: ...

class V2Engine:
    """Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,
    so `load` takes one path and there is no vocabulary argument."""

class V3Engine:
    """Pinnet 3.

    Mirrors `V2Engine` so switching generations is a class swap, with two
    differences that follow from the model rather than from taste:

    * No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head
      and nothing else, so they would return empty on every call.
    * `reasoning()`, because v3 emits a `<think>` block on essentially every
      query. v2 does so only sometimes, so the block is not a generation marker."""

    @staticmethod
    def reasoning(text: str) -> Optional[str]:
        """The chain-of-thought inside a completion, if it has one."""
    @staticmethod
    def extract_tool_call(text: str) -> Optional[str]:
        """Pull the payload out of a completion you already have."""
