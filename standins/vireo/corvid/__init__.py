"""Stand-in for the toolkit's ``vireo.corvid`` package (constants only)."""
