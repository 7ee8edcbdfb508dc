"""Placeholder: being written."""
