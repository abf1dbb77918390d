"""What the Python tests share and the wheel does not ship: the NumPy
references each runtime generation is checked against (`gen1_reference`,
`gen2_reference`, `gen3_reference`), a Python loader of generation-2
containers with the runtime's checks (`gen2_loader`), malformed files with
the exact error each must produce (`tesk_defects`, `gen1_defects`,
`gen2_defects`), and the finder of the test programs the C++ build makes
(`programs`)."""
from typing import NamedTuple


class Defect(NamedTuple):
    """A malformed file and the whole text of the load error it must give."""

    name: str
    data: bytes
    message: str
    note: str = ""    # why this text (e.g. the header reader speaks first)
