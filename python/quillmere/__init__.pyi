from .quillmere import DBEngine as DBEngine
from .quillmere import DBEngineWebServer as DBEngineWebServer

__all__ = ["DBEngine", "DBEngineWebServer"]
