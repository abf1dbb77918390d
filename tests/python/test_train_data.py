"""The training-data generator: calls that follow their schemas and copy
their values from the query, a held-out split disjoint from training, and
completions the runtime parses back to the call."""
import json

import pytest

import pinnet_rs
from pinnet_tools.train import data

jsonschema = pytest.importorskip("jsonschema")


def string_values(call):
    return [v for v in call["arguments"].values() if isinstance(v, str)]


@pytest.mark.parametrize("split", data.SPLITS)
def test_examples_are_valid_and_copyable(split):
    batch = list(data.examples(400, seed=1, split=split))
    assert [e.completion for e in data.examples(400, seed=1, split=split)] == \
        [e.completion for e in batch]
    no_fit = 0
    for e in batch:
        names = [t["name"] for t in e.tools]
        assert 1 <= len(names) <= 5 and len(set(names)) == len(names)
        payload = pinnet_rs.V3Engine.extract_tool_call(e.completion)
        assert pinnet_rs.V3Engine.reasoning(e.completion)
        if e.call is None:
            no_fit += 1
            assert payload is None
            continue
        assert json.loads(payload) == e.call
        schema = next(t for t in e.tools if t["name"] == e.call["name"])["parameters"]
        jsonschema.validate(e.call["arguments"], schema)
        tool = data.TOOL_BY_NAME[e.call["name"]]
        for arg, value in e.call["arguments"].items():
            if not tool.arguments[arg].startswith("="):
                assert str(value) in e.query, (arg, value, e.query)
        # Values drawn from the lists belong to this split only.
        pooled = [v for v in string_values(e.call) if any(v in p for p in data.POOLS.values())]
        assert all(data.held_out(v) == (split != "train") for v in pooled), e.call
    assert 0.04 < no_fit / len(batch) < 0.2


def test_held_out_phrasings_never_appear_in_training():
    def phrasings(split):
        return {e.phrasing for e in data.examples(2000, seed=2, split=split)}

    held = phrasings("held_out")
    assert not phrasings("train") & held and not phrasings("held_out_values") & held
    assert held == {t.phrasings[-1] for t in data.TOOLS}
