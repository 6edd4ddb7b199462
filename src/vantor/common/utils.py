"""Stand-in for the logging utility that the compiled modules import at load time.

The real utility lives outside this package; anything whose
``LogUtils.get_logger(name)`` returns a ``logging.Logger``-like object works.
"""
import logging


class LogUtils:
    @staticmethod
    def get_logger(name: str) -> logging.Logger:
        return logging.getLogger(name)
