"""Thin-film design quantities beyond R and T, on lamiro's core."""
