"""Finding and loading the MV620ACQm library.

The library is looked for, in this order:

1. the path the program gives (``Instrument(library=...)``, ``mv620 --library``);
2. the environment variable ``MV620_LIBRARY`` (``MV620_SIM_LIBRARY`` for the simulated
   instrument's library);
3. the installed location: the system's own search (``ctypes.util.find_library``, which on
   Linux asks ldconfig's cache and on Windows searches PATH), then the prefixes ``cmake
   --install`` uses by default and the usual library folders.

The first two must name a file that exists; nothing falls back past them.  Before a file is
loaded its header is read: a file that is not an ELF shared object on Linux or a PE DLL on
Windows, or whose word size differs from the interpreter's (a 32-bit DLL in a 64-bit Python),
is refused with one sentence that says so.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import sysconfig
import threading
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from . import _clib
from .errors import LibraryError

PRODUCT_ENV = "MV620_LIBRARY"
SIM_ENV = "MV620_SIM_LIBRARY"

_IS_WINDOWS = sys.platform == "win32"
INTERPRETER_BITS = struct.calcsize("P") * 8


def base_name(sim: bool) -> str:
    return "MV620ACQm-sim" if sim else "MV620ACQm"


def file_names(sim: bool) -> List[str]:
    """The file names the library is installed under on this system, preferred first."""
    name = base_name(sim)
    if _IS_WINDOWS:
        return [f"{name}.dll"]
    return [f"lib{name}.so.1", f"lib{name}.so"]


def install_folders() -> List[Path]:
    """Folders an installed library may be in, most specific first."""
    folders: List[Path] = []
    if _IS_WINDOWS:
        for variable in ("ProgramFiles", "ProgramW6432", "ProgramFiles(x86)"):
            root = os.environ.get(variable)
            if root:
                folders.append(Path(root) / "MV620ACQm" / "bin")
        folders.append(Path(sys.prefix) / "bin")
    else:
        multiarch = sysconfig.get_config_var("MULTIARCH") or ""
        for prefix in (Path.home() / ".local", Path(sys.prefix), Path("/usr/local"), Path("/usr")):
            folders.append(prefix / "lib")
            if multiarch:
                folders.append(prefix / "lib" / multiarch)
            folders.append(prefix / "lib64")
    unique: List[Path] = []
    for folder in folders:
        if folder not in unique:
            unique.append(folder)
    return unique


def binary_kind(path: Path) -> Tuple[str, Optional[int]]:
    """The kind of shared library ``path`` is, from its header: ("ELF", 32 or 64), ("PE", 32 or
    64), or ("unknown", None) when it is neither."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if head[:4] == b"\x7fELF" and len(head) > 4:
                return "ELF", {1: 32, 2: 64}.get(head[4])
            if head[:2] == b"MZ" and len(head) >= 64:
                (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
                f.seek(pe_offset)
                pe = f.read(26)
                if len(pe) == 26 and pe[:4] == b"PE\0\0":
                    (magic,) = struct.unpack_from("<H", pe, 24)
                    return "PE", {0x10B: 32, 0x20B: 64}.get(magic)
    except OSError as error:
        raise LibraryError(f"cannot read {path}: {error.strerror or error}") from None
    return "unknown", None


def check_loadable(path: Path) -> None:
    """Raises LibraryError, in one sentence, when ``path`` is not a library this interpreter can
    load: the wrong format for this system or the wrong word size."""
    kind, bits = binary_kind(path)
    native = "PE" if _IS_WINDOWS else "ELF"
    if kind == "unknown":
        raise LibraryError(f"{path} is not a shared library")
    if kind != native:
        what, here = ("a Windows DLL", "Linux") if kind == "PE" else \
            ("a Linux shared library", "Windows")
        raise LibraryError(f"{path} is {what}, which {here} cannot load")
    if bits is not None and bits != INTERPRETER_BITS:
        raise LibraryError(
            f"{path} is a {bits}-bit library and this Python is {INTERPRETER_BITS}-bit: "
            f"run a {bits}-bit Python, or use the {INTERPRETER_BITS}-bit build of the library")


def _installed_candidates(sim: bool) -> List[str]:
    """Paths (or, from the system's search, bare names the loader resolves) to try in turn."""
    candidates: List[str] = []
    found = ctypes.util.find_library(base_name(sim))
    if found:
        candidates.append(found)
    for folder in install_folders():
        for name in file_names(sim):
            path = folder / name
            if path.is_file():
                candidates.append(str(path))
    return candidates


def locate(path: Optional[os.PathLike] = None, sim: bool = False) -> str:
    """The library to load: ``path``, else the environment variable's, else an installed one.

    Raises LibraryError when the one named does not exist or cannot be loaded here, or when
    none is installed.
    """
    variable = SIM_ENV if sim else PRODUCT_ENV
    if path is not None:
        given = Path(path)
        if not given.is_file():
            raise LibraryError(f"no library at {given}")
        check_loadable(given)
        return str(given.resolve())
    named = os.environ.get(variable)
    if named:
        given = Path(named)
        if not given.is_file():
            raise LibraryError(f"{variable} names {given}, which is not a file")
        check_loadable(given)
        return str(given.resolve())
    refused: List[LibraryError] = []
    for candidate in _installed_candidates(sim):
        if os.path.isabs(candidate):
            try:
                check_loadable(Path(candidate))
            except LibraryError as error:
                refused.append(error)
                continue
        return candidate
    if refused:
        raise refused[0]
    what = "the simulated instrument's library" if sim else "the MV620ACQm library"
    raise LibraryError(
        f"cannot find {what} ({' or '.join(file_names(sim))}): install it with cmake --install, "
        f"or set {variable} to its path")


class Library:
    """One loaded copy of the library, with its functions declared.

    The library keeps all its state in the process (one acquisition, one set of rates), so a
    path is loaded once per process and shared by every Instrument made on it.
    """

    def __init__(self, path: str, cdll: ctypes.CDLL):
        self.path = path
        self.c = cdll
        self.simulated = _clib.has_sim_controls(cdll)
        # Held by the Acquisition that runs on this library, if any.
        self.acquisition = None


_loaded: Dict[str, Library] = {}
_loaded_lock = threading.Lock()


def load(path: Optional[os.PathLike] = None, sim: bool = False) -> Library:
    """Locates (see :func:`locate`) and loads the library, once per path."""
    where = locate(path, sim)
    with _loaded_lock:
        library = _loaded.get(where)
        if library is None:
            library = _loaded[where] = _load_new(where)
    if sim and not library.simulated:
        raise LibraryError(f"{where} is not the simulated instrument's library "
                           "(it has no MV620Sim_ controls)")
    return library


def _load_new(where: str) -> Library:
    try:
        cdll = ctypes.CDLL(where)
    except OSError as error:
        raise LibraryError(f"cannot load {where}: {error}") from None
    try:
        _clib.declare(cdll, _clib.EXPORTS)
    except AttributeError as error:
        raise LibraryError(f"{where} is not the MV620ACQm library ({error})") from None
    if _clib.has_sim_controls(cdll):
        try:
            _clib.declare(cdll, _clib.SIM_CONTROLS)
        except AttributeError as error:
            raise LibraryError(
                f"{where} has an incomplete simulator interface ({error})") from None
    return Library(where, cdll)
