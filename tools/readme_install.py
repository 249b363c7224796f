"""Prints the commands of the README's wheel install, exactly as written there.

The first ```sh block of the README's "## Install" section installs the wheel into
a new virtual environment; tools/check-wheel.sh runs these lines as they stand, in a
directory that holds the wheel, with no compiler or CMake on PATH.

    readme_install.py [README]          the commands, one per line
    readme_install.py --wheel [README]  the wheel file name that they install
"""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WHEEL = re.compile(r"quillset-[^\s\"'\[]+\.whl")


def install_commands(readme: str) -> list[str]:
    """The non-blank lines of the first sh block in the "## Install" section."""
    section = re.search(r"^## Install\n(.*?)(?=^## |\Z)", readme, re.M | re.S)
    if section is None:
        raise ValueError('README has no "## Install" section')
    block = re.search(r"^```sh\n(.*?)^```", section.group(1), re.M | re.S)
    if block is None:
        raise ValueError('README\'s "## Install" section has no ```sh block')
    commands = [line for line in block.group(1).splitlines() if line.strip()]
    if not commands:
        raise ValueError("README's first install block is empty")
    return commands


def wheel_name(commands: list[str]) -> str:
    """The one wheel file that the commands install."""
    names = {name for line in commands for name in WHEEL.findall(line)}
    if len(names) != 1:
        raise ValueError(f"the install commands name {len(names)} wheel files, not one: {names}")
    return names.pop()


def main(argv: list[str]) -> int:
    args = [arg for arg in argv if arg != "--wheel"]
    readme = Path(args[0]) if args else ROOT / "README.md"
    commands = install_commands(readme.read_text(encoding="utf-8"))
    print(wheel_name(commands) if "--wheel" in argv else "\n".join(commands))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
