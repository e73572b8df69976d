"""Simulated cameras on this process's simulated bus, for notebooks and tests
without hardware: ``plug(product='evk4', serial='S1', rate=1e6, scene='bar')``
makes a camera that ``CameraManager`` finds and opens like a USB one."""

from ._orvane.sim import plug, reset, unplug

__all__ = ["plug", "unplug", "reset"]
