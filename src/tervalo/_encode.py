"""Placeholder: being written."""
def encode(*a, **k): raise NotImplementedError
