"""The command line (`python -m rainmill_models`, `rainmill-models`): run, calibrate, storm."""
