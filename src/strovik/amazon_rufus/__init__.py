"""Amazon Rufus tooling: seed request records, the response parser and the replay CLI.

The native replay service lives in ``strovik.amazon_rufus.services.replay`` and is
imported only by the code that drives it, never by this package on import.
"""
