"""atomblock: fast extended XYZ reading and writing, with exact errors.

    import atomblock
    frame = atomblock.read("traj.xyz")                 # the last frame
    for frame in atomblock.iread("traj.xyz.gz"):       # one frame at a time
        print(frame.natoms, frame.info.get("energy"), frame.arrays["pos"].mean(axis=0))
    atomblock.write("copy.xyz", atomblock.read("traj.xyz", ":"))
    table = atomblock.read_table("train.xyz")         # a dataset as columns
    print(table.info["energy"].mean(), table.arrays["forces"].shape, table.natoms)
    for error in atomblock.check("traj.xyz"):          # every fault, with its file line
        print(error)
"""
from ._errors import ExtxyzError, ExtxyzNote
from ._frame import Frame
from ._read import check, iread, read
from ._table import Table, read_table
from ._write import write

__version__ = "0.1.0"
__all__ = ["Frame", "Table", "ExtxyzError", "ExtxyzNote", "read", "iread", "read_table", "write", "check"]
