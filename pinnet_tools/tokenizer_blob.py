"""The embedded subword-tokenizer blob: a writer (also of deliberately broken
blobs, for tests), a reader with a plain reference decoder, and a converter
from a trained `sentencepiece` BPE model.

Blob layout (little-endian): u32 piece count, u32 pad, eos, bos and unk ids,
u8 add_dummy_prefix, u8 byte_fallback, two ignored bytes, then one record per
piece: f32 score, u8 kind, u16 byte length, UTF-8 text.
"""

from __future__ import annotations

import struct
import warnings
from dataclasses import dataclass, field
from typing import Iterable, Union

KIND_NORMAL = 0
KIND_CONTROL = 1  # silent: decodes to nothing
KIND_UNKNOWN = 2  # silent: decodes to nothing
KIND_LITERAL = 3  # cut out of the text verbatim before merging
KIND_BYTE = 4  # "<0xNN>": the single byte 0xNN

WORD_MARKER = "\u2581"

Text = Union[str, bytes]


@dataclass
class Piece:
    text: Text  # bytes are written as they are (for malformed blobs)
    score: float = 0.0
    kind: int = KIND_NORMAL


@dataclass
class TokenizerSpec:
    pieces: list = field(default_factory=list)  # of Piece, id order
    pad_id: int = 0
    eos_id: int = 0
    bos_id: int = 0
    unk_id: int = 0
    add_dummy_prefix: bool = False
    byte_fallback: bool = False


def byte_piece_text(b: int) -> str:
    return f"<0x{b:02X}>"


def build_blob(spec: TokenizerSpec, *, piece_count: int | None = None) -> bytes:
    """Serialises `spec`. `piece_count` overrides the declared count so tests
    can write blobs whose header disagrees with the records."""
    count = len(spec.pieces) if piece_count is None else piece_count
    out = bytearray(struct.pack("<5I", count, spec.pad_id, spec.eos_id, spec.bos_id, spec.unk_id))
    out += bytes([1 if spec.add_dummy_prefix else 0, 1 if spec.byte_fallback else 0, 0, 0])
    for p in spec.pieces:
        raw = p.text.encode("utf-8") if isinstance(p.text, str) else bytes(p.text)
        if len(raw) > 0xFFFF:
            raise ValueError(f"piece text of {len(raw)} bytes does not fit a u16 length")
        out += struct.pack("<fBH", p.score, p.kind, len(raw)) + raw
    return bytes(out)


def parse_blob(blob: bytes) -> TokenizerSpec:
    """Reads a well-formed blob back (texts as str). Raises ValueError on a
    malformed one; the messages are not the runtime's."""
    if len(blob) < 24:
        raise ValueError("blob shorter than its header")
    count, pad, eos, bos, unk = struct.unpack_from("<5I", blob, 0)
    spec = TokenizerSpec(pad_id=pad, eos_id=eos, bos_id=bos, unk_id=unk,
                         add_dummy_prefix=blob[20] != 0, byte_fallback=blob[21] != 0)
    pos = 24
    for _ in range(count):
        if pos + 7 > len(blob):
            raise ValueError("blob truncated inside a record head")
        score, kind, length = struct.unpack_from("<fBH", blob, pos)
        if pos + 7 + length > len(blob):
            raise ValueError("blob truncated inside a piece text")
        spec.pieces.append(Piece(blob[pos + 7:pos + 7 + length].decode("utf-8"), score, kind))
        pos += 7 + length
    return spec


def blob_error(blob: bytes) -> str | None:
    """The runtime's parse verdict on a blob: None when it parses, else the
    error text, checks in the runtime's order (header, piece count, records,
    special ids, byte pieces)."""
    if len(blob) < 24:
        return f"tokenizer blob truncated: need 24 bytes, got {len(blob)}"
    count = struct.unpack_from("<I", blob, 0)[0]
    if count == 0:
        return "tokenizer blob declares zero pieces"
    pos, records = 24, []
    for i in range(count):
        if pos + 7 > len(blob):
            return f"tokenizer blob truncated: need {pos + 7} bytes, got {len(blob)}"
        kind, length = blob[pos + 4], struct.unpack_from("<H", blob, pos + 5)[0]
        if pos + 7 + length > len(blob):
            return f"tokenizer blob truncated: need {pos + 7 + length} bytes, got {len(blob)}"
        raw = blob[pos + 7:pos + 7 + length]
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            return f"piece {i} is not valid UTF-8"
        records.append((kind, text))
        pos += 7 + length
    for name, value in zip(("pad", "eos", "bos", "unk"), struct.unpack_from("<4I", blob, 4)):
        if value >= count:
            return f"header {name}={value} is outside the {count}-piece table"
    for i, (kind, text) in enumerate(records):
        if kind != KIND_BYTE:
            continue
        raw = text.encode("utf-8")
        starts = lambda k: (raw[k] & 0xC0) != 0x80  # noqa: E731
        if len(raw) < 5 or not starts(3) or (len(raw) > 5 and not starts(5)) \
                or _byte_value(text) is None:
            return f"byte piece {i} is not of the form <0xNN>"
    return None


def _byte_value(text: str) -> int | None:
    """The byte of a "<0xNN>" piece: characters 3 and 4 as an unsigned hex
    number (a leading '+' allowed), the rest not examined."""
    raw = text.encode("utf-8")
    if len(raw) < 5:
        return None
    digits = raw[3:5]
    if digits[:1] == b"+":
        digits = digits[1:]
    if not digits or any(c not in b"0123456789abcdefABCDEF" for c in digits):
        return None
    return int(digits, 16)


def raw_bytes(spec: TokenizerSpec, piece_id: int) -> bytes:
    """What one id contributes before the text fix-up of `decode`."""
    if piece_id >= len(spec.pieces):
        return b""
    p = spec.pieces[piece_id]
    if p.kind in (KIND_CONTROL, KIND_UNKNOWN):
        return b""
    if p.kind == KIND_BYTE:
        b = _byte_value(p.text)
        return b"" if b is None else bytes([b])
    return p.text.encode("utf-8")


def decode(spec: TokenizerSpec, ids: Iterable[int]) -> str:
    """Reference decode: join raw bytes, replace ill-formed UTF-8 with U+FFFD,
    turn U+2581 into spaces, drop one leading space with add_dummy_prefix."""
    text = b"".join(raw_bytes(spec, i) for i in ids).decode("utf-8", errors="replace")
    text = text.replace(WORD_MARKER, " ")
    if spec.add_dummy_prefix and text.startswith(" "):
        text = text[1:]
    return text


# --- sentencepiece model files ------------------------------------------------
# A model file is a serialised protocol-buffer message; it is read with the
# message classes the sentencepiece package bundles (they need `protobuf`).

# sentencepiece piece type -> blob kind. Unused pieces decode to their text in
# sentencepiece, so they stay normal here (encode cannot skip them: see
# from_sentencepiece).
_KIND_OF_SP_TYPE = {
    "NORMAL": KIND_NORMAL,
    "UNKNOWN": KIND_UNKNOWN,
    "CONTROL": KIND_CONTROL,
    "USER_DEFINED": KIND_LITERAL,
    "UNUSED": KIND_NORMAL,
    "BYTE": KIND_BYTE,
}


def _model_bytes(model) -> bytes:
    if isinstance(model, (bytes, bytearray)):
        return bytes(model)
    if hasattr(model, "serialized_model_proto"):
        return model.serialized_model_proto()
    with open(model, "rb") as f:
        return f.read()


def read_sentencepiece_model(model):
    """The parsed `ModelProto` of a sentencepiece model (a path, the serialised
    model, or a loaded SentencePieceProcessor). ValueError when the bytes do
    not parse."""
    try:
        from google.protobuf.message import DecodeError
        from sentencepiece import sentencepiece_model_pb2
    except ImportError as e:
        raise ImportError("reading a sentencepiece model needs the sentencepiece and "
                          f"protobuf packages ({e})") from e

    proto = sentencepiece_model_pb2.ModelProto()
    try:
        proto.ParseFromString(_model_bytes(model))
    except DecodeError as e:
        raise ValueError(f"not a sentencepiece model: {e}") from None
    return proto


def spec_from_sentencepiece(model) -> TokenizerSpec:
    """The blob contents equivalent to a trained sentencepiece BPE model (a
    path, the serialised model, or a loaded SentencePieceProcessor).

    Piece types map to kinds: normal and unused -> normal, control -> control,
    unknown -> unknown (both silent), user-defined -> literal, byte -> byte.
    An id the model leaves out (-1, usually pad) is written as the unk id.

    The blob knows no normaliser: only a model trained with the "identity"
    rule and without whitespace clean-up encodes the same text the same way.
    Other differences that stay: unused pieces are still merge targets here,
    and a run of characters that spells a control or byte piece's text (such
    as "<s>") can merge into it here, while sentencepiece never produces those
    pieces from text; the unknown piece decodes to nothing here.
    """
    m = read_sentencepiece_model(model)
    trainer, norm = m.trainer_spec, m.normalizer_spec
    if trainer.model_type != trainer.BPE:
        raise ValueError(f"only BPE models convert (model type {trainer.model_type})")
    if norm.name != "identity" or norm.remove_extra_whitespaces:
        warnings.warn(f"sentencepiece normaliser {norm.name!r} "
                      f"(remove_extra_whitespaces={norm.remove_extra_whitespaces}) is not "
                      "carried over; texts it would change encode differently", stacklevel=2)
    n = len(m.pieces)
    unk = trainer.unk_id if 0 <= trainer.unk_id < n else 0
    fix = lambda i: i if 0 <= i < n else unk  # noqa: E731
    types = type(m).SentencePiece.Type
    kinds = {types.Value(name): kind for name, kind in _KIND_OF_SP_TYPE.items()}
    return TokenizerSpec(
        pieces=[Piece(p.piece, p.score, kinds.get(p.type, KIND_NORMAL)) for p in m.pieces],
        pad_id=fix(trainer.pad_id), eos_id=fix(trainer.eos_id), bos_id=fix(trainer.bos_id),
        unk_id=unk, add_dummy_prefix=norm.add_dummy_prefix, byte_fallback=trainer.byte_fallback)


def from_sentencepiece(model) -> bytes:
    """The blob of a trained sentencepiece BPE model (see spec_from_sentencepiece)."""
    return build_blob(spec_from_sentencepiece(model))
