"""NumPy structured record types: ``astrovia.datamodel.structured``."""
