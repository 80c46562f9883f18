"""What a Python benchmark ran on, printed beside its figures."""

import os
import platform


def describe():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{platform.machine()} {cpu}, {os.cpu_count()} logical CPUs, Python {platform.python_version()}"
