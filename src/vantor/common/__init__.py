"""Shared building blocks: the statsd client ``vantor.common.stat`` and the
delayed batch executor ``vantor.common.executors``."""
