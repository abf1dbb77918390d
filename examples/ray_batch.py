"""Run a JSONL file of tool-calling queries through a pinnet_rs model with Ray Data.

Input, one JSON object a line ("id" optional; "tools" is a list of tools or
its JSON text, and lines without it take the --tools file's list):

    {"id": 7, "query": "Weather in Lisbon?", "tools": [{"name": "get_weather", ...}]}

Output, one JSON line per query in input order ("call" is null when the model
made none, "confidence" is null when the model has no confidence head):

    {"id": 7, "query": "Weather in Lisbon?", "call": {"name": "get_weather",
     "arguments": {"city": "Lisbon"}}, "stop_reason": "ImEnd", "confidence": 0.91}

On this machine (a Ray started here; --num-cpus limits it):

    python examples/ray_batch.py model.tesk queries.jsonl answers.jsonl --tools tools.json

On a cluster started with `ray start --head` (and `ray start --address=HEAD:6379`
on the other nodes), run the same command on a node of it with --address auto,
or with RAY_ADDRESS set. Every node needs pinnet_rs installed (pip install the
wheel). Each worker loads the model once, from the path given, so on a cluster
the file must be at that path on every node; or pass --ship-model to send its
bytes through Ray's object store.

The input streams through the workers (Ray Data's text reader): a file, a
folder of JSONL files or any path the cluster reaches (an object store URI).
An output path that ends in "/", is a folder or is a URI gets the answers as
JSONL files written by the workers, one per block, in input order by name;
any other path is one file, written on the driver as the answers stream in.
Neither holds the whole input in one process's memory.
"""
import argparse
import json
import os

import pinnet_rs
import ray
from ray.data.datasource import BlockBasedFileDatasink


def parse_call(payload):
    """{"name", "arguments"} of a tool-call payload; None for no call, "[]" or broken JSON."""
    try:
        value = json.loads(payload) if payload else None
    except ValueError:
        return None
    if isinstance(value, dict) and isinstance(value.get("name"), str) and "arguments" in value:
        return {"name": value["name"], "arguments": value["arguments"]}
    return None


class Answerer:
    """One per Ray worker: loads the engine once, then answers batches of input lines."""

    def __init__(self, model, generation, compute, tool_choice, default_tools, threads):
        # The engine's worker pool: this worker's share of the node's CPUs.
        os.environ.setdefault("PINNET_NUM_THREADS", str(threads))
        if isinstance(model, ray.ObjectRef):
            model = ray.get(model)
        engine_class = pinnet_rs.V3Engine if generation == 3 else pinnet_rs.V2Engine
        self.engine = engine_class.open(model, compute=compute)
        self.tool_choice = tool_choice  # None: plain generation
        self.default_tools = default_tools

    def answer(self, line):
        record = json.loads(line)
        query = record["query"]
        tools = record.get("tools", self.default_tools)
        tools = tools if isinstance(tools, str) else json.dumps(tools)
        if self.tool_choice:  # strict: the call always parses and follows its tool's schema
            out = self.engine.call(query, tools, tool_choice=self.tool_choice)
            call = {"name": out["name"], "arguments": out["arguments"]} if out["name"] else None
        else:
            out = self.engine.generate(query, tools)
            call = parse_call(out["tool_call"])
        return {"id": record.get("id"), "query": query, "call": call,
                "stop_reason": out["stop_reason"],
                "confidence": self.engine.confidence_for(query, tools, out["text"])}

    def __call__(self, batch):
        return {"answer": [json.dumps(self.answer(line), ensure_ascii=False)
                           for line in batch["text"] if line.strip()]}


class AnswerLines(BlockBasedFileDatasink):
    """Writes each block's answers as JSON lines, one file per block."""

    def __init__(self, path):
        super().__init__(path, file_format="jsonl")

    def write_block_to_file(self, block, file):
        for row in block.iter_rows(public_row_format=True):
            file.write((row["answer"] + "\n").encode("utf-8"))


def to_folder(output):
    return output.endswith("/") or os.path.isdir(output) or "://" in output


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("model", help=".tesk model file (on a cluster: on every node, or --ship-model)")
    ap.add_argument("input", help="JSONL file of queries")
    ap.add_argument("output", help="JSONL file of answers, written in input order")
    ap.add_argument("--tools", help="JSON file: the tool list of input lines without one")
    ap.add_argument("--address", help="Ray cluster to join, e.g. auto (default: RAY_ADDRESS, "
                                      "else a Ray started here)")
    ap.add_argument("--num-cpus", type=int, help="CPUs of a Ray started here (default: all; "
                                                 "not with a cluster)")
    ap.add_argument("--concurrency", type=int,
                    help="workers, each with its own engine (default: CPUs / --cpus-per-worker)")
    ap.add_argument("--cpus-per-worker", type=int, default=1)
    ap.add_argument("--batch-size", type=int, default=16, help="queries per batch a worker takes")
    ap.add_argument("--strict", action="store_true", help="strict tool calls (engine.call)")
    ap.add_argument("--tool-choice", default="auto",
                    help="tool_choice of strict calls: auto, required or a tool's name")
    ap.add_argument("--compute", choices=("float", "int8"), default="float")
    ap.add_argument("--generation", type=int, choices=(2, 3), default=3,
                    help="model generation: 3 (V3Engine) or 2 (V2Engine)")
    ap.add_argument("--ship-model", action="store_true",
                    help="send the model's bytes to the workers through Ray's object store")
    args = ap.parse_args()

    ray.init(address=args.address, num_cpus=args.num_cpus)
    ray.data.DataContext.get_current().execution_options.preserve_order = True
    workers = args.concurrency or max(1, int(ray.cluster_resources()["CPU"]) // args.cpus_per_worker)
    model = os.path.abspath(args.model)
    if args.ship_model:
        with open(model, "rb") as f:
            model = ray.put(f.read())
    default_tools = []
    if args.tools:
        with open(args.tools, encoding="utf-8") as f:
            default_tools = json.load(f)
    source = args.input if "://" in args.input else os.path.abspath(args.input)
    # Reading and writing lines is light: their tasks take no CPU, which the
    # workers hold, so they never wait for one another.
    answers = ray.data.read_text(source, num_cpus=0).map_batches(
        Answerer, compute=ray.data.ActorPoolStrategy(size=workers), batch_size=args.batch_size,
        num_cpus=args.cpus_per_worker,
        fn_constructor_kwargs=dict(model=model, generation=args.generation, compute=args.compute,
                                   tool_choice=args.tool_choice if args.strict else None,
                                   default_tools=default_tools,
                                   threads=args.cpus_per_worker))
    if to_folder(args.output):
        answers.write_datasink(AnswerLines(args.output if "://" in args.output
                                           else os.path.abspath(args.output)),
                               ray_remote_args={"num_cpus": 0})
        return
    with open(args.output, "w", encoding="utf-8") as out:
        for row in answers.iter_rows():
            out.write(row["answer"] + "\n")


if __name__ == "__main__":
    main()
