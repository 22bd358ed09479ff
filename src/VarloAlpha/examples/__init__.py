"""Example strategies: copy one as the start of your own (see docs/writing-a-strategy.md)."""
