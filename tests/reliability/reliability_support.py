"""Helpers shared by the reliability tests."""

from morla_core import Tensor


def rss_mb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) / 1024


def internal_failure_class():
    """The class a broken invariant is raised as; a transpose axis out of range is one."""
    try:
        Tensor([[1.0]]).transpose(0, 2)
    except Exception as error:
        raise AssertionError(f"transpose out of range raised {error!r}") from error
    except BaseException as error:  # noqa: BLE001 - this is what we are after
        assert type(error).__bases__ == (BaseException,)
        return type(error)


INTERNAL = internal_failure_class()
