"""Time scales: ``astrovia.time.time.Time``."""
