"""The docs' quoted figures and samples, each written from a record (tests/data) or from the code's own
constant, between markers that a test holds them to."""
