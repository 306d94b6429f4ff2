"""Stand-in for the toolkit's constants module.

Replaceable by the toolkit's own ``vireo.corvid.corvidconst``; the writer only
reads ``SUBSTITUTE_FIELD``, with ``SUBSTITUTE_FIELD.get(field, field)``.
"""

# Display names of the sort fields a campaign can order its trainings by.
SUBSTITUTE_FIELD = {
    "vloo": "VLOO score",
    "rmse": "RMSE",
    "pearson": "Pearson",
    "r2": "R2",
    "levmax": "Maximum leverage",
}
