"""Local Zorvane service: a control plane and compute nodes backed by an embedded DuckDB database."""

STREAM_MEDIA_TYPE = "application/vnd.zorvane.stream.v1"
CATALOG_NAME = "zorvane"
