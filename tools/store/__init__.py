"""The results database: every results folder kept, and the cross-board table, chart and page over it."""
