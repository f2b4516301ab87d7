"""Process environment of the command lines.

The alignment module imports it so that process-wide environment setup has one place to live;
nothing needs setting up today.
"""
