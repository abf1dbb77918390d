"""The tokenizer blob writer, its reader and reference decoder, and the
sentencepiece converter."""

import io
import struct

import pytest

from pinnet_tools import tokenizer_blob as tb


def small_spec():
    return tb.TokenizerSpec(
        pieces=[tb.Piece("<unk>", 0.0, tb.KIND_UNKNOWN), tb.Piece("\u2581hi", -1.5),
                tb.Piece("<0xE2>", 0.0, tb.KIND_BYTE), tb.Piece("<0x96>", 0.0, tb.KIND_BYTE),
                tb.Piece("<0x81>", 0.0, tb.KIND_BYTE), tb.Piece("<t>", 0.0, tb.KIND_LITERAL),
                tb.Piece("</s>", 0.0, tb.KIND_CONTROL)],
        pad_id=6, eos_id=6, bos_id=0, unk_id=0, add_dummy_prefix=True, byte_fallback=True)


def test_layout_of_header_and_first_record():
    blob = tb.build_blob(small_spec())
    assert struct.unpack_from("<5I", blob) == (7, 6, 6, 0, 0)
    assert blob[20:24] == b"\x01\x01\x00\x00"
    assert struct.unpack_from("<fBH", blob, 24) == (0.0, tb.KIND_UNKNOWN, 5)
    assert blob[31:36] == b"<unk>"
    assert struct.unpack_from("<fBH", blob, 36) == (-1.5, tb.KIND_NORMAL, 5)
    assert blob[43:48] == "\u2581hi".encode()


def test_parse_blob_reads_back_what_was_written():
    spec = small_spec()
    back = tb.parse_blob(tb.build_blob(spec))
    assert back == spec


def test_malformed_blobs_can_be_written():
    spec = small_spec()
    spec.pieces[1] = tb.Piece(b"\xff\xfe")
    blob = tb.build_blob(spec, piece_count=9)
    assert struct.unpack_from("<I", blob)[0] == 9
    assert b"\xff\xfe" in blob
    with pytest.raises(ValueError):
        tb.parse_blob(blob)


def test_reference_decode_rules():
    spec = small_spec()
    assert tb.decode(spec, [1, 5, 6, 99]) == "hi<t>"
    assert tb.decode(spec, [2, 3, 4, 1]) == " hi"  # U+2581 from byte pieces, one space dropped
    assert tb.decode(spec, [1, 2, 3]) == "hi\ufffd"  # one U+FFFD per ill-formed subsequence
    spec.add_dummy_prefix = False
    assert tb.decode(spec, [1]) == " hi"


def test_byte_piece_values():
    assert tb.byte_piece_text(0x0A) == "<0x0A>"
    assert tb._byte_value("<0x+F>") == 0x0F
    assert tb._byte_value("xyz41") == 0x41
    assert tb._byte_value("<0x4G>") is None
    assert tb._byte_value("<0x") is None


spm = pytest.importorskip("sentencepiece")

MARKERS = ["<|im_start|>", "<|im_end|>", "<think>", "</think>"]
LINES = [f"the {w} of {x} is {w}{x} here <think>{x}</think> café 東京 {i}"
         for i, (w, x) in enumerate(zip(["weather", "city", "time", "value"] * 100,
                                        ["today", "now", "list", "tool", "call"] * 80))]


def train(**options):
    model = io.BytesIO()
    spm.SentencePieceTrainer.train(
        sentence_iterator=iter(LINES), model_writer=model, model_type="bpe", vocab_size=300,
        byte_fallback=True, user_defined_symbols=MARKERS, normalization_rule_name="identity",
        remove_extra_whitespaces=False, pad_id=0, eos_id=1, bos_id=2, unk_id=3, minloglevel=2,
        **options)
    return model.getvalue()


def test_converter_keeps_pieces_scores_kinds_and_header():
    model = train(add_dummy_prefix=False)
    sp = spm.SentencePieceProcessor(model_proto=model)
    spec = tb.spec_from_sentencepiece(model)
    assert len(spec.pieces) == sp.get_piece_size()
    assert (spec.pad_id, spec.eos_id, spec.bos_id, spec.unk_id) == (0, 1, 2, 3)
    assert spec.byte_fallback and not spec.add_dummy_prefix
    for i, p in enumerate(spec.pieces):
        assert p.text == sp.id_to_piece(i)
        assert p.score == pytest.approx(sp.get_score(i), abs=0)
        want = (tb.KIND_CONTROL if sp.is_control(i) else tb.KIND_UNKNOWN if sp.is_unknown(i)
                else tb.KIND_BYTE if sp.is_byte(i)
                else tb.KIND_LITERAL if p.text in MARKERS else tb.KIND_NORMAL)
        assert p.kind == want, p.text
    assert tb.parse_blob(tb.from_sentencepiece(sp)) == spec


def test_converter_reference_decode_matches_sentencepiece():
    model = train(add_dummy_prefix=True)
    sp = spm.SentencePieceProcessor(model_proto=model)
    spec = tb.spec_from_sentencepiece(model)
    assert spec.add_dummy_prefix
    for line in LINES[:50] + [" x", "  two  spaces ", "Ωmega 😀"]:
        ids = sp.encode(line)
        assert tb.decode(spec, ids) == sp.decode(ids) == line


def test_converter_refuses_other_model_types_and_warns_on_normalisers():
    unigram = io.BytesIO()
    spm.SentencePieceTrainer.train(sentence_iterator=iter(LINES), model_writer=unigram,
                                   model_type="unigram", vocab_size=60, minloglevel=2)
    with pytest.raises(ValueError, match="only BPE"):
        tb.from_sentencepiece(unigram.getvalue())
    nfkc = io.BytesIO()
    spm.SentencePieceTrainer.train(sentence_iterator=iter(LINES), model_writer=nfkc,
                                   model_type="bpe", vocab_size=200, minloglevel=2)
    with pytest.warns(UserWarning, match="normaliser"):
        spec = tb.spec_from_sentencepiece(nfkc.getvalue())
    assert spec.pad_id == spec.unk_id == 0  # pad absent (-1) in a default model
