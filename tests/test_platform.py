"""The imported module is the build this interpreter should carry: compiled for
this processor and this interpreter, with the vector backend expected for it.

Under qemu-user (ORVEX_EMULATOR set by .ci/arm64-python.sh) these tests are
what proves the aarch64 run really exercised the NEON code on the intended
CPython (ORVEX_EXPECT_PYTHON, e.g. 3.14) and not, say, a stray x86_64 build,
a scalar fallback or another interpreter of the tree."""
import os
import platform
import re
import shutil
import struct
import subprocess
import sys
import sysconfig

import orvex

EMULATED = bool(os.environ.get("ORVEX_EMULATOR"))
MACHINE = platform.machine().lower()

# ELF header e_machine values of the processors the project builds for.
EM_X86_64 = 62
EM_AARCH64 = 183
ELF_MACHINE = {"x86_64": EM_X86_64, "amd64": EM_X86_64, "aarch64": EM_AARCH64, "arm64": EM_AARCH64}
READELF_MACHINE = {EM_X86_64: "Advanced Micro Devices X86-64", EM_AARCH64: "AArch64"}
ET_DYN = 3

# The backend a default build picks on each processor; ORVEX_EXPECT_BACKEND
# overrides it for builds that force one (e.g. ORVEX_FORCE_SCALAR).
DEFAULT_BACKEND = {"x86_64": "sse2", "amd64": "sse2", "aarch64": "neon", "arm64": "neon"}
EXPECTED_BACKEND = os.environ.get("ORVEX_EXPECT_BACKEND") or DEFAULT_BACKEND.get(MACHINE, "scalar")
# "major.minor" of the CPython a CI stage means to test; unset, any 3.11+.
EXPECTED_PYTHON = os.environ.get("ORVEX_EXPECT_PYTHON")


def module_bytes() -> bytes:
    with open(orvex.__file__, "rb") as f:
        return f.read()


def test_interpreter_is_the_64_bit_little_endian_target():
    expected = "aarch64" if EMULATED else MACHINE
    assert (MACHINE, sys.maxsize, sys.byteorder) == (expected, 2**63 - 1, "little")


def test_shared_object_is_built_for_this_processor():
    data = module_bytes()
    assert data[:4] == b"\x7fELF", orvex.__file__
    ei_class, ei_data = data[4], data[5]
    assert (ei_class, ei_data) == (2, 1), "expected a 64-bit little-endian ELF object"
    e_type, e_machine = struct.unpack_from("<HH", data, 16)
    assert e_type == ET_DYN
    assert MACHINE in ELF_MACHINE, f"no ELF machine number known for {MACHINE!r}"
    assert e_machine == ELF_MACHINE[MACHINE], f"{orvex.__file__}: e_machine {e_machine}"

    # Second opinion from binutils when the machine has it (a host program, so
    # it starts fine from an emulated interpreter too).
    readelf = shutil.which("readelf")
    if readelf:
        out = subprocess.run([readelf, "-h", orvex.__file__], capture_output=True, text=True, check=True).stdout
        machine_line = next(line for line in out.splitlines() if line.strip().startswith("Machine:"))
        assert machine_line.split(":", 1)[1].strip() == READELF_MACHINE[e_machine]


def test_shared_object_carries_the_expected_vector_backend():
    backends = re.findall(rb"orvex-simd-backend=([a-z0-9]+);", module_bytes())
    # Debug information may repeat the marker; what counts is that one backend is named.
    assert {b.decode() for b in backends} == {EXPECTED_BACKEND}


def test_module_is_built_for_this_interpreter():
    assert platform.python_implementation() == "CPython"
    running = "%d.%d" % sys.version_info[:2]
    if EXPECTED_PYTHON:
        assert running == EXPECTED_PYTHON
    assert sys.version_info >= (3, 11)
    # The extension suffix names the interpreter version and ABI the module
    # was compiled for (e.g. .cpython-314-aarch64-linux-gnu.so).
    assert os.path.basename(orvex.__file__) == "orvex" + sysconfig.get_config_var("EXT_SUFFIX")
