"""The package's version, written once: the build reads it from here, and every layer that
reports it or checks a worker against it imports it from here."""
__version__ = "0.1.0"
