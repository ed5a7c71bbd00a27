"""What every tool shares: one-line errors, the build's description, the readers of the measuring programs'
files, and what the tools know of each instruction set."""
