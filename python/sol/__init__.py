__version__ = "@PROJECT_VERSION@"
