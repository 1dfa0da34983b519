"""Console text of astrovia objects: the framed-text base class and its settings."""
