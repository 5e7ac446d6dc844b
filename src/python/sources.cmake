# Embedded-Python bridge: filled in by the bridge work.
