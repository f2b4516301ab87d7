"""Word alignment by IBM Models 1 and 2 trained with expectation maximisation."""
