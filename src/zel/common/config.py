"""Configuration objects: a mapping of settings read as ``conf.data.key`` or ``conf.get(key)``."""

from types import SimpleNamespace


class Config:
    """Settings built from a mapping, another Config or keyword arguments (later ones win)."""

    def __init__(self, conf=None, **settings):
        self.data = SimpleNamespace()
        if conf is not None:
            self.update(conf)
        self.update(settings)

    def update(self, conf=None, **settings):
        """Add or replace settings from a mapping or Config, then from keyword arguments."""
        if isinstance(conf, Config):
            conf = conf.as_dict()
        if conf is not None:
            for key, value in dict(conf).items():
                setattr(self.data, key, value)
        for key, value in settings.items():
            setattr(self.data, key, value)
        return self

    def has(self, keys):
        """True when every key of ``keys`` (one key or an iterable of keys) is set."""
        if isinstance(keys, str):
            keys = [keys]
        return all(key in vars(self.data) for key in keys)

    def get(self, key, default=None):
        return vars(self.data).get(key, default)

    def as_dict(self):
        return dict(vars(self.data))

    def __repr__(self):
        items = ", ".join(f"{key}={value!r}" for key, value in sorted(vars(self.data).items()))
        return f"Config({items})"
