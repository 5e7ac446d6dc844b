# Resampling pass: filled in by the resampling work.
