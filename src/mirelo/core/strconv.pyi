"""Text utility: conversion of text to a byte array."""

def str_to_bytearray(text: str | None) -> bytearray:
    """Return one byte per character of `text`: the low 8 bits of its code point.

    `text` must be exactly a str; None raises TypeError "'NoneType' is not iterable".
    """
