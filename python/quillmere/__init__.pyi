from .quillmere import DBEngine as DBEngine

__all__ = ["DBEngine"]
