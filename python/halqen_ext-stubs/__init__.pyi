"""Type information for the halqen_ext extension module."""

__all__: list[str] = []
