"""Release metadata and the README's install commands.

In the source tree: the README's install section names the artefacts of the version
that pyproject.toml states, and the classifiers are ones that a package index
accepts. Against an install made by the README's commands (tools/check-wheel.sh sets
QUILLSET_WHEEL_TEST to wheel or sdist): the install's metadata is that of
pyproject.toml, the license file is in it, the optional extras came with it, and a
prebuilt wheel carries a manylinux tag."""

import importlib.metadata
import importlib.util
import os
import pathlib
import re
import sys
import tomllib

import pytest
import trove_classifiers
from elftools.elf.elffile import ELFFile

import quillset

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
VERSION = PROJECT["version"]
INSTALLED_FROM = os.environ.get("QUILLSET_WHEEL_TEST", "")

_found = importlib.util.spec_from_file_location("readme_install", ROOT / "tools/readme_install.py")
assert _found is not None and _found.loader is not None
readme_install = importlib.util.module_from_spec(_found)
_found.loader.exec_module(readme_install)


def readme_blocks():
    return readme_install.install_blocks((ROOT / "README.md").read_text(encoding="utf-8"))


def test_readme_installs_the_artefacts_of_this_version():
    blocks = readme_blocks()
    tag = r"-cp313-cp313-manylinux_2_\d+_x86_64\.whl"
    wheel = readme_install.artefact("wheel", blocks["wheel"])
    assert re.fullmatch(rf"quillset-{re.escape(VERSION)}{tag}", wheel)
    assert readme_install.artefact("sdist", blocks["sdist"]) == f"quillset-{VERSION}.tar.gz"
    # Each block makes its own environment and installs one file, with the extras.
    for kind, commands in blocks.items():
        assert commands[0].startswith("python3.13 -m venv ")
        assert readme_install.artefact(kind, commands) + "[pillow,matplotlib]" in commands[-1]


def test_every_artefact_the_install_section_names_is_of_this_version():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = re.search(r"^## Install\n(.*?)(?=^## )", readme, re.M | re.S).group(1)
    named = re.findall(r"quillset-(\d[^\s\"'\[]*?)(?:-cp\d+|\.tar\.gz)", section)
    assert named, "the install section names no wheel or sdist"
    assert set(named) == {VERSION}


TWO_BLOCKS = (
    "```sh\nw\npip install quillset-1-x.whl\n```\n```sh\npip install quillset-1.tar.gz\n```\n"
)


@pytest.mark.parametrize(
    "readme, expected",
    [
        (
            "## Install\n\nText.\n\n" + TWO_BLOCKS,
            {
                "wheel": ["w", "pip install quillset-1-x.whl"],
                "sdist": ["pip install quillset-1.tar.gz"],
            },
        ),
        # Blocks of other sections and of other languages do not count; blank lines
        # in a block are dropped; the section may end the file.
        (
            "## Usage\n```sh\nrm -rf /\n```\n## Install\n```python\nx\n```\n"
            "```sh\na\n\nb  # why\n```\n```sh\nc\n```\n## Next\n```sh\nd\n```\n",
            {"wheel": ["a", "b  # why"], "sdist": ["c"]},
        ),
        ("# quillset\n## Install\n```sh\na\n```\n```sh\nb\n```", {"wheel": ["a"], "sdist": ["b"]}),
    ],
)
def test_install_blocks_are_the_sh_blocks_of_the_section(readme, expected):
    assert readme_install.install_blocks(readme) == expected


@pytest.mark.parametrize(
    "readme, message",
    [
        ("## Usage\n" + TWO_BLOCKS, 'no "## Install" section'),
        ("## Install\nText.\n## Usage\n" + TWO_BLOCKS, "has 0 ```sh blocks, not 2"),
        ("## Install\n```sh\na\n```\n", "has 1 ```sh blocks, not 2"),
        ("## Install\n" + TWO_BLOCKS + "```sh\nc\n```\n", "has 3 ```sh blocks, not 2"),
    ],
)
def test_install_blocks_refuse_a_readme_without_exactly_two(readme, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        readme_install.install_blocks(readme)


@pytest.mark.parametrize(
    "kind, commands, expected",
    [
        (
            "wheel",
            ['pip install "quillset-2.0-cp313-cp313-any.whl[pillow]"'],
            "quillset-2.0-cp313-cp313-any.whl",
        ),
        ("sdist", ["pip install 'quillset-2.0.tar.gz[pillow]'"] * 2, "quillset-2.0.tar.gz"),
        ("wheel", ["pip install quillset-2.0.tar.gz"], None),
        ("sdist", ["python3.13 -m venv v"], None),
        ("wheel", ["pip install quillset-1-a.whl", "pip install quillset-1-b.whl"], None),
    ],
)
def test_artefact_is_the_one_file_of_its_kind(kind, commands, expected):
    if expected is None:
        with pytest.raises(ValueError, match=f"{kind} files, not one"):
            readme_install.artefact(kind, commands)
    else:
        assert readme_install.artefact(kind, commands) == expected


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


needs_install = pytest.mark.skipif(not INSTALLED_FROM, reason="only against an install")


@needs_install
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


@needs_install
@pytest.mark.parametrize("module", ["PIL", "matplotlib"])
def test_installed_extras_came_with_the_install(module):
    # The README's commands ask for [pillow,matplotlib]: they are in the new
    # environment itself, not found through the development tools' path.
    found = importlib.util.find_spec(module)
    assert found is not None and found.origin is not None
    assert pathlib.Path(found.origin).is_relative_to(sys.prefix), found.origin


@needs_install
def test_installed_wheel_carries_the_license_and_its_tag():
    dist = importlib.metadata.distribution("quillset")
    licenses = [f for f in dist.files if f.name == "LICENSE"]
    assert len(licenses) == 1, dist.files
    assert licenses[0].read_text(encoding="utf-8") == (ROOT / "LICENSE").read_text(encoding="utf-8")
    tags = [
        line.split(": ", 1)[1]
        for line in dist.read_text("WHEEL").splitlines()
        if line.startswith("Tag: ")
    ]
    # The prebuilt wheel is repaired to a manylinux tag; pip's own build of the
    # sdist is for this machine only.
    platform = {"wheel": r"manylinux_2_\d+_x86_64", "sdist": "linux_x86_64"}[INSTALLED_FROM]
    assert tags and all(re.fullmatch(rf"cp313-cp313-{platform}", t) for t in tags), tags
