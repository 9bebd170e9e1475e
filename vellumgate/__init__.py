"""Identity package: the default user of a request."""
