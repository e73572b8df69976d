"""Type stubs of orvane.sim: simulated cameras."""

def plug(
    *,
    product: str = "evk4",
    serial: str = "S1",
    rate: float = 1e6,
    scene: str = "bar",
    seed: int = 1,
    pacing: str = "realtime",
    sleep_delays: bool = True,
    replay: str = "",
) -> None:
    """Plugs a simulated camera (product evk4, brisca or tandro; scene bar, dot,
    noise or replay)."""

def unplug(serial: str) -> bool:
    """Unplugs it; False when none has that serial."""

def reset() -> None:
    """Unplugs every simulated camera."""
