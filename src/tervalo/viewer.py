"""Placeholder: being written."""
def show(*a, **k): raise NotImplementedError
