"""Prints the install commands of the README, exactly as written there.

The README's "## Install" section holds two ```sh blocks: the first installs the
wheel, the second builds and installs the sdist. tools/check-wheel.sh runs each as
it stands, in an empty directory that holds just the artefact it names.

    readme_install.py wheel|sdist [README]             the block's commands
    readme_install.py wheel|sdist --artefact [README]  the file that they install
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BLOCKS = ("wheel", "sdist")
ARTEFACT = {
    "wheel": re.compile(r"quillset-[^\s\"'\[/]+\.whl"),
    "sdist": re.compile(r"quillset-[^\s\"'\[/]+\.tar\.gz"),
}


def install_blocks(readme: str) -> dict[str, list[str]]:
    """The non-blank lines of each sh block of the "## Install" section, by kind."""
    section = re.search(r"^## Install\n(.*?)(?=^## |\Z)", readme, re.M | re.S)
    if section is None:
        raise ValueError('README has no "## Install" section')
    blocks = re.findall(r"^```sh\n(.*?)^```", section.group(1), re.M | re.S)
    if len(blocks) != len(BLOCKS):
        raise ValueError(
            f'README\'s "## Install" section has {len(blocks)} ```sh blocks, not '
            f"{len(BLOCKS)}: one for the {' and one for the '.join(BLOCKS)}"
        )
    return {
        kind: [line for line in block.splitlines() if line.strip()]
        for kind, block in zip(BLOCKS, blocks, strict=True)
    }


def artefact(kind: str, commands: list[str]) -> str:
    """The one file of the given kind that the commands install."""
    names = {name for line in commands for name in ARTEFACT[kind].findall(line)}
    if len(names) != 1:
        raise ValueError(f"the {kind} commands name {len(names)} {kind} files, not one: {names}")
    return names.pop()


def main(argv: list[str]) -> int:
    if not argv or argv[0] not in BLOCKS:
        print(__doc__, file=sys.stderr)
        return 2
    kind, rest = argv[0], argv[1:]
    paths = [arg for arg in rest if arg != "--artefact"]
    readme = Path(paths[0]) if paths else ROOT / "README.md"
    commands = install_blocks(readme.read_text(encoding="utf-8"))[kind]
    print(artefact(kind, commands) if "--artefact" in rest else "\n".join(commands))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
