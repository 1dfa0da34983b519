"""SGP4 two-line element sets."""
