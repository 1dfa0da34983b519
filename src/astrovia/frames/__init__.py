"""Reference frames and the conversions between them."""
