"""Pure-Python tools around the pinnet_rs runtime, shipped in the same wheel.

- `cli`: the `pinnet` command: `pinnet inspect MODEL`, `pinnet run MODEL
  QUERY` (one query, optionally a strict tool call) and `pinnet serve MODEL`.
- `server`: the HTTP server behind `pinnet serve`, with the routes and shapes
  of the common chat-completions API (needs the `server` extra).
- `chat`: one model file of any generation behind one interface, for the
  command and the server; `template`: the chat template and markers;
  `model_info`: what `pinnet inspect` reports.
- `models`: the shipped demo model and the tools it is shown with.
- Model writers: `gen1`, `gen2`, `gen3` (geometries, random well-scaled
  models, presets; `python -m pinnet_tools.gen3 --out FILE`), the `.tesk`
  container writer and reader `tesk`, the embedded tokenizer blob
  `tokenizer_blob`, the codebook quantiser `cq_quantise` and the helpers the
  writers share, `writer_common`.
- `train`: the training data generator, and with the `train` extra the JAX
  model and training loop that made the demo model.

The runtime never imports this package. The NumPy references and malformed
files the tests check the runtime against live with the tests
(tests/python/support/), not here.
"""
