"""How far a reconstruction lies from its original: ``distortion`` (see ``core.metrics``)."""

from .core.metrics import Distortion, distortion

__all__ = ["Distortion", "distortion"]
