from . import functional as functional

__all__ = ["functional"]
