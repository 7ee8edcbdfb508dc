"""Placeholder: being written."""
class EncoderPool: pass
