"""The models package's user-facing error types, in a module of their own so every layer can raise them."""

from __future__ import annotations


class ModelError(ValueError):
    """An invalid model description; `field` is the dotted path of the offending value."""

    def __init__(self, field: str, message: str) -> None:
        super().__init__(f"{field}: {message}" if field else message)
        self.field = field
        self.detail = message

    def under(self, prefix: str) -> ModelError:
        """The same error, its field path placed under `prefix`."""
        return ModelError(f"{prefix}.{self.field}" if self.field else prefix, self.detail)
