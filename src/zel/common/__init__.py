"""The small toolkit every zel module calls: logging, progress, files, config, text, numbers."""
