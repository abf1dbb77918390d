"""Training a small generation-3 tool-calling model: the data generator
(pure Python) and, with the `train` extra, the model and its training loop."""
