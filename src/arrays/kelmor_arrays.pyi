# kelmor_arrays.pyi: type information for the kelmor_arrays extension module. Installed twice
# from this one file, as kelmor.pyi is: beside the module, and as the stub-only package
# kelmor_arrays-stubs, the form mypy reads for a module that is no package.

import os
from collections.abc import Sequence
from typing import SupportsIndex, final, overload

__all__ = ["Lines", "PlotData", "PlotFileError", "Values", "read"]

class PlotFileError(ValueError):
    """A plot file breaks the format: its message says where and how, as kelmor's does."""

@final
class Values:
    """The values of a plot file: a read-only, C-contiguous 2-D float32 buffer of shape
    (blocks, parameters); numpy.asarray(values) and memoryview(values) share it."""

    @property
    def shape(self) -> tuple[int, int]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class Lines(Sequence[str]):
    """The header line of each timestep block, without its line end."""

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> str: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[str]: ...

@final
class PlotData:
    """A plot file read by read(): names, block_headers and values."""

    @property
    def names(self) -> list[str]: ...
    @property
    def block_headers(self) -> Lines: ...
    @property
    def values(self) -> Values: ...

def read(file_path: str | os.PathLike[str], n_digits: SupportsIndex) -> PlotData:
    """Reads a VALDRUM plot file into one float32 array of shape (blocks, parameters).

    Raises OSError when the file cannot be opened or read, PlotFileError for every fault of
    the file, MemoryError when memory runs out; the message is the one kelmor gives.
    """
    ...
