"""The suite's time limits, scaled for the machine it runs on."""
import os

# The suite's fixed time limits are multiplied by TRELLIS_TIME_SCALE: under the
# sanitizers or on an emulated CPU every call runs several times slower.
TIME_SCALE = float(os.environ.get("TRELLIS_TIME_SCALE", "1"))


def seconds(limit):
    """A time limit of the suite, scaled for the machine it runs on."""
    return limit * TIME_SCALE
