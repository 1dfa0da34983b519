"""The ``Satellite`` object."""
