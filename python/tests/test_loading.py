"""Finding the library: the order of the places searched and the one-sentence refusals."""

import shutil
import struct

import pytest

import mv620
from mv620 import _loader


@pytest.fixture
def places(tmp_path, monkeypatch, sim_library_path):
    """Three copies of the simulated instrument's library: one to name explicitly, one for the
    environment variable, one installed; the system's own search finds nothing."""
    copies = {}
    for place in ("explicit", "environment", "installed"):
        folder = tmp_path / place
        folder.mkdir()
        copies[place] = folder / "libMV620ACQm-sim.so.1"
        shutil.copy(sim_library_path, copies[place])
    monkeypatch.setattr(_loader.ctypes.util, "find_library", lambda name: None)
    monkeypatch.setattr(_loader, "install_folders", lambda: [copies["installed"].parent])
    monkeypatch.delenv(_loader.SIM_ENV, raising=False)
    return copies


@pytest.mark.parametrize("given, expected", [
    (("explicit", "environment", "installed"), "explicit"),
    (("environment", "installed"), "environment"),
    (("installed",), "installed"),
])
def test_the_first_place_that_names_a_library_wins(places, monkeypatch, given, expected):
    if "environment" in given:
        monkeypatch.setenv(_loader.SIM_ENV, str(places["environment"]))
    explicit = places["explicit"] if "explicit" in given else None
    assert _loader.locate(explicit, sim=True) == str(places[expected].resolve())


def test_nothing_found_is_one_sentence_naming_the_variable(places):
    places["installed"].unlink()
    with pytest.raises(mv620.LibraryError) as caught:
        _loader.locate(sim=True)
    message = str(caught.value)
    assert "\n" not in message
    assert "libMV620ACQm-sim.so" in message and _loader.SIM_ENV in message


def test_a_variable_naming_no_file_does_not_fall_back(places, monkeypatch, tmp_path):
    monkeypatch.setenv(_loader.SIM_ENV, str(tmp_path / "missing.so"))
    with pytest.raises(mv620.LibraryError, match=_loader.SIM_ENV):
        _loader.locate(sim=True)


def _pe_header(magic):
    header = bytearray(128)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 0x3C, 64)
    header[64:68] = b"PE\0\0"
    struct.pack_into("<H", header, 64 + 24, magic)
    return bytes(header)


@pytest.mark.parametrize("change, expected", [
    ("elf32", "is a 32-bit library and this Python is 64-bit"),
    ("pe32", "is a Windows DLL"),
    ("text", "is not a shared library"),
])
def test_a_library_this_interpreter_cannot_load_is_refused_in_one_sentence(
        places, change, expected):
    if _loader.INTERPRETER_BITS != 64:
        pytest.skip("the word-size case is written for a 64-bit interpreter")
    path = places["explicit"]
    data = bytearray(path.read_bytes())
    if change == "elf32":
        data[4] = 1  # the ELF class byte: 32-bit
    elif change == "pe32":
        data = _pe_header(0x10B)
    else:
        data = b"not a library at all\n" * 4
    path.write_bytes(bytes(data))
    with pytest.raises(mv620.LibraryError) as caught:
        mv620.Instrument(path)
    assert expected in str(caught.value) and "\n" not in str(caught.value)


def test_an_installed_library_of_the_wrong_word_size_is_skipped_for_a_fitting_one(
        places, monkeypatch):
    wrong = places["explicit"]
    data = bytearray(wrong.read_bytes())
    data[4] = 1
    wrong.write_bytes(bytes(data))
    monkeypatch.setattr(_loader, "install_folders",
                        lambda: [wrong.parent, places["installed"].parent])
    assert _loader.locate(sim=True) == str(places["installed"])


def test_the_product_library_has_no_simulator_controls(monkeypatch):
    if not _loader.os.environ.get(_loader.PRODUCT_ENV):
        pytest.skip(f"{_loader.PRODUCT_ENV} does not name the product library")
    instrument = mv620.Instrument()
    assert not instrument.simulated and instrument.sim is None
    with pytest.raises(mv620.LibraryError, match="not the simulated instrument's library"):
        mv620.Instrument(instrument.path, sim=True)
