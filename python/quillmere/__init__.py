"""An embedded JSON document store with a metadata index over every scalar."""

from .quillmere import DBEngine, DBEngineWebServer

__all__ = ["DBEngine", "DBEngineWebServer"]
