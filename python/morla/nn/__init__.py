"""Neural-network functions of morla."""

from . import functional

__all__ = ["functional"]
