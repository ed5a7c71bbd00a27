"""scripts/compare: two builds timed in alternation and judged, or two results folders through compare.py."""
