"""Pure-Python tools around the pinnet_rs runtime: the chat template, model
writers, the codebook quantiser, converters and model factories. Tests,
benchmarks and examples use them; the runtime itself never does."""
