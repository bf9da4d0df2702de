# kelmor.pyi: type information for the kelmor extension module, for type checkers and editors.
# Installed twice from this one file: beside the module (editors that look next to it) and as
# the stub-only package kelmor-stubs, the form mypy reads for a module that is no package.

__all__ = ["rust_read_valdrum"]

def rust_read_valdrum(file_path: str, n_digits: int) -> list[list[float]]:
    """Reads a VALDRUM plot file: one list of floats per parameter, one value per timestep.

    n_digits is the width in bytes of a data field (12 or 15). Every irregularity of the file
    raises pyo3_runtime.PanicException, which derives from BaseException.
    """
    ...
