"""Engine of the security-event log viewer: event reading, formatting and the viewer front."""

__version__ = "1.0.0"
