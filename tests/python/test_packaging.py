"""Release metadata and the README's install commands.

In the source tree: the README's install section names the artefacts of the version
that pyproject.toml states, and the classifiers are ones that a package index
accepts. Against an installed wheel (tools/check-wheel.sh): the install's metadata
is that of pyproject.toml, the license file is in it, and no compiler or CMake is
on PATH."""

import importlib.metadata
import importlib.util
import os
import pathlib
import re
import shutil
import tomllib

import pytest
import trove_classifiers
from elftools.elf.elffile import ELFFile

import quillset

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
VERSION = PROJECT["version"]
AGAINST_WHEEL = bool(os.environ.get("QUILLSET_WHEEL_TEST"))

spec = importlib.util.spec_from_file_location("readme_install", ROOT / "tools/readme_install.py")
assert spec is not None and spec.loader is not None
readme_install = importlib.util.module_from_spec(spec)
spec.loader.exec_module(readme_install)


def install_section():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.search(r"^## Install\n(.*?)(?=^## )", readme, re.M | re.S).group(1)


def test_readme_installs_the_wheel_of_this_version():
    commands = readme_install.install_commands((ROOT / "README.md").read_text(encoding="utf-8"))
    wheel = readme_install.wheel_name(commands)
    tag = r"-cp313-cp313-manylinux_2_\d+_x86_64\.whl"
    assert re.fullmatch(rf"quillset-{re.escape(VERSION)}{tag}", wheel)
    # The wheel comes first: the section leads with it, before any build from source.
    assert commands[0].startswith("python3.13 -m venv ")
    assert not any("pip install ." in line for line in commands)


def test_every_artefact_the_install_section_names_is_of_this_version():
    named = re.findall(r"quillset-(\d[^\s\"'\[]*?)(?:-cp\d+|\.tar\.gz)", install_section())
    assert named, "the install section names no wheel or sdist"
    assert set(named) == {VERSION}


FIRST_SH = "## Install\n\nText.\n\n```sh\npython3.13 -m venv v\npip install quillset-1-x.whl\n```\n"


@pytest.mark.parametrize(
    "readme, expected",
    [
        (FIRST_SH, ["python3.13 -m venv v", "pip install quillset-1-x.whl"]),
        # Blocks of other sections and of other languages do not count; blank lines
        # in the block are dropped.
        (
            "## Usage\n```sh\nrm -rf /\n```\n## Install\n```python\nx\n```\n"
            "```sh\na\n\nb  # why\n```\n## Next\n```sh\nc\n```\n",
            ["a", "b  # why"],
        ),
        ("# quillset\n## Install\n```sh\na\n```", ["a"]),
    ],
)
def test_install_commands_are_the_first_sh_block_of_the_section(readme, expected):
    assert readme_install.install_commands(readme) == expected


@pytest.mark.parametrize(
    "readme, message",
    [
        ("## Usage\n```sh\na\n```\n", 'no "## Install" section'),
        ("## Install\nText.\n## Usage\n```sh\na\n```\n", "has no ```sh block"),
        ("## Install\n```sh\n\n```\n", "is empty"),
    ],
)
def test_install_commands_refuse_a_readme_without_them(readme, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        readme_install.install_commands(readme)


@pytest.mark.parametrize(
    "commands",
    [
        ["python3.13 -m venv v"],
        ["pip install quillset-1-a.whl", "pip install quillset-1-b.whl"],
    ],
)
def test_wheel_name_needs_exactly_one_wheel(commands):
    with pytest.raises(ValueError, match="wheel files, not one"):
        readme_install.wheel_name(commands)


def test_wheel_name_ignores_extras_and_quotes():
    line = 'pip install "quillset-2.0-cp313-cp313-manylinux_2_34_x86_64.whl[pillow]"'
    assert readme_install.wheel_name([line, line]) == (
        "quillset-2.0-cp313-cp313-manylinux_2_34_x86_64.whl"
    )


def test_classifiers_are_known_to_the_index_and_match_the_project():
    classifiers = PROJECT["classifiers"]
    assert [c for c in classifiers if c not in trove_classifiers.classifiers] == []
    assert "Typing :: Typed" in classifiers
    # Python versions: exactly the one that requires-python admits.
    versions = {c.rsplit(" :: ", 1)[1] for c in classifiers if re.search(r":: 3\.\d+$", c)}
    assert versions == {"3.13"} and PROJECT["requires-python"] == ">=3.13,<3.14"
    # With an SPDX license expression, a license classifier is an error for the index.
    assert PROJECT["license"] == "MIT"
    assert not [c for c in classifiers if c.startswith("License ::")]


def test_module_exports_only_its_init_entry():
    # However it is linked (a static runtime, a sanitizer build, auditwheel's
    # repair), the module defines one dynamic symbol: everything else stays hidden,
    # so nothing of it interposes on the interpreter or on other extensions.
    with open(quillset.__file__, "rb") as f:
        symbols = ELFFile(f).get_section_by_name(".dynsym")
        defined = {
            sym.name
            for sym in symbols.iter_symbols()
            if sym["st_shndx"] != "SHN_UNDEF"
            and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
            and sym["st_info"]["type"] != "STT_SECTION"
        }
    assert defined == {"PyInit_quillset"}


needs_wheel = pytest.mark.skipif(not AGAINST_WHEEL, reason="only against a wheel")


@needs_wheel
def test_installed_metadata_is_that_of_pyproject():
    meta = importlib.metadata.metadata("quillset")
    assert meta["Version"] == VERSION
    assert meta["License-Expression"] == "MIT"
    assert meta["Requires-Python"] == "<3.14,>=3.13"
    assert meta.get_all("Classifier") == PROJECT["classifiers"]
    assert set(meta.get_all("Provides-Extra")) == {"pillow", "matplotlib"}
    requires = set(meta.get_all("Requires-Dist"))
    for extra, needs in PROJECT["optional-dependencies"].items():
        for need in needs:
            assert f'{need}; extra == "{extra}"' in requires


@needs_wheel
def test_installed_wheel_carries_the_license_and_a_manylinux_tag():
    dist = importlib.metadata.distribution("quillset")
    licenses = [f for f in dist.files if f.name == "LICENSE"]
    assert len(licenses) == 1, dist.files
    assert licenses[0].read_text(encoding="utf-8") == (ROOT / "LICENSE").read_text(encoding="utf-8")
    tags = [
        line.split(": ", 1)[1]
        for line in dist.read_text("WHEEL").splitlines()
        if line.startswith("Tag: ")
    ]
    assert tags and all(re.fullmatch(r"cp313-cp313-manylinux_2_\d+_x86_64", t) for t in tags)


@needs_wheel
@pytest.mark.parametrize("tool", ["g++", "c++", "gcc", "cc", "cmake"])
def test_no_compiler_or_cmake_on_path(tool):
    assert shutil.which(tool) is None
