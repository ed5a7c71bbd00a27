"""scripts/run's, scripts/bench's and scripts/sweep's tables and charts, and a board's block beside them."""
