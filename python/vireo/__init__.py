"""The vireo modelling toolkit (only the parts this package ships)."""
