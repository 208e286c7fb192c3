"""Shared settings of the suite: it tests the installed package (src/ layout: the clone's
root holds no importable plix)."""
