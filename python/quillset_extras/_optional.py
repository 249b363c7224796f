"""What to say when an optional dependency of the companion is not installed."""

from __future__ import annotations


def missing(error: ModuleNotFoundError, module: str, extra: str) -> ModuleNotFoundError:
    """The error to raise from `module` when importing one of its dependencies
    failed with `error`: it names the dependency and the extra that installs it."""
    return ModuleNotFoundError(
        f"{module} needs {error.name}, which is not installed: pip install 'quillset[{extra}]'",
        name=error.name,
    )
